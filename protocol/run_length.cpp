// Encoders and decoders of the run-length escape, both directions and both forms.
#include "protocol/run_length.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "protocol/wire.h"

// The scans go sixteen bytes at a time where SSE2 is there for certain (every
// x86-64 build); elsewhere, eight bytes at a time in a 64-bit word.
#if defined(__SSE2__) || defined(_M_X64)
#  define LUMBRA_RUN_LENGTH_SSE2 1
#  include <emmintrin.h>
#else
#  define LUMBRA_RUN_LENGTH_SSE2 0
#endif

namespace lumbra {
namespace {

constexpr std::size_t kMaxOutgoingRun = 36;
constexpr std::size_t kMinOutgoingRun = 4;
constexpr std::size_t kMaxIncomingRun = 36 * 36 - 1;  // 1295

constexpr int digitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return -1;
}

// The characters " ' ( ) < = > (all below 64) as bits of a mask.
constexpr std::uint64_t kNeverInRun =
    1ull << '"' | 1ull << '\'' | 1ull << '(' | 1ull << ')' | 1ull << '<' | 1ull << '=' | 1ull << '>';

bool neverInRun(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 64 && ((kNeverInRun >> u) & 1) != 0;
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
// `flags` (a zeroBytes or firstZeroBytes result, not 0).
std::size_t bytesBeforeFlag(std::uint64_t flags) {
  const int bit =
      std::endian::native == std::endian::little ? std::countr_zero(flags) : std::countl_zero(flags);
  return static_cast<std::size_t>(bit) / 8;
}

// Flags of the zero bytes of v for bytesBeforeFlag: 0 when v has none, else
// at least the first one in memory flagged, and no byte in front of it. On a
// little-endian machine the cheaper test is exact that far (it may flag only
// bytes above a zero one, which lie behind it in memory).
std::uint64_t firstZeroBytes(std::uint64_t v) {
  return std::endian::native == std::endian::little ? anyZeroByte(v) : zeroBytes(v);
}

void storeWord(char* p, std::uint64_t v) { std::memcpy(p, &v, sizeof v); }

// `flags` (a zeroBytes result) without the flags of the first `skip` bytes in
// memory (0..7).
std::uint64_t flagsFrom(std::uint64_t flags, std::size_t skip) {
  const unsigned shift = static_cast<unsigned>(8 * skip);
  return std::endian::native == std::endian::little ? flags & (~0ull << shift) : flags & (~0ull >> shift);
}

// The bytes a word of the outgoing scan reads: its own eight and the three
// after them.
constexpr std::size_t kOutgoingWindow = 11;

// The stops among the eight bytes at `p` (`word`, loaded from there): the
// escape bytes and the bytes that start four equal ones. Each word is
// compared with itself shifted by one, two and three bytes (byte order
// matters to neither test). Reads eleven bytes. A byte that never forms a run
// is a stop too when four of it follow each other; the caller lets it pass.
std::uint64_t outgoingStops(const char* p, std::uint64_t word) {
  const std::uint64_t runs = (word ^ loadWord(p + 1)) | (word ^ loadWord(p + 2)) | (word ^ loadWord(p + 3));
  return zeroBytes(runs) | zeroBytes(word ^ kEscapeBytes);
}

// The length of the run of source[in] (at most kMaxOutgoingRun and the rest
// of the source), measured eight bytes at a time: runs of blanks in
// fixed-width values are long.
std::size_t outgoingRun(const char* source, std::size_t in, std::size_t length) {
  const std::size_t most = length - in < kMaxOutgoingRun ? length - in : kMaxOutgoingRun;
  const std::uint64_t copies = 0x0101010101010101ull * static_cast<unsigned char>(source[in]);
  std::size_t run = 1;
  while (length - in - run >= 8) {
    const std::uint64_t differ = loadWord(source + in + run) ^ copies;
    if (differ != 0) {
      run += bytesBeforeFlag(~zeroBytes(differ) & 0x8080808080808080ull);
      return run < most ? run : most;
    }
    run += 8;
    if (run >= most) return most;
  }
  while (run < most && source[in + run] == source[in]) ++run;
  return run;
}

// Copies 0..32 bytes with at most two loads and stores of one width.
void copySmall(char* destination, const char* source, std::size_t count) {
  if (count >= 16) {
    char head[16], tail[16];
    std::memcpy(head, source, 16);
    std::memcpy(tail, source + count - 16, 16);
    std::memcpy(destination, head, 16);
    std::memcpy(destination + count - 16, tail, 16);
  } else if (count >= 8) {
    const std::uint64_t head = loadWord(source);
    const std::uint64_t tail = loadWord(source + count - 8);
    storeWord(destination, head);
    storeWord(destination + count - 8, tail);
  } else if (count >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, source, 4);
    std::memcpy(&tail, source + count - 4, 4);
    std::memcpy(destination, &head, 4);
    std::memcpy(destination + count - 4, &tail, 4);
  } else {
    for (std::size_t i = 0; i < count; ++i) destination[i] = source[i];
  }
}

// The value of each byte as a run-length digit, -1 outside the alphabet.
constexpr auto kDigitValues = [] {
  struct Table {
    signed char value[256];
    constexpr int operator[](unsigned char c) const { return value[c]; }
  } table{};
  for (int c = 0; c < 256; ++c)
    table.value[c] = static_cast<signed char>(digitValue(static_cast<unsigned char>(c)));
  return table;
}();

// Writes `count` copies of `c` at row[at], never past row[rowLength - 1]
// (count <= rowLength - at). Whole words while the row has room for them: a
// word's bytes past the run are written over by what follows in the row.
void fillRun(char* row, std::size_t at, std::size_t count, std::size_t rowLength, unsigned char c) {
  if (count > 64) {
    std::memset(row + at, c, count);
    return;
  }
  const std::uint64_t copies = 0x0101010101010101ull * c;
  const std::size_t end = at + count;
  while (at < end && rowLength - at >= 8) {
    storeWord(row + at, copies);
    at += 8;
  }
  for (; at < end; ++at) row[at] = static_cast<char>(c);
}

}  // namespace

