// record.h -- the record reader and the checksum operations on records.
//
// A record on disk (binary, no character conversion):
//   record text   line length minus 10 bytes; a NUL byte ends the text for
//                 every later use (CRC, comparison, output)
//   CRC field     10 bytes: the CRC-32 of the text, "%010lu"
//   line end      CR LF
// A line holds at most kMaxLine bytes before its CR LF. A CR not followed by
// LF is ordinary data; bytes after the last CR LF of a file never form a record.
#ifndef VALIDATOR_RECORD_H
#define VALIDATOR_RECORD_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tabrel {

constexpr std::size_t kTextBufferSize = 2048;  // record text and NUL
constexpr std::size_t kFieldBufferSize = 11;   // ten digits and NUL
constexpr std::size_t kFieldLength = 10;
constexpr std::size_t kMaxLine = 2030;         // longest line before CR LF
constexpr std::size_t kOverlong = kMaxLine + 1;  // bytes consumed by a line too long

using TextBuffer = char[kTextBufferSize];
using FieldBuffer = char[kFieldBufferSize];

// A buffered stream over an open input file, read front to back in blocks.
// It lives for one run (its block is part of the run's state); nothing is
// allocated. The end of the file and a read error look alike: both end it.
class InputStream {
public:
    explicit InputStream(std::FILE* file) noexcept : file_(file) {}
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    // Bytes available without reading the file; refills when none are left.
    // Zero at the end of the input.
    std::size_t available() noexcept;
    const unsigned char* data() const noexcept { return block_ + pos_; }
    void skip(std::size_t count) noexcept { pos_ += count; }
    // The next byte, or -1 at the end of the input.
    int get() noexcept;
    // Steps back over the byte that the last get() delivered.
    void unget() noexcept { --pos_; }

private:
    static constexpr std::size_t kBlockSize = 32768;
    std::FILE* file_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
    unsigned char block_[kBlockSize];
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

// Folds the record text (up to its NUL) and then its CRC field (up to its NUL,
// at most ten bytes) into the running CRC; returns the new running CRC.
std::uint32_t addToRunningCrc(const char* text, const char* field, std::uint32_t& running) noexcept;

// True when the text's first bytes, as many as the tag has, equal the tag.
bool beginsWith(const char* text, const char* tag) noexcept;

}  // namespace tabrel

#endif
