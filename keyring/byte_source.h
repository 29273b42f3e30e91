// byte_source.h -- the input of a key ring walk: bytes from memory or from an
// open file read through a buffer, never past the end of the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace orvak {

class ByteSource {
 public:
  // Reads bytes held in memory; they must outlive the source.
  explicit ByteSource(std::span<const uint8_t> bytes);
  // Reads an open stream from its current position; the caller closes it.
  explicit ByteSource(std::FILE* stream);

  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // Each returns false at the end of the data (a short read or skip consumes
  // what there was).
  bool readByte(uint8_t& out);
  bool read(uint8_t* out, std::size_t count);
  bool skip(uint64_t count);
  // Steps back over the byte just read (one byte only).
  void unread();
  // True when a read or skip has run into the end of the data.
  bool atEnd();

 private:
  bool refill();

  std::FILE* stream_ = nullptr;
  const uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t pos_ = 0;
  uint8_t buffer_[64 * 1024];
};

}  // namespace orvak