std::ptrdiff_t encodeOutgoingRunLength(char* destination, std::size_t capacity, const char* source) {
  return encodeOutgoingRunLength(destination, capacity, source, std::strlen(source));
}

std::size_t outgoingRunLengthSize(const char* source, std::size_t length) {
  std::size_t size = 0;
  for (std::size_t in = 0; in < length;) {
    const char c = source[in];
    if (c == kRunEscape) {
      size += 2;
      ++in;
    } else if (neverInRun(c)) {
      ++size;
      ++in;
    } else {
      const std::size_t run = outgoingRun(source, in, length);
      size += run >= kMinOutgoingRun ? 3 : run;
      in += run;
    }
  }
  return size;
}

namespace {

// Writes the outgoing form of the byte at source[in] (an escape, a byte that
// never forms a run, the start of a run, or a plain byte) at destination[out]
// and moves both on; false when it does not fit.
bool encodeOutgoingAt(char* destination, std::size_t capacity, const char* source, std::size_t length,
                      std::size_t& in, std::size_t& out) {
  const char c = source[in];
  if (c == kRunEscape) {
    if (capacity - out < 2) return false;
    destination[out++] = kRunEscape;
    destination[out++] = kRunEscape;
    ++in;
    return true;
  }
  const std::size_t run = neverInRun(c) ? 1 : outgoingRun(source, in, length);
  if (run < kMinOutgoingRun) {
    // Fewer than four copies: each stands for itself.
    if (capacity - out < run) return false;
    for (std::size_t i = 0; i < run; ++i) destination[out++] = c;
    in += run;
    return true;
  }
  if (capacity - out < 3) return false;
  destination[out++] = kRunEscape;
  destination[out++] = kRunDigits[run - 1];
  destination[out++] = c;
  in += run;
  return true;
}

// What a plain scan found: how many bytes from its start are plain (and
// stored), and whether a stop follows them (else fewer bytes are left than a
// whole block needs).
struct PlainScan {
  std::size_t plain;
  bool stopped;
};

// Where the outgoing form stops being a copy, from `from` (`limit`: the
// lesser of the bytes left in the source less three and the room at `to`):
// stores whole blocks as it scans them, each read with the three bytes after
// it. A block with a stop in it is stored too; its bytes in front of the stop
// are then in place.
template <bool kWide>
PlainScan scanOutgoingPlain(const char* from, char* to, std::size_t limit) {
  std::size_t done = 0;
#if LUMBRA_RUN_LENGTH_SSE2
  if constexpr (kWide) {
    // Sixteen bytes against the next sixteen shifted by one byte (and, when
    // some neighbours are equal, by two and three).
    const __m128i escapes = _mm_set1_epi8(kRunEscape);
    for (; limit - done >= 16; done += 16) {
      const char* const p = from + done;
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + done), block);
      const __m128i next = _mm_cmpeq_epi8(block, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1)));
      const __m128i escape = _mm_cmpeq_epi8(block, escapes);
      if (_mm_movemask_epi8(_mm_or_si128(next, escape)) != 0) {
        const __m128i runs = _mm_and_si128(
            next,
            _mm_and_si128(_mm_cmpeq_epi8(block, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2))),
                          _mm_cmpeq_epi8(block, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3)))));
        const auto stops = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(runs, escape)));
        if (stops != 0) return {done + static_cast<std::size_t>(std::countr_zero(stops)), true};
      }
    }
  }
