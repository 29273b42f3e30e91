// Fuzz target: the run-length codecs in all four directions and the credential block.
//
// Byte 0 picks the check, byte 1 (and 2) a length; the rest is the source.
//   0  encodeOutgoingRunLength, then decodeOutgoingRunLength as the server decodes a
//      batch: the input comes back (up to its first NUL), and the encoded form
//      never runs " ' ( ) < = > or '@' itself.
//   1  decodeIncomingRunLength on any bytes into a row of exactly the given length.
//   2  encodeIncomingRunLength, then decodeIncomingRunLength: the input comes back.
//   3  decodeOutgoingRunLength on any bytes into exactly the given capacity.
//   4  unscrambleCredentials on any 110 bytes; a block it accepts scrambles back
//      to itself.
// Every buffer is a heap block of exactly its declared size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "protocol/credentials.h"
#include "protocol/run_length.h"
#include "protocol/wire.h"
#include "fuzz/scratch_dir.h"

namespace {

using fuzzing::check;

// A heap block of exactly n bytes (never null, even for 0: callers never pass null).
struct Block {
  explicit Block(std::size_t n) : bytes(new char[n]()), length(n) {}
  Block(const char* from, std::size_t n) : Block(n) {
    if (n > 0) std::memcpy(bytes.get(), from, n);
  }
  char* data() { return bytes.get(); }
  char& operator[](std::size_t i) { return bytes[i]; }
  std::size_t size() const { return length; }
  std::unique_ptr<char[]> bytes;
  std::size_t length;
};

void outgoingRoundTrip(const char* bytes, std::size_t size, std::size_t capacity) {
  std::string source(bytes, size);
  source.resize(std::strlen(source.c_str()));
  Block encoded(capacity);
  const std::ptrdiff_t n = lumbra::encodeOutgoingRunLength(encoded.data(), capacity, source.c_str());
  if (n == lumbra::kRunLengthNoRoom) return;
  check(n >= 0 && static_cast<std::size_t>(n) <= capacity, "encoded length outside the capacity");
  Block decoded(source.size());
  const std::ptrdiff_t m = lumbra::decodeOutgoingRunLength(encoded.data(), static_cast<std::size_t>(n),
                                                           decoded.data(), decoded.size());
  check(m == static_cast<std::ptrdiff_t>(source.size()), "outgoing form decodes to another length");
  check(source.empty() || std::memcmp(decoded.data(), source.data(), source.size()) == 0,
        "outgoing form decodes to other bytes");
  for (std::ptrdiff_t i = 0; i + 2 < n; ++i) {
    if (encoded[i] != '@') continue;
    if (encoded[i + 1] == '@') {
      ++i;
      continue;
    }
    check(std::strchr("\"'()<=>", encoded[i + 2]) == nullptr, "a run of a character that never runs");
    i += 2;
  }
}

void incomingRoundTrip(const char* bytes, std::size_t size) {
  Block encoded(lumbra::incomingRunLengthBound(size));
  const std::ptrdiff_t n = lumbra::encodeIncomingRunLength(bytes, size, encoded.data(), encoded.size());
  check(n >= 0, "incoming form does not fit its bound");
  Block row(size);
  const std::ptrdiff_t used =
      lumbra::decodeIncomingRunLength(encoded.data(), static_cast<std::size_t>(n), row.data(), size);
  check(used == n, "incoming form not consumed exactly");
  check(size == 0 || std::memcmp(row.data(), bytes, size) == 0, "incoming form decodes to other bytes");
}

void credentialBlock(const char* bytes, std::size_t size) {
  if (size < lumbra::kCredentialBlockLength) return;
  Block block(bytes, lumbra::kCredentialBlockLength);
  Block area(60);
  if (!lumbra::unscrambleCredentials(block.data(), block.size(), area.data())) return;
  Block again(lumbra::kCredentialBlockLength + 1);
  lumbra::scrambleCredentials(area.data(), again.data());
  check(std::memcmp(again.data(), block.data(), block.size()) == 0,
        "an accepted block does not scramble back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const int mode = data[0] % 5;
  const std::size_t length =
      static_cast<std::size_t>(data[1]) | (static_cast<std::size_t>(data[2] & 0x0F) << 8);
  const char* bytes = reinterpret_cast<const char*>(data + 3);
  size -= 3;
  Block source(bytes, size);  // exactly the source, on the heap
  switch (mode) {
    case 0:
      outgoingRoundTrip(source.data(), source.size(), length);
      break;
    case 1: {
      Block row(length);
      const std::ptrdiff_t used =
          lumbra::decodeIncomingRunLength(source.data(), source.size(), row.data(), length);
      check(used <= static_cast<std::ptrdiff_t>(source.size()), "decoding consumed more than the source");
      check(used >= 0 || used == lumbra::kRunLengthTruncated || used == lumbra::kRunLengthBadDigit ||
                used == lumbra::kRunLengthOverrun,
            "decoding gave an unknown result");
      break;
    }
    case 2:
      incomingRoundTrip(source.data(), source.size());
      break;
    case 3: {
      Block out(length);
      const std::ptrdiff_t n =
          lumbra::decodeOutgoingRunLength(source.data(), source.size(), out.data(), length);
      check(n <= static_cast<std::ptrdiff_t>(length), "decoded length passes the capacity");
      break;
    }
    case 4:
      credentialBlock(source.data(), source.size());
      break;
  }
  return 0;
}
