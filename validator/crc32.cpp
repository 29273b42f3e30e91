// crc32.cpp -- CRC-32 with continuation: table-driven, eight bytes per step, carry-less multiply
// folding where the processor has it, and combination of two CRCs.
#include "validator/crc32.h"

#include <array>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#  define TABREL_CRC_FOLDING 1
#  include <immintrin.h>
#endif

namespace tabrel {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// kTables[0] is the standard byte table; kTables[k][n] is the CRC register of
// byte n followed by k zero bytes, so eight bytes are folded with eight look-ups.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables makeTables() {
  CrcTables t{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][n] = c;
  }
  for (std::size_t n = 0; n < 256; ++n)
    for (std::size_t k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFFu];
  return t;
}

constexpr CrcTables kTables = makeTables();
static_assert(kTables[0][1] == 0x77073096u);
static_assert(kTables[0][128] == 0xEDB88320u);
static_assert(kTables[0][255] == 0x2D02EF8Du);

std::uint32_t loadLittleEndian32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

std::uint32_t updateRegister(std::uint32_t reg, const unsigned char* p, std::uint32_t length) {
  while (length >= 8) {
    const std::uint32_t lo = reg ^ loadLittleEndian32(p);
    const std::uint32_t hi = loadLittleEndian32(p + 4);
    reg = kTables[7][lo & 0xFFu] ^ kTables[6][(lo >> 8) & 0xFFu] ^ kTables[5][(lo >> 16) & 0xFFu] ^
          kTables[4][lo >> 24] ^ kTables[3][hi & 0xFFu] ^ kTables[2][(hi >> 8) & 0xFFu] ^
          kTables[1][(hi >> 16) & 0xFFu] ^ kTables[0][hi >> 24];
    p += 8;
    length -= 8;
  }
  if (length >= 4) {
    const std::uint32_t w = reg ^ loadLittleEndian32(p);
    reg = kTables[3][w & 0xFFu] ^ kTables[2][(w >> 8) & 0xFFu] ^ kTables[1][(w >> 16) & 0xFFu] ^
          kTables[0][w >> 24];
    p += 4;
    length -= 4;
  }
  while (length-- > 0) reg = (reg >> 8) ^ kTables[0][(reg ^ *p++) & 0xFFu];
  return reg;
}

#if defined(TABREL_CRC_FOLDING)
// Folding with carry-less multiplication: four 128-bit lanes are carried
// forward 64 bytes at a time, folded into one, then reduced to 32 bits
// (Barrett). The constants are powers of x modulo P, bit-reflected:
// x^(4*128+32) and x^(4*128-32), x^(128+32) and x^(128-32), x^64, then P
// and the Barrett quotient floor(x^64 / P).
#  define TABREL_FOLDING_TARGET __attribute__((target("pclmul,sse2")))

TABREL_FOLDING_TARGET inline __m128i load(const unsigned char* q) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// acc carried 128 bits further (k3k4) and the next 16 bytes added.
TABREL_FOLDING_TARGET inline __m128i foldInto(__m128i acc, __m128i next, __m128i k3k4) {
  const __m128i lo = _mm_clmulepi64_si128(acc, k3k4, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(acc, k3k4, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// `reg` is the raw register; `length` is a multiple of 16, at least 64.
TABREL_FOLDING_TARGET std::uint32_t foldRegister(std::uint32_t reg, const unsigned char* p,
                                                 std::size_t length) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596LL, 0x0154442bd4LL);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009eLL, 0x01751997d0LL);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124LL);
  const __m128i poly = _mm_set_epi64x(0x01f7011641LL, 0x01db710641LL);
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x2 = load(p + 16);
  __m128i x3 = load(p + 32);
  __m128i x4 = load(p + 48);
  p += 64;
  length -= 64;
  while (length >= 64) {
    const __m128i x5 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
    const __m128i x6 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
    const __m128i x7 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
    const __m128i x8 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
    x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k1k2, 0x11), x5), load(p));
    x2 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x2, k1k2, 0x11), x6), load(p + 16));
    x3 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x3, k1k2, 0x11), x7), load(p + 32));
    x4 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x4, k1k2, 0x11), x8), load(p + 48));
    p += 64;
    length -= 64;
  }
  x1 = foldInto(x1, x2, k3k4);
  x1 = foldInto(x1, x3, k3k4);
  x1 = foldInto(x1, x4, k3k4);
  while (length >= 16) {
    x1 = foldInto(x1, load(p), k3k4);
    p += 16;
    length -= 16;
  }
  // 128 bits to 64.
  __m128i t = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
  t = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), t);
  // Barrett reduction to 32 bits.
  t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

