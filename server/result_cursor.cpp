// The counting pass that keeps rows within a budget, the blocks laid out from kept or stepped rows, blocks ahead.
#include "server/result_cursor.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "protocol/wire.h"
#include "server/rows.h"

namespace lumbra::server {

namespace {

constexpr std::size_t kValueHead = 3;         // kind byte and two-byte length
constexpr std::size_t kLongestKept = 0xFFFF;  // a longer value ends the keeping

// Bytes of kept values claimed by all open results together.
std::atomic<std::size_t> claimedByAll{0};

bool claim(std::size_t bytes) {
  std::size_t now = claimedByAll.load();
  do {
    if (bytes > kServerResultBudget - now) return false;
  } while (!claimedByAll.compare_exchange_weak(now, now + bytes));
  return true;
}

// The width a value takes in its column (0 for NULL).
std::size_t valueWidth(Rows& rows, int column) {
  switch (rows.kind(column)) {
    case Rows::Kind::Null:
      return 0;
    case Rows::Kind::Integer: {
      char text[24];
      return integerText(rows.integer(column), text);
    }
    default:
      return rows.bytes(column).size();
  }
}

}  // namespace

ResultCursor::~ResultCursor() { release(); }

bool ResultCursor::grow(std::size_t needed) {
  if (needed > budget_) return false;
  if (needed <= claimed_) return true;
  // Small results grow by doubling; past a mebibyte the whole budget is asked
  // for at once (the system gives pages only as they are written), so that no
  // copy of a large store is ever held beside it.
  const std::size_t doubled = std::max<std::size_t>(std::max(needed, 2 * claimed_), 64 * 1024);
  const std::size_t wanted = std::min(budget_, doubled <= (1u << 20) ? doubled : budget_);
  if (!claim(wanted - claimed_)) return false;
  claimed_ = wanted;
  kept_.reserve(wanted);
  return true;
}

void ResultCursor::release() {
  std::string().swap(kept_);
  claimedByAll -= claimed_;
  claimed_ = 0;
}

bool ResultCursor::keep(Rows& rows, int columns) {
  const std::size_t before = kept_.size();
  for (int i = 0; i < columns; ++i) {
    const Rows::Kind type = rows.kind(i);
    char number[24];
    const char* bytes = nullptr;
    std::size_t length = 0;
    unsigned char kind = kNull;
    if (type == Rows::Kind::Integer) {
      kind = kNumber;
      length = integerText(rows.integer(i), number);
      bytes = number;
    } else if (type != Rows::Kind::Null) {
      kind = type == Rows::Kind::Blob ? kBlob : type == Rows::Kind::Real ? kNumber : kText;
      std::string_view value = rows.bytes(i);
      bytes = value.data();
      length = value.size();
    }
    const std::size_t needed = kept_.size() + kValueHead + length;
    if (length > kLongestKept || !grow(needed)) {
      kept_.resize(before);
      return false;
    }
    const std::uint16_t stored = static_cast<std::uint16_t>(length);
    kept_.push_back(static_cast<char>(kind));
    kept_.append(reinterpret_cast<const char*>(&stored), sizeof stored);
    if (length > 0) kept_.append(bytes, length);
  }
  // The widths follow from the lengths just kept.
  std::size_t at = before;
  for (int i = 0; i < columns; ++i) {
    std::uint16_t length = 0;
    std::memcpy(&length, kept_.data() + at + 1, sizeof length);
    widths_[static_cast<std::size_t>(i)] =
        std::max<std::size_t>(widths_[static_cast<std::size_t>(i)], length);
    at += kValueHead + length;
  }
  return true;
}

int ResultCursor::count(Rows& rows) {
  const int columns = rows.columns();
  widths_.assign(static_cast<std::size_t>(columns), 0);
  int rc = kOk;
  while ((rc = rows.step()) == kRow) {
    ++total_;
    if (keeping_ && keep(rows, columns)) {
      ++keptRows_;
      continue;
    }
    keeping_ = false;
    for (int i = 0; i < columns; ++i) {
      widths_[static_cast<std::size_t>(i)] =
          std::max(widths_[static_cast<std::size_t>(i)], valueWidth(rows, i));
    }
  }
  if (rc != kDone) return rc;
  rows.rewind();
  rowLength_ = 0;
  for (std::size_t width : widths_) rowLength_ += width;
  return kDone;
}

void ResultCursor::layOutKept() {
  row_.clear();
  const char* p = kept_.data() + readAt_;
  for (std::size_t width : widths_) {
    const unsigned char kind = static_cast<unsigned char>(p[0]);
    std::uint16_t length = 0;
    std::memcpy(&length, p + 1, sizeof length);
    const char* bytes = p + kValueHead;
    const std::size_t pad = width - length;
    switch (kind) {
      case kNull:
        row_.append(width, ' ');
        break;
      case kNumber:
        row_.append(pad, ' ');
        row_.append(bytes, length);
        break;
      default:
        row_.append(bytes, length);
        row_.append(pad, kind == kBlob ? '\0' : ' ');
        break;
    }
    p += kValueHead + length;
  }
  readAt_ = static_cast<std::size_t>(p - kept_.data());
}

int ResultCursor::skipKept(Rows& rows) {
  positioned_ = true;
  if (keptRows_ == 0) return kRow;
  return rows.skip(keptRows_);
}

std::size_t ResultCursor::queueStart() const { return queueHead_ == 0 ? 0 : queuedEnds_[queueHead_ - 1]; }

long long ResultCursor::takeQueued(std::string& block, std::size_t limit, std::size_t capacity, bool first,
                                   bool oneRow, bool& full, bool& ended, int& rc) {
  std::lock_guard<std::mutex> lock(queueMutex_);
  long long taken = 0;
  full = false;
  const long long left = total_ - sent_;
  while (queueHead_ < queuedEnds_.size() && taken < left) {
    const std::size_t from = queueStart();
    const std::size_t length = queuedEnds_[queueHead_] - from;
    // As in fill: the block's first row may take the client's whole capacity.
    const std::size_t room = (first && taken == 0 ? std::max(limit, capacity) : limit) - kEndOfBlockLength;
    if (block.size() + length > room) {
      full = true;
      break;
    }
    block.append(queued_, from, length);
    ++queueHead_;
    ++taken;
    if (oneRow) break;
  }
  if (taken == 0 && !full) {
    ended = queueEnded_;
    rc = queueRc_;
  }
  return taken;
}

void ResultCursor::dropSentQueued() {
  std::lock_guard<std::mutex> lock(queueMutex_);
  if (queueHead_ == 0) return;
  const std::size_t from = queueStart();
  // Moving the rest down costs a copy of it: only once the rows sent are the larger part.
  if (queueHead_ < queuedEnds_.size() && from < 64 * 1024 && from < queued_.size() / 2) return;
  queued_.erase(0, from);
  queuedEnds_.erase(queuedEnds_.begin(), queuedEnds_.begin() + static_cast<std::ptrdiff_t>(queueHead_));
  for (std::size_t& end : queuedEnds_) end -= from;
  queueHead_ = 0;
}

bool ResultCursor::fill(Rows* rows, std::string& block, std::size_t limit, std::size_t capacity, bool first,
                        long long& added, int& rc, long long held) {
  rc = kOk;
  added = 0;
  stoppedFull_ = false;
  // Rows of length zero take no bytes, so the client sees every block as used
  // up after one row (and the first block as empty): one row per continuation.
  const bool emptyRows = rowLength_ == 0;
  if (emptyRows && first) return true;
  // The block grows to nearly the limit: one allocation instead of many.
  if (block.capacity() < limit) block.reserve(limit);
  while (sent_ < total_) {
    if (!rowReady_ && sent_ >= keptRows_) {
      // The rows stepped ahead are the statement's next rows: as many as fit, under one lock.
      bool full = false;
      bool ended = false;
      int queuedRc = 0;
      const long long taken =
          takeQueued(block, limit, capacity, held + added == 0, emptyRows, full, ended, queuedRc);
      if (taken > 0) {
        if (rows != nullptr && claimed_ != 0) release();  // every kept row is out
        sent_ += taken;
        added += taken;
        if (emptyRows) return true;
      }
      if (full) {
        stoppedFull_ = true;
        return true;
      }
      if (taken > 0) continue;
      if (rows == nullptr) return true;  // laying out ahead: no SQL
      if (ended) {
        if (queuedRc != 0) {
          rc = queuedRc;
          return false;
        }
        exhausted_ = true;
        return true;
      }
    }
    if (!rowReady_) {
      if (sent_ < keptRows_) {
        layOutKept();
      } else {
        if (claimed_ != 0) release();  // every kept row is out
        if (!positioned_) {
          const int skipped = skipKept(*rows);
          if (skipped == kDone) exhausted_ = true;
          if (skipped != kRow) {
            if (skipped != kDone) rc = skipped;
            return skipped == kDone;
          }
        }
        const int step = rows->step();
        if (step == kDone) {
          exhausted_ = true;
          return true;
        }
        if (step != kRow) {
          rc = step;
          return false;
        }
        ++stepped_;
        formatRow(*rows, widths_, row_);
      }
      rowReady_ = true;
    }
    const std::size_t before = block.size();
    appendEncodedRow(row_, block);
    const bool fits = block.size() + kEndOfBlockLength <= limit ||
                      (held + added == 0 && block.size() + kEndOfBlockLength <= capacity);
    if (!fits) {
      block.resize(before);
      stoppedFull_ = true;
      return true;
    }
    rowReady_ = false;
    ++sent_;
    ++added;
    if (emptyRows) return true;
  }
  return true;
}

void ResultCursor::readAhead(Rows& rows, std::size_t bytes, const std::atomic<bool>& stop,
                             const std::function<void()>& arrived) {
  std::size_t queuedBytes = 0;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (queueEnded_) return;
    queuedBytes = queued_.size() - queueStart();
  }
  int rc = kRow;
  if (!positioned_) rc = skipKept(rows);
  std::string encoded;
  std::vector<std::size_t> ends;
  std::string row;
  // Rows go into the queue in batches: one lock for many rows, and soon when a block waits.
  auto publish = [&](bool ended) {
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      const std::size_t base = queued_.size();
      queued_ += encoded;
      for (std::size_t end : ends) queuedEnds_.push_back(base + end);
      if (ended) {
        queueEnded_ = true;
        queueRc_ = rc == kDone ? 0 : rc;
      }
      queuedBytes = queued_.size() - queueStart();
    }
    encoded.clear();
    ends.clear();
    if (arrived && starving_.load() && (ended || queuedBytes >= wanted_.load()) && starving_.exchange(false))
      arrived();
  };
  const long long beyondKept = total_ - keptRows_;
  while (rc == kRow && stepped_ < beyondKept && queuedBytes + encoded.size() < bytes &&
         !stop.load(std::memory_order_relaxed)) {
    rc = rows.step();
    if (rc != kRow) break;
    ++stepped_;
    formatRow(rows, widths_, row);
    appendEncodedRow(row, encoded);
    ends.push_back(encoded.size());
    if (encoded.size() >= 16 * 1024 ||
        (starving_.load(std::memory_order_relaxed) && queuedBytes + encoded.size() >= wanted_.load()))
      publish(false);
  }
  publish(rc != kRow);
}