#endif
  // (The wide scan leaves its last bytes to the caller, which looks at the
  // last nineteen bytes at once.)
  for (; !kWide && limit - done >= 8; done += 8) {
    const std::uint64_t word = loadWord(from + done);
    storeWord(to + done, word);
    // Text has few equal neighbours: a word without them (and without an
    // escape) holds no stop, and spares the full test.
    if ((firstZeroBytes(word ^ loadWord(from + done + 1)) | firstZeroBytes(word ^ kEscapeBytes)) != 0) {
      const std::uint64_t stops = outgoingStops(from + done, word);
      if (stops != 0) return {done + bytesBeforeFlag(stops), true};
    }
  }
  return {done, false};
}

// outgoingRun, sixteen bytes at a time where SSE2 is there.
template <bool kWide>
std::size_t outgoingRunOf(const char* source, std::size_t in, std::size_t length) {
#if LUMBRA_RUN_LENGTH_SSE2
  if constexpr (kWide) {
    const std::size_t most = length - in < kMaxOutgoingRun ? length - in : kMaxOutgoingRun;
    const __m128i copies = _mm_set1_epi8(source[in]);
    std::size_t run = 1;
    while (length - in - run >= 16) {
      const auto same = static_cast<unsigned>(_mm_movemask_epi8(
          _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source + in + run)), copies)));
      if (same != 0xFFFF) {
        run += static_cast<std::size_t>(std::countr_one(same));
        return run < most ? run : most;
      }
      run += 16;
      if (run >= most) return most;
    }
  }
#endif
  return outgoingRun(source, in, length);
}

// The row decoder's plain scan: up to the next escape (`sourceLeft` bytes
// left at `from`, `rowLeft` to fill at `to`), stores whole blocks while both
// have room for them.
template <bool kWide>
PlainScan scanIncomingPlain(const char* from, std::size_t sourceLeft, char* to, std::size_t rowLeft) {
  const std::size_t limit = sourceLeft < rowLeft ? sourceLeft : rowLeft;
  std::size_t done = 0;
#if LUMBRA_RUN_LENGTH_SSE2
  if constexpr (kWide) {
    const __m128i escapes = _mm_set1_epi8(kRunEscape);
    for (; limit - done >= 16; done += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + done));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + done), block);
      const auto stops = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, escapes)));
      if (stops != 0) return {done + static_cast<std::size_t>(std::countr_zero(stops)), true};
    }
    if (sourceLeft - done >= 16) {
      // The row's last bytes (fewer than sixteen), never a byte past it.
      const std::size_t last = rowLeft - done;
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + done));
      const auto stops =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, escapes))) | 1u << last;
      const auto plain = static_cast<std::size_t>(std::countr_zero(stops));
      copySmall(to + done, from + done, plain);
      return {done + plain, plain < last};
    }
  }
#endif
  for (; limit - done >= 8; done += 8) {
    const std::uint64_t word = loadWord(from + done);
    storeWord(to + done, word);
    const std::uint64_t escapes = firstZeroBytes(word ^ kEscapeBytes);
    if (escapes != 0) return {done + bytesBeforeFlag(escapes), true};
  }
  return {done, false};
}

