// The two ASCII-to-EBCDIC tables and the inverse conversion.
#include "protocol/ebcdic.h"

#include <array>

namespace lumbra {
namespace {

// Code page 037 for the printable ASCII range 0x20..0x7E.
constexpr unsigned char kCodePage037Printable[95] = {
    0x40, 0x5A, 0x7F, 0x7B, 0x5B, 0x6C, 0x50, 0x7D, 0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60, 0x4B, 0x61,  // 20-2F
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0x7A, 0x5E, 0x4C, 0x7E, 0x6E, 0x6F,  // 30-3F
    0x7C, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6,  // 40-4F
    0xD7, 0xD8, 0xD9, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xBA, 0xE0, 0xBB, 0xB0, 0x6D,  // 50-5F
    0x79, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96,  // 60-6F
    0x97, 0x98, 0x99, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xC0, 0x4F, 0xD0, 0xA1,        // 70-7E
};

constexpr unsigned char kEbcdicBlank = 0x40;

constexpr bool isDeviation(int c) {
  return c < 0x20 || c == 0x7F || (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

constexpr std::array<unsigned char, 128> buildFullTable() {
  std::array<unsigned char, 128> t{};
  for (int c = 0; c < 128; ++c) t[c] = isDeviation(c) ? kEbcdicBlank : kCodePage037Printable[c - 0x20];
  return t;
}

constexpr std::array<unsigned char, 128> buildUpperTable() {
  std::array<unsigned char, 128> t{};
  for (int c = 0; c < 128; ++c)
    t[c] = (c >= 0x20 && c <= 0x5A) ? kCodePage037Printable[c - 0x20] : kEbcdicBlank;
  return t;
}

constexpr std::array<short, 256> buildInverse() {
  std::array<short, 256> inv{};
  for (auto& v : inv) v = -1;
  constexpr auto full = buildFullTable();
  for (int c = 127; c >= 0; --c) {
    if (!isDeviation(c)) inv[full[c]] = static_cast<short>(c);
  }
  inv[kEbcdicBlank] = 0x20;
  return inv;
}

constexpr auto kFull = buildFullTable();
constexpr auto kUpper = buildUpperTable();
constexpr auto kInverse = buildInverse();

}  // namespace

const std::array<unsigned char, 128> AsciiToEbcdicTable = kFull;
const std::array<unsigned char, 128> UpperEbcdicTable = kUpper;

unsigned char asciiToEbcdic(unsigned char ascii) { return ascii < 128 ? kFull[ascii] : kEbcdicBlank; }

int ebcdicToAscii(unsigned char ebcdic) { return kInverse[ebcdic]; }

bool ebcdicToAsciiText(const unsigned char* in, std::size_t length, char* out) {
  for (std::size_t i = 0; i < length; ++i) {
    const int c = kInverse[in[i]];
    if (c < 0) return false;
    out[i] = static_cast<char>(c);
  }
  return true;
}

}  // namespace lumbra
