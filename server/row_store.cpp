// Records of kept rows in memory, then in a scratch file; read back front to back.
#include "server/row_store.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/system.h"

namespace lumbra::server {

namespace {

constexpr std::size_t kStaging = kLongestRecord;  // records written to the file at a time
constexpr std::size_t kWindow = 256 * 1024;       // read back at a time

// What all open results keep together, in memory and in files.
std::atomic<std::size_t> memoryOfAll{0};
std::atomic<std::uint64_t> filesOfAll{0};

template <typename T>
bool claim(std::atomic<T>& all, T bytes, T limit) {
  T now = all.load();
  do {
    if (bytes > limit - now) return false;
  } while (!all.compare_exchange_weak(now, now + bytes));
  return true;
}

std::uint32_t readLength(const char* at) {
  std::uint32_t length = 0;
  std::memcpy(&length, at, sizeof length);
  return length;
}

}  // namespace

RowStore::RowStore(std::size_t memoryBudget, std::uint64_t fileBudget, std::string directory)
    : memoryBudget_(memoryBudget),
      fileBudget_(directory.empty() ? 0 : fileBudget),
      directory_(std::move(directory)) {}

RowStore::~RowStore() { release(); }

bool RowStore::growMemory(std::size_t needed) {
  if (needed > memoryBudget_) return false;
  if (needed <= memoryCapacity_) return true;
  // Small results grow by doubling from 4 KiB; past a mebibyte the whole
  // budget is asked for at once (the system gives pages only as they are
  // written), so that no copy of a large store is ever held beside it.
  const std::size_t doubled = std::max<std::size_t>(std::max(needed, 2 * memoryCapacity_), 4096);
  const std::size_t wanted = std::min(memoryBudget_, doubled <= (1u << 20) ? doubled : memoryBudget_);
  if (!claim<std::size_t>(memoryOfAll, wanted - claimed_, kServerResultBudget)) return false;
  claimed_ = wanted;
  std::unique_ptr<char[]> grown(new char[wanted]);
  if (memorySize_ > 0) std::memcpy(grown.get(), memory_.get(), memorySize_);
  memory_ = std::move(grown);
  memoryCapacity_ = wanted;
  return true;
}

char* RowStore::reserve(std::size_t length) {
  if (full_) return nullptr;
  const std::size_t record = kRecordHead + length;
  if (record > kLongestRecord) {
    full_ = true;
    return nullptr;
  }
  // Memory first; once a record has gone to the file, every later one follows it.
  if (file_ < 0 && fileRows_ == 0 && growMemory(memorySize_ + record)) {
    return memory_.get() + memorySize_ + kRecordHead;
  }
  if (fileBudget_ == 0 || fileSize_ + stagingSize_ + record > fileBudget_) {
    full_ = true;
    return nullptr;
  }
  if (file_ < 0) {
    std::string error;
    file_ = platform::openScratchFile(directory_, error);
    if (file_ < 0) {
      full_ = true;
      return nullptr;
    }
    staging_.reset(new char[kStaging]);
  }
  if (stagingSize_ + record > kStaging && !flush()) return nullptr;
  return staging_.get() + stagingSize_ + kRecordHead;
}

void RowStore::commit(std::size_t length) {
  const std::uint32_t head = static_cast<std::uint32_t>(length);
  if (file_ < 0) {
    std::memcpy(memory_.get() + memorySize_, &head, sizeof head);
    memorySize_ += kRecordHead + length;
    ++memoryRows_;
  } else {
    std::memcpy(staging_.get() + stagingSize_, &head, sizeof head);
    stagingSize_ += kRecordHead + length;
    ++stagedRows_;
  }
}

bool RowStore::flush() {
  if (stagingSize_ == 0) return true;
  const std::uint64_t bytes = stagingSize_;
  bool written = claim<std::uint64_t>(filesOfAll, bytes, kServerFileBudget);
  if (written) {
    fileClaimed_ += bytes;
    written = platform::appendScratch(file_, staging_.get(), stagingSize_);
  }
  if (!written) {
    // The records waiting are dropped, and the keeping ends before them;
    // what a failed write may have left in the file is past fileSize_.
    full_ = true;
  } else {
    fileSize_ += bytes;
    fileRows_ += stagedRows_;
  }
  stagingSize_ = 0;
  stagedRows_ = 0;
  return written;
}

void RowStore::finish() {
  if (file_ >= 0) flush();
  staging_.reset();
}

const char* RowStore::next(std::uint64_t& position, std::size_t& length) {
  if (position < memorySize_) {
    length = readLength(memory_.get() + position);
    const char* values = memory_.get() + position + kRecordHead;
    position += kRecordHead + length;
    return values;
  }
  const std::uint64_t offset = position - memorySize_;
  auto covers = [&](std::size_t bytes) {
    return offset >= windowStart_ && offset + bytes <= windowStart_ + windowLength_;
  };
  auto load = [&](std::size_t bytes) {
    const std::size_t size = std::max(kWindow, bytes);
    if (window_.size() < size) window_.resize(size);
    const std::uint64_t left = fileSize_ - offset;
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(left, window_.size()));
    if (wanted < bytes || !platform::readScratch(file_, offset, window_.data(), wanted)) return false;
    windowStart_ = offset;
    windowLength_ = wanted;
    return true;
  };
  if (file_ < 0 || offset + kRecordHead > fileSize_) return nullptr;
  if (!covers(kRecordHead) && !load(kRecordHead)) return nullptr;
  length = readLength(window_.data() + (offset - windowStart_));
  if (!covers(kRecordHead + length) && !load(kRecordHead + length)) return nullptr;
  position += kRecordHead + length;
  return window_.data() + (offset - windowStart_) + kRecordHead;
}

void RowStore::release() {
  memory_.reset();
  memoryCapacity_ = 0;
  memoryOfAll -= claimed_;
  claimed_ = 0;
  if (file_ >= 0) {
    platform::closeScratch(file_);
    file_ = -1;
  }
  filesOfAll -= fileClaimed_;
  fileClaimed_ = 0;
  std::vector<char>().swap(window_);
  staging_.reset();
  stagingSize_ = 0;
  windowLength_ = 0;
}

}  // namespace lumbra::server
