// Encoders and decoders of the run-length escape, both directions and both forms.
#include "protocol/run_length.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "protocol/wire.h"

namespace lumbra {
namespace {

constexpr std::size_t kMaxOutgoingRun = 36;
constexpr std::size_t kMinOutgoingRun = 4;
constexpr std::size_t kMaxIncomingRun = 36 * 36 - 1;  // 1295

int digitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return -1;
}

bool neverInRun(char c) {
  return c == '"' || c == '\'' || c == '(' || c == ')' || c == '<' || c == '=' || c == '>';
}

}  // namespace

namespace {

std::uint64_t loadWord(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Non-zero when some byte of v is zero.
std::uint64_t anyZeroByte(std::uint64_t v) {
  return (v - 0x0101010101010101ull) & ~v & 0x8080808080808080ull;
}

constexpr std::uint64_t kEscapeBytes = 0x0101010101010101ull * static_cast<unsigned char>(kRunEscape);

// Eight bytes from `p` in which no byte equals the one after it and none is
// the escape byte: none of them can start a run or need doubling (byte order
// matters to neither test). Needs nine readable bytes.
bool plainWord(const char* p) {
  const std::uint64_t word = loadWord(p);
  return anyZeroByte(word ^ loadWord(p + 1)) == 0 && anyZeroByte(word ^ kEscapeBytes) == 0;
}

// Bit 7 of each byte of the result is set where that byte of v is zero, and
// no other bit (exact, unlike anyZeroByte, which may also flag a byte above a
// zero one).
std::uint64_t zeroBytes(std::uint64_t v) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  return ~(((v & kLow7) + kLow7) | v | kLow7);
}

// How many bytes of a word lie in memory in front of the first byte flagged in
// `flags` (a zeroBytes result, not 0).
std::size_t bytesBeforeFlag(std::uint64_t flags) {
  const int bit =
      std::endian::native == std::endian::little ? std::countr_zero(flags) : std::countl_zero(flags);
  return static_cast<std::size_t>(bit) / 8;
}

// Where the plain stretch that starts at `at` ends: the first escape byte, or
// the first byte that starts a run of kMinOutgoingRun (the bytes that never
// form a run stand for themselves whatever follows them). A batch entry is
// mostly plain text, so it is scanned eight bytes at a time: each word is
// compared with itself shifted by one, two and three bytes, and the first byte
// that is an escape or starts four equal bytes is found from the flags.
std::size_t outgoingPlainEnd(const char* source, std::size_t at, std::size_t length) {
  while (length - at >= 11) {
    const std::uint64_t word = loadWord(source + at);
    const std::uint64_t runs = (word ^ loadWord(source + at + 1)) | (word ^ loadWord(source + at + 2)) |
                               (word ^ loadWord(source + at + 3));
    const std::uint64_t stops = zeroBytes(runs) | zeroBytes(word ^ kEscapeBytes);
    if (stops == 0) {
      at += 8;
      continue;
    }
    at += bytesBeforeFlag(stops);
    if (source[at] == kRunEscape || !neverInRun(source[at])) return at;
    ++at;
  }
  // The last ten bytes, one at a time.
  for (; at < length; ++at) {
    const char c = source[at];
    if (c == kRunEscape) return at;
    if (length - at >= kMinOutgoingRun && source[at + 1] == c && source[at + 2] == c && source[at + 3] == c &&
        !neverInRun(c))
      return at;
  }
  return at;
}

}  // namespace

std::ptrdiff_t encodeOutgoingRunLength(char* destination, std::size_t capacity, const char* source) {
  return encodeOutgoingRunLength(destination, capacity, source, std::strlen(source));
}

std::ptrdiff_t encodeOutgoingRunLength(char* destination, std::size_t capacity, const char* source,
                                       std::size_t length) {
  std::size_t out = 0;
  std::size_t in = 0;
  while (in < length) {
    // Bytes that stand for themselves go over in one copy.
    const std::size_t plain = outgoingPlainEnd(source, in, length);
    if (plain > in) {
      const std::size_t count = plain - in;
      if (capacity - out < count) return kRunLengthNoRoom;
      std::memcpy(destination + out, source + in, count);
      out += count;
      in = plain;
      continue;
    }
    const char c = source[in];
    if (c == kRunEscape) {
      if (capacity - out < 2) return kRunLengthNoRoom;
      destination[out++] = kRunEscape;
      destination[out++] = kRunEscape;
      ++in;
      continue;
    }
    // A run of at least kMinOutgoingRun starts here; runs of blanks in
    // fixed-width values are long, so it is measured eight bytes at a time.
    const std::size_t most = length - in < kMaxOutgoingRun ? length - in : kMaxOutgoingRun;
    const std::uint64_t copies = 0x0101010101010101ull * static_cast<unsigned char>(c);
    std::size_t run = 1;
    while (run + 8 <= most && loadWord(source + in + run) == copies) run += 8;
    while (run < most && source[in + run] == c) ++run;
    if (capacity - out < 3) return kRunLengthNoRoom;
    destination[out++] = kRunEscape;
    destination[out++] = kRunDigits[run - 1];
    destination[out++] = c;
    in += run;
  }
  return static_cast<std::ptrdiff_t>(out);
}

