// crc32_test.cpp -- CRC-32 check values, continuation, and the combination used by the running CRC.
#include "validator/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tabrel {
namespace {

std::uint32_t crcOf(const std::string& s) {
  return crc32Update(s.data(), static_cast<std::uint32_t>(s.size()), nullptr);
}

TEST(Crc32, PublishedCheckValuesAndTable) {
  EXPECT_EQ(crcOf("123456789"), 0xCBF43926u);
  EXPECT_EQ(crcOf("abc"), 891568578u);
  EXPECT_EQ(crcOf("DT"), 3117026579u);
  EXPECT_EQ(crcOf("DT3117026579"), 4186146210u);
  EXPECT_EQ(crcOf("ABCDEFGH.XYZSYS4186146210"), 3993786283u);
  EXPECT_EQ(crc32TableEntry(1), 0x77073096u);
  EXPECT_EQ(crc32TableEntry(128), 0xEDB88320u);
  EXPECT_EQ(crc32TableEntry(255), 0x2D02EF8Du);
}

TEST(Crc32, ContinuationEqualsOnePass) {
  // Lengths around the eight-byte steps, split at every place.
  std::string data;
  for (int i = 0; i < 67; ++i) data.push_back(static_cast<char>(i * 37 + 11));
  const std::uint32_t whole = crcOf(data);
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    std::uint32_t running = 0;
    crc32Update(data.data(), static_cast<std::uint32_t>(cut), &running);
    const std::uint32_t result =
        crc32Update(data.data() + cut, static_cast<std::uint32_t>(data.size() - cut), &running);
    EXPECT_EQ(running, whole) << "cut at " << cut;
    if (cut < data.size()) {
      EXPECT_EQ(result, whole) << "cut at " << cut;
    }
  }
}

// One bit at a time, straight from the polynomial: the reference for every faster path.
std::uint32_t bitwiseCrc(const unsigned char* p, std::size_t n, std::uint32_t crc) {
  std::uint32_t reg = ~crc;
  for (std::size_t i = 0; i < n; ++i) {
    reg ^= p[i];
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
  }
  return ~reg;
}

TEST(Crc32, EveryLengthAndAlignmentAgreesWithTheBitwiseReference) {
  std::string data(1200, '\0');
  std::uint32_t seed = 12345;
  for (char& c : data) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  for (std::size_t start = 0; start < 17; ++start)
    for (std::size_t length = 0; length + start <= 1100; length += (length < 300 ? 1 : 37)) {
      std::uint32_t running = 0x5A5A5A5Au;
      crc32Update(bytes + start, static_cast<std::uint32_t>(length), &running);
      const std::uint32_t expected = length ? bitwiseCrc(bytes + start, length, 0x5A5A5A5Au) : 0x5A5A5A5Au;
      ASSERT_EQ(running, expected) << "start " << start << " length " << length;
    }
}

TEST(Crc32, LengthZeroAndNullData) {
  std::uint32_t running = 0x12345678u;
  EXPECT_EQ(crc32Update("abc", 0, &running), 0u);
  EXPECT_EQ(running, 0x12345678u);
  EXPECT_EQ(crc32Update(nullptr, 5, &running), 0x12345678u);
  EXPECT_EQ(running, 0x12345678u);
  EXPECT_EQ(crc32Update(nullptr, 5, nullptr), 0u);
}

TEST(Crc32, CombineMatchesConcatenation) {
  const std::string a = "SYS4186146210 header and then some";
  for (std::size_t length : {0u, 1u, 7u, 8u, 9u, 190u, 2020u}) {
    std::string b(length, '\0');
    for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<char>('A' + i % 26);
    EXPECT_EQ(crc32Combine(crcOf(a), crcOf(b), crc32Shift(length)), crcOf(a + b)) << length;
    EXPECT_EQ(crc32Combine(0, crcOf(b), crc32Shift(length)), crcOf(b)) << length;
  }
}

}  // namespace
}  // namespace tabrel