void ResultCursor::waitForRows() {
  // The block in progress takes rows up to its limit; any row when none is.
  std::size_t wanted = 1;
  if (aheadInProgress_) {
    const std::size_t room = aheadLimit_ > kEndOfBlockLength ? aheadLimit_ - kEndOfBlockLength : 0;
    if (room > ahead_.size() + 1) wanted = room - ahead_.size();
  }
  wanted_ = wanted;
  starving_ = true;
}

bool ResultCursor::wantsReadAhead(std::size_t bytes) const {
  if (exhausted_ || stepped_ >= total_ - keptRows_) return false;
  std::lock_guard<std::mutex> lock(queueMutex_);
  if (queueEnded_) return false;
  // Started again only once half of what was stepped ahead is out: a job for many blocks.
  return queued_.size() - queueStart() < bytes / 2;
}

void ResultCursor::prepareAhead(std::size_t limit, std::size_t capacity) {
  if (aheadReady_ || exhausted_) return;
  if (aheadInProgress_ && aheadLimit_ != limit) restore();
  if (!aheadInProgress_) {
    if (sent_ >= total_) return;
    dropSentQueued();
    saved_ = Position{sent_, readAt_, rowReady_, rowReady_ ? row_ : std::string(), queueHead_};
    ahead_.assign(kHeadTag, kHeadTagLength);
    aheadLimit_ = limit;
    aheadInProgress_ = true;
  }
  // Goes on from the rows the block holds (those sent since the position
  // saved before it): each row is copied into it once, however many calls it
  // takes the rows stepped ahead to arrive.
  long long added = 0;
  int rc = kOk;
  fill(nullptr, ahead_, limit, capacity, false, added, rc, sent_ - saved_.sent);
  // Only a block that is full, or holds the last rows, is the block the
  // continuation request would get.
  if (sent_ > saved_.sent && (sent_ == total_ || stoppedFull_ || rowLength_ == 0)) {
    aheadInProgress_ = false;
    aheadReady_ = true;
  }
}

void ResultCursor::restore() {
  sent_ = saved_.sent;
  readAt_ = saved_.readAt;
  rowReady_ = saved_.rowReady;
  row_ = std::move(saved_.row);
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queueHead_ = saved_.queueHead;
  }
  ahead_.clear();
  aheadReady_ = false;
  aheadInProgress_ = false;
}

bool ResultCursor::takeAhead(std::string_view number, std::size_t limit, std::string& block) {
  if (!aheadReady_) {
    if (aheadInProgress_) restore();  // unfinished: the request lays out its own
    return false;
  }
  if (aheadLimit_ != limit || number.size() < kContinuationDigits) {
    restore();  // laid out for another length: the request lays out its own
    return false;
  }
  aheadReady_ = false;
  if (sent_ >= keptRows_ && claimed_ != 0) release();  // every kept row is out
  block = std::move(ahead_);
  ahead_.clear();
  const auto tag = continuationTag(number);
  std::memcpy(block.data(), tag.data(), kHeadTagLength);
  return true;
}

}  // namespace lumbra::server