std::ptrdiff_t decodeIncomingRunLength(const char* source, std::size_t sourceLength, char* row,
                                       std::size_t rowLength) {
  std::size_t in = 0;
  std::size_t out = 0;
  while (out < rowLength) {
    // Plain bytes up to the next escape, as many as the row still takes.
    const std::size_t want = rowLength - out;
    const std::size_t avail = sourceLength - in;
    const std::size_t span = want < avail ? want : avail;
    const void* escape = std::memchr(source + in, kRunEscape, span);
    const std::size_t plain =
        escape ? static_cast<std::size_t>(static_cast<const char*>(escape) - (source + in)) : span;
    std::memcpy(row + out, source + in, plain);
    in += plain;
    out += plain;
    if (out == rowLength) break;
    if (in == sourceLength) return kRunLengthTruncated;
    // source[in] is the escape.
    if (sourceLength - in < 2) return kRunLengthTruncated;
    if (source[in + 1] == kRunEscape) {
      row[out++] = kRunEscape;
      in += 2;
      continue;
    }
    if (sourceLength - in < 4) return kRunLengthTruncated;
    const int high = digitValue(static_cast<unsigned char>(source[in + 1]));
    const int low = digitValue(static_cast<unsigned char>(source[in + 2]));
    if (high < 0 || low < 0) return kRunLengthBadDigit;
    const std::size_t count = static_cast<std::size_t>(high * 36 + low);
    if (count > rowLength - out) return kRunLengthOverrun;
    std::memset(row + out, static_cast<unsigned char>(source[in + 3]), count);
    out += count;
    in += 4;
  }
  return static_cast<std::ptrdiff_t>(in);
}

std::ptrdiff_t decodeOutgoingRunLength(const char* source, std::size_t sourceLength, char* destination,
                                       std::size_t capacity) {
  std::size_t in = 0;
  std::size_t out = 0;
  while (in < sourceLength) {
    const char c = source[in];
    if (c != kRunEscape) {
      if (out == capacity) return kRunLengthNoRoom;
      destination[out++] = c;
      ++in;
      continue;
    }
    if (sourceLength - in < 2) return kRunLengthTruncated;
    if (source[in + 1] == kRunEscape) {
      if (out == capacity) return kRunLengthNoRoom;
      destination[out++] = kRunEscape;
      in += 2;
      continue;
    }
    if (sourceLength - in < 3) return kRunLengthTruncated;
    const int digit = digitValue(static_cast<unsigned char>(source[in + 1]));
    if (digit < 0) return kRunLengthBadDigit;
    const std::size_t count = static_cast<std::size_t>(digit) + 1;
    if (capacity - out < count) return kRunLengthNoRoom;
    std::memset(destination + out, static_cast<unsigned char>(source[in + 2]), count);
    out += count;
    in += 3;
  }
  return static_cast<std::ptrdiff_t>(out);
}

namespace {

// True when a run worth writing as one (five equal bytes) starts at `p`,
// `left` bytes from the end of the source.
bool runStartsAt(const char* p, std::size_t left) {
  return left >= 5 && p[1] == p[0] && p[2] == p[0] && p[3] == p[0] && p[4] == p[0];
}

// The length of the plain stretch at the front of the source: bytes written as
// they are, up to the first escape byte or the first byte that starts a run of
// five. Eight bytes at a time while no two neighbours are equal and no escape
// is among them (byte order does not matter to either test).
std::size_t plainStretch(const char* source, std::size_t length) {
  std::size_t at = 0;
  while (at + 9 <= length && plainWord(source + at)) at += 8;
  for (; at < length; ++at) {
    if (source[at] == kRunEscape || runStartsAt(source + at, length - at)) break;
  }
  return at;
}

}  // namespace

std::ptrdiff_t encodeIncomingRunLength(const char* source, std::size_t sourceLength, char* destination,
                                       std::size_t capacity) {
  std::size_t in = 0;
  std::size_t out = 0;
  while (in < sourceLength) {
    // Bytes that stand for themselves go over in one copy.
    const std::size_t plain = plainStretch(source + in, sourceLength - in);
    if (plain > 0) {
      if (capacity - out < plain) return kRunLengthNoRoom;
      std::memcpy(destination + out, source + in, plain);
      out += plain;
      in += plain;
      continue;
    }
    const char c = source[in];
    std::size_t run = 1;
    while (run < kMaxIncomingRun && in + run < sourceLength && source[in + run] == c) ++run;
    // A run costs 4 bytes: worth it from 5 copies of a byte, from 3 copies of '@'.
    const bool asRun = c == kRunEscape ? run >= 3 : run >= 5;
    if (asRun) {
      if (capacity - out < 4) return kRunLengthNoRoom;
      destination[out++] = kRunEscape;
      destination[out++] = kRunDigits[run / 36];
      destination[out++] = kRunDigits[run % 36];
      destination[out++] = c;
    } else {
      // One or two escape bytes, each doubled.
      if (capacity - out < 2 * run) return kRunLengthNoRoom;
      for (std::size_t i = 0; i < run; ++i) {
        destination[out++] = kRunEscape;
        destination[out++] = kRunEscape;
      }
    }
    in += run;
  }
  return static_cast<std::ptrdiff_t>(out);
}

}  // namespace lumbra
