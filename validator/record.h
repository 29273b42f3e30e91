// record.h -- the record reader and the checksum operations on records.
//
// A record on disk (binary, no character conversion):
//   record text   line length minus 10 bytes; a NUL byte ends the text for
//                 every later use (CRC, comparison, output)
//   CRC field     10 bytes: the CRC-32 of the text, "%010lu"
//   line end      CR LF
// A line holds at most kMaxLine bytes before its CR LF. A CR not followed by
// LF is ordinary data; bytes after the last CR LF of a file never form a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "validator/crc32.h"

namespace tabrel {

constexpr std::size_t kTextBufferSize = 2048;  // record text and NUL
constexpr std::size_t kFieldBufferSize = 11;   // ten digits and NUL
constexpr std::size_t kFieldLength = 10;
constexpr std::size_t kMaxLine = 2030;           // longest line before CR LF
constexpr std::size_t kOverlong = kMaxLine + 1;  // bytes consumed by a line too long

using TextBuffer = char[kTextBufferSize];
using FieldBuffer = char[kFieldBufferSize];

// The record in place in the input's block, valid until the next read.
struct RecordView {
  const char* text;        // the record text; not NUL-terminated
  std::size_t textLength;  // bytes of text before its first NUL
  const char* field;       // the ten bytes of the CRC field (may hold NULs)
};

// A buffered stream over an open input file, read front to back in large
// blocks; records are found in place with a scan for CR and never copied. A
// line that runs over the end of the block is moved to its front before the
// next block is read behind it, so a whole line is always at hand. It lives
// for one run (its block is part of the run's state); nothing is allocated.
// The end of the file and a read error look alike: both end it.
class InputStream {
 public:
  explicit InputStream(std::FILE* file) noexcept : file_(file) {}
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  // Bytes available without reading the file; refills when none are left.
  // Zero at the end of the input.
  std::size_t available() noexcept;

  // Reads one record as readRecord does, leaving it where it lies: 1 with
  // `record` pointing into the block, 0 when none could be read.
  int next(RecordView& record) noexcept;

  static constexpr std::size_t kBlockSize = 65536;

 private:
  // Bytes to hold before looking for a line end: the longest line, its CR
  // and the byte after it.
  static constexpr std::size_t kLookahead = kMaxLine + 2;
  // Moves what is left to the front and reads behind it until at least
  // `wanted` bytes are ready or the input ends.
  void refill(std::size_t wanted) noexcept;

  std::FILE* file_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
  char shortField_[kFieldBufferSize] = {};
  char block_[kBlockSize];
};

// Reads one record: 1 with the record text (NUL-terminated) in `text` and its
// CRC field (ten bytes and a NUL) in `field`; 0 when none could be read (end
// of input before a CR LF, or a line of kOverlong or more bytes, of which the
// first kOverlong are consumed and the rest starts the next record).
// A line shorter than ten bytes gives an empty text and a field holding the
// bytes there are, padded with NULs.
int readRecord(InputStream& input, TextBuffer& text, FieldBuffer& field) noexcept;

// The CRC-32 of a record text up to its first NUL (0 for an empty text).
std::uint32_t recordCrc(const char* text) noexcept;

// Writes `value` as "%010lu" into ten bytes at `out` (no NUL).
void formatCrcField(std::uint32_t value, char* out) noexcept;

// True when the ten bytes at `field` equal `value` written with "%010lu".
bool crcFieldMatches(const char* field, std::uint32_t value) noexcept;

// The running CRC of a file: the CRC of every record text followed by its CRC
// field (up to its NUL, at most ten bytes), record after record. A record whose
// text CRC and length are known moves it without a second pass over the text;
// the shift of the last length is kept, since records of a file tend to share
// one length.
class RunningCrc {
 public:
  explicit RunningCrc(std::uint32_t start = 0) noexcept : value_(start) {}

  std::uint32_t value() const noexcept { return value_; }

  void fold(std::uint32_t textCrc, std::size_t textLength, const char* field) noexcept;

 private:
  std::uint32_t value_;
  std::size_t shiftLength_ = 0;
  std::uint32_t shift_ = crc32Shift(0);
};

// Folds the record text (up to its NUL) and then its CRC field into `running`
// as RunningCrc::fold does; returns the new running CRC.
std::uint32_t addToRunningCrc(const char* text, const char* field, std::uint32_t& running) noexcept;

// True when the text's first bytes, as many as the tag has, equal the tag.
bool beginsWith(const char* text, const char* tag) noexcept;

// The same for a text of `length` bytes and a tag of `tagLength` bytes.
inline bool beginsWith(const char* text, std::size_t length, const char* tag,
                       std::size_t tagLength) noexcept {
  return tagLength <= length && std::memcmp(text, tag, tagLength) == 0;
}

}  // namespace tabrel
