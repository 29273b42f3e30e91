// The credential permutation and the scrambling of the login's credential block.
#include "protocol/credentials.h"

#include <cstdint>

#include "protocol/ebcdic.h"
#include "protocol/hex.h"
#include "protocol/wire.h"

namespace lumbra {
namespace {

constexpr std::size_t kIntermediateLength = kPermutationLength;                          // 11 + 98
constexpr std::size_t kCredentialChars = kCredentialAreaLength - kIdentificationLength;  // 49

// Seed and multiplier of the generator that shuffles positions 1..109.
constexpr std::uint32_t kPermutationSeed = 0x4C42u * 2654435761u;
constexpr std::uint32_t kGeneratorMultiplier = 1664525u;
constexpr std::uint32_t kGeneratorIncrement = 1013904223u;

std::array<unsigned char, kPermutationLength> buildPermutation() {
  std::array<unsigned char, kPermutationLength> p{};
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<unsigned char>(i + 1);
  std::uint32_t state = kPermutationSeed;
  for (std::size_t i = p.size() - 1; i > 0; --i) {
    state = state * kGeneratorMultiplier + kGeneratorIncrement;
    const std::size_t j = (state >> 8) % (i + 1);
    const unsigned char t = p[i];
    p[i] = p[j];
    p[j] = t;
  }
  return p;
}

// The ASCII character that UpperEbcdicTable maps to `code` (0x40 is a blank), or -1.
int upperEbcdicToAscii(unsigned char code) {
  if (code == 0x40) return ' ';
  for (int c = 0x20; c <= 0x5A; ++c) {
    if (UpperEbcdicTable[c] == code) return c;
  }
  return -1;
}

}  // namespace

const std::array<unsigned char, kPermutationLength>& credentialPermutation() {
  static const std::array<unsigned char, kPermutationLength> permutation = buildPermutation();
  return permutation;
}

void scrambleCredentials(const char* area, char* block) {
  char intermediate[kIntermediateLength];
  for (std::size_t i = 0; i < kIdentificationLength; ++i) intermediate[i] = area[i];
  for (std::size_t i = 0; i < kCredentialChars; ++i) {
    unsigned char c = static_cast<unsigned char>(area[kIdentificationLength + i]);
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    const unsigned char code = c < 128 ? UpperEbcdicTable[c] : 0x40;
    intermediate[kIdentificationLength + 2 * i] = hexDigit(code >> 4);
    intermediate[kIdentificationLength + 2 * i + 1] = hexDigit(code);
  }
  const auto& permutation = credentialPermutation();
  block[0] = '0';
  for (std::size_t i = 0; i < kIntermediateLength; ++i) block[permutation[i]] = intermediate[i];
  block[kCredentialBlockLength] = '\0';
}

bool unscrambleCredentials(const char* block, std::size_t length, char* area) {
  if (length != kCredentialBlockLength || block[0] != '0') return false;
  const auto& permutation = credentialPermutation();
  char intermediate[kIntermediateLength];
  for (std::size_t i = 0; i < kIntermediateLength; ++i) intermediate[i] = block[permutation[i]];
  for (std::size_t i = 0; i < kIdentificationLength; ++i) area[i] = intermediate[i];
  for (std::size_t i = 0; i < kCredentialChars; ++i) {
    const int high = upperHexDigitValue(intermediate[kIdentificationLength + 2 * i]);
    const int low = upperHexDigitValue(intermediate[kIdentificationLength + 2 * i + 1]);
    if (high < 0 || low < 0) return false;
    const int c = upperEbcdicToAscii(static_cast<unsigned char>(high * 16 + low));
    if (c < 0) return false;
    area[kIdentificationLength + i] = static_cast<char>(c);
  }
  return true;
}

}  // namespace lumbra