bool detectFolding() { return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2"); }

bool canFold() {
  static const bool able = detectFolding();
  return able;
}

// The 63-bit carry-less product of a and b, shifted left by one so that, read
// as 64 reflected bits, bit 63 holds x^0.
TABREL_FOLDING_TARGET std::uint64_t productFolding(std::uint32_t a, std::uint32_t b) {
  const __m128i p = _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(a)),
                                         _mm_cvtsi32_si128(static_cast<int>(b)), 0x00);
  const std::uint64_t lo = static_cast<std::uint32_t>(_mm_cvtsi128_si32(p));
  const std::uint64_t hi = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(p, 4)));
  return (hi << 32 | lo) << 1;
}
#endif

// The same product without the instruction, one bit of a at a time.
std::uint64_t productPortable(std::uint32_t a, std::uint32_t b) {
  std::uint64_t product = 0;
  for (unsigned bit = 0; bit < 32; ++bit)
    product ^= (std::uint64_t(b) << bit) & (0 - std::uint64_t((a >> bit) & 1u));
  return product << 1;
}

// Polynomials modulo P in the reflected form (x^0 in bit 31): a times b, for
// the tables built at compile time.
constexpr std::uint32_t multiplyModP(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if (a & m) product ^= b;
    b = (b & 1u) ? (b >> 1) ^ kPolynomial : b >> 1;
  }
  return product;
}

// kPowers[k] = x^(2^k) modulo P.
constexpr std::array<std::uint32_t, 64> makePowers() {
  std::array<std::uint32_t, 64> p{};
  p[0] = 1u << 30;  // x^1
  for (std::size_t k = 1; k < p.size(); ++k) p[k] = multiplyModP(p[k - 1], p[k - 1]);
  return p;
}

constexpr std::array<std::uint32_t, 64> kPowers = makePowers();

// a times b modulo P at run time: the 64-bit carry-less product's high half
// is x^0..x^31 as it stands, its low half x^32..x^63, brought below x^32 by
// four zero bytes through the tables.
std::uint32_t multiply(std::uint32_t a, std::uint32_t b) {
#if defined(TABREL_CRC_FOLDING)
  const std::uint64_t product = canFold() ? productFolding(a, b) : productPortable(a, b);
#else
  const std::uint64_t product = productPortable(a, b);
#endif
  const std::uint32_t low = static_cast<std::uint32_t>(product);
  return static_cast<std::uint32_t>(product >> 32) ^ kTables[3][low & 0xFFu] ^
         kTables[2][(low >> 8) & 0xFFu] ^ kTables[1][(low >> 16) & 0xFFu] ^ kTables[0][low >> 24];
}

}  // namespace

std::uint32_t crc32Update(const void* data, std::uint32_t length, std::uint32_t* running) noexcept {
  if (length == 0) return 0;
  const std::uint32_t reg = running ? ~*running : 0xFFFFFFFFu;
  if (data == nullptr) return ~reg;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  std::uint32_t folded = reg;
#if defined(TABREL_CRC_FOLDING)
  if (length >= 64 && canFold()) {
    const std::uint32_t blocks = length & ~15u;
    folded = foldRegister(reg, bytes, blocks);
    bytes += blocks;
    length -= blocks;
  }
#endif
  const std::uint32_t crc = ~updateRegister(folded, bytes, length);
  if (running) *running = crc;
  return crc;
}

std::uint32_t crc32TableEntry(unsigned index) noexcept { return kTables[0][index & 0xFFu]; }

std::uint32_t crc32Shift(std::uint64_t length) noexcept {
  // x^(8 * length) modulo P, from the powers x^(2^k) with k >= 3.
  std::uint32_t result = 1u << 31;  // x^0
  for (std::size_t k = 3; length != 0 && k < kPowers.size(); ++k, length >>= 1)
    if (length & 1u) result = multiply(kPowers[k], result);
  return result;
}

std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint32_t shiftB) noexcept {
  return multiply(shiftB, crcA) ^ crcB;
}

}  // namespace tabrel
