// byte_source.cpp -- buffered reading of key ring bytes from memory or a stream.
#include "keyring/byte_source.h"

#include <algorithm>
#include <cstring>

#include "platform/files.h"

namespace orvak {

ByteSource::ByteSource(std::span<const uint8_t> bytes) : data_(bytes.data()), size_(bytes.size()) {}

ByteSource::ByteSource(std::FILE* stream) : stream_(stream), data_(buffer_) {}

bool ByteSource::refill() {
  if (stream_ == nullptr) return false;
  // Keep the last byte so that unread() still works across a refill.
  std::size_t keep = 0;
  if (size_ > 0) {
    buffer_[0] = buffer_[size_ - 1];
    keep = 1;
  }
  const std::size_t got = platform::fileCalls().read(buffer_ + keep, sizeof buffer_ - keep, stream_);
  size_ = keep + got;
  pos_ = keep;
  return got > 0;
}

bool ByteSource::readByte(uint8_t& out) {
  if (pos_ == size_ && !refill()) return false;
  out = data_[pos_++];
  return true;
}

bool ByteSource::read(uint8_t* out, std::size_t count) {
  while (count > 0) {
    if (pos_ == size_ && !refill()) return false;
    const std::size_t n = std::min(count, size_ - pos_);
    std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    out += n;
    count -= n;
  }
  return true;
}

bool ByteSource::skip(uint64_t count) {
  while (count > 0) {
    if (pos_ == size_ && !refill()) return false;
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(count, size_ - pos_));
    pos_ += n;
    count -= n;
  }
  return true;
}

void ByteSource::unread() {
  if (pos_ > 0) --pos_;
}

bool ByteSource::atEnd() { return pos_ == size_ && !refill(); }

}  // namespace orvak