template <bool kWide>
std::ptrdiff_t encodeOutgoing(char* destination, std::size_t capacity, const char* source,
                              std::size_t length) {
  std::size_t out = 0;
  std::size_t in = 0;
  for (;;) {
    // A batch entry is mostly plain text: it goes over a block at a time,
    // each block stored as it is scanned.
    const std::size_t sourceLeft = length - in >= 3 ? length - in - 3 : 0;
    const std::size_t limit = sourceLeft < capacity - out ? sourceLeft : capacity - out;
    const PlainScan scan = scanOutgoingPlain<kWide>(source + in, destination + out, limit);
    in += scan.plain;
    out += scan.plain;
    if (!scan.stopped) break;
    const char c = source[in];
    if (neverInRun(c)) {
      // Stored already: four of a byte that stands for itself.
      ++in;
      ++out;
      continue;
    }
    if (c == kRunEscape) {
      if (capacity - out < 2) return kRunLengthNoRoom;
      destination[out++] = kRunEscape;
      destination[out++] = kRunEscape;
      ++in;
      continue;
    }
    // Four or more copies of c start here.
    if (capacity - out < 3) return kRunLengthNoRoom;
    const std::size_t run = outgoingRunOf<kWide>(source, in, length);
    destination[out++] = kRunEscape;
    destination[out++] = kRunDigits[run - 1];
    destination[out++] = c;
    in += run;
  }
  // The last bytes: most often plain all through, which the last window and
  // the last word show; they then go over in two overlapping copies.
  const std::size_t rest = length - in;
#if LUMBRA_RUN_LENGTH_SSE2
  if constexpr (kWide) {
    if (rest > 0 && rest < 19 && length >= 19 && capacity - out >= rest) {
      // The last nineteen bytes as one block and its three followers, without
      // the bytes already written; the last three bytes cannot start a run,
      // only an escape stops them.
      const char* const p = source + length - 19;
      const std::size_t skipped = 19 - rest;
      const __m128i escape = _mm_set1_epi8(kRunEscape);
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i runs = _mm_and_si128(
          _mm_cmpeq_epi8(block, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1))),
          _mm_and_si128(_mm_cmpeq_epi8(block, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2))),
                        _mm_cmpeq_epi8(block, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3)))));
      const auto window =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(runs, _mm_cmpeq_epi8(block, escape))));
      // Bit i: byte length - 19 + i; then the last three bytes' escapes as bits 16..18.
      const auto last = static_cast<unsigned>(_mm_movemask_epi8(
          _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source + length - 16)), escape)));
      const unsigned stops = ((window | (last >> 13) << 16) >> skipped) | 1u << rest;
      const auto plain = static_cast<std::size_t>(std::countr_zero(stops));
      copySmall(destination + out, source + in, plain);
      in += plain;
      out += plain;
      if (in == length) return static_cast<std::ptrdiff_t>(out);
    }
  }
#endif
  if (!kWide && rest > 0 && rest < kOutgoingWindow && length >= kOutgoingWindow && capacity - out >= rest) {
    const std::size_t windowAt = length - kOutgoingWindow;
    const std::size_t skipped = in - windowAt;  // bytes of the window already written
    const std::uint64_t window =
        skipped >= 8 ? 0 : flagsFrom(outgoingStops(source + windowAt, loadWord(source + windowAt)), skipped);
    // The last three bytes cannot start a run; only an escape stops them.
    const std::uint64_t escapes =
        flagsFrom(zeroBytes(loadWord(source + length - 8) ^ kEscapeBytes), rest >= 8 ? 0 : 8 - rest);
    if ((window | escapes) == 0) {
      copySmall(destination + out, source + in, rest);
      return static_cast<std::ptrdiff_t>(out + rest);
    }
  }
  while (in < length) {
    if (!encodeOutgoingAt(destination, capacity, source, length, in, out)) return kRunLengthNoRoom;
  }
  return static_cast<std::ptrdiff_t>(out);
}

template <bool kWide>
std::ptrdiff_t decodeIncoming(const char* source, std::size_t sourceLength, char* row,
                              std::size_t rowLength) {
  std::size_t in = 0;
  std::size_t out = 0;
  while (out < rowLength) {
    const PlainScan scan =
        scanIncomingPlain<kWide>(source + in, sourceLength - in, row + out, rowLength - out);
    in += scan.plain;
    out += scan.plain;
    if (!scan.stopped) {
      if (out == rowLength) break;
      if (sourceLength - in >= 8) {
        // The row's last bytes (fewer than eight), never a byte past it.
        const std::size_t last = rowLength - out;
        const std::uint64_t found = firstZeroBytes(loadWord(source + in) ^ kEscapeBytes);
        const std::size_t plain = found == 0 ? 8 : bytesBeforeFlag(found);
        if (plain >= last) {
          copySmall(row + out, source + in, last);
          return static_cast<std::ptrdiff_t>(in + last);
        }
        copySmall(row + out, source + in, plain);
        in += plain;
        out += plain;
      } else {
        // The source's last bytes (fewer than eight), one at a time.
        while (in < sourceLength && out < rowLength && source[in] != kRunEscape) row[out++] = source[in++];
        if (out == rowLength) break;
        if (in == sourceLength) return kRunLengthTruncated;
      }
    }
    // source[in] is the escape.
    if (sourceLength - in < 2) return kRunLengthTruncated;
    if (source[in + 1] == kRunEscape) {
      row[out++] = kRunEscape;
      in += 2;
      continue;
    }
    if (sourceLength - in < 4) return kRunLengthTruncated;
    const int high = kDigitValues[static_cast<unsigned char>(source[in + 1])];
    const int low = kDigitValues[static_cast<unsigned char>(source[in + 2])];
    if ((high | low) < 0) return kRunLengthBadDigit;
    const std::size_t count = static_cast<std::size_t>(high * 36 + low);
    if (count > rowLength - out) return kRunLengthOverrun;
    const auto c = static_cast<unsigned char>(source[in + 3]);
    if (count <= 16 && rowLength - out >= 16) {
      // The usual run (blanks or zeros of a fixed-width value): two words
      // cover it, their bytes past it are written over by what follows.
      const std::uint64_t copies = 0x0101010101010101ull * c;
      storeWord(row + out, copies);
      storeWord(row + out + 8, copies);
    } else {
      fillRun(row, out, count, rowLength, c);
    }
    out += count;
    in += 4;
  }
  return static_cast<std::ptrdiff_t>(in);
}

}  // namespace

std::ptrdiff_t encodeOutgoingRunLength(char* destination, std::size_t capacity, const char* source,
                                       std::size_t length) {
  return encodeOutgoing<true>(destination, capacity, source, length);
}

std::ptrdiff_t decodeIncomingRunLength(const char* source, std::size_t sourceLength, char* row,
                                       std::size_t rowLength) {
  return decodeIncoming<true>(source, sourceLength, row, rowLength);
}

namespace detail {

std::ptrdiff_t encodeOutgoingRunLengthByWords(char* destination, std::size_t capacity, const char* source,
                                              std::size_t length) {
  return encodeOutgoing<false>(destination, capacity, source, length);
}

std::ptrdiff_t decodeIncomingRunLengthByWords(const char* source, std::size_t sourceLength, char* row,
                                              std::size_t rowLength) {
  return decodeIncoming<false>(source, sourceLength, row, rowLength);
}

}  // namespace detail

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
// five. Sixteen bytes at a time where SSE2 is there; then eight bytes at a
// time while no two neighbours are equal and no escape is among them (byte
// order does not matter to either test).
std::size_t plainStretch(const char* source, std::size_t length) {
  std::size_t at = 0;
#if LUMBRA_RUN_LENGTH_SSE2
  // Sixteen bytes at a time, each against the four after it: the first that
  // is an escape byte or begins five equal bytes is where the stretch ends.
  const __m128i escapes = _mm_set1_epi8(kRunEscape);
  for (; length - at >= 20; at += 16) {
    const char* const p = source + at;
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i next = _mm_cmpeq_epi8(block, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1)));
    const __m128i escape = _mm_cmpeq_epi8(block, escapes);
    if (_mm_movemask_epi8(_mm_or_si128(next, escape)) == 0) continue;
    const __m128i runs = _mm_and_si128(
        _mm_and_si128(next, _mm_cmpeq_epi8(block, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2)))),
        _mm_and_si128(_mm_cmpeq_epi8(block, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3))),
                      _mm_cmpeq_epi8(block, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4)))));
    const auto stops = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(runs, escape)));
    if (stops != 0) return at + static_cast<std::size_t>(std::countr_zero(stops));
  }
#endif
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
