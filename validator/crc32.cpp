// crc32.cpp -- CRC-32 with continuation: table-driven, eight bytes per step, and combination of two CRCs.
#include "validator/crc32.h"

#include <array>
#include <cstring>

namespace tabrel {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// kTables[0] is the standard byte table; kTables[k][n] is the CRC register of
// byte n followed by k zero bytes, so eight bytes are folded with eight look-ups.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables makeTables()
{
    CrcTables t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
        t[0][n] = c;
    }
    for (std::size_t n = 0; n < 256; ++n)
        for (std::size_t k = 1; k < 8; ++k)
            t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFFu];
    return t;
}

constexpr CrcTables kTables = makeTables();
static_assert(kTables[0][1] == 0x77073096u);
static_assert(kTables[0][128] == 0xEDB88320u);
static_assert(kTables[0][255] == 0x2D02EF8Du);

std::uint32_t loadLittleEndian32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::uint32_t updateRegister(std::uint32_t reg, const unsigned char* p, std::uint32_t length)
{
    while (length >= 8) {
        const std::uint32_t lo = reg ^ loadLittleEndian32(p);
        const std::uint32_t hi = loadLittleEndian32(p + 4);
        reg = kTables[7][lo & 0xFFu] ^ kTables[6][(lo >> 8) & 0xFFu] ^
              kTables[5][(lo >> 16) & 0xFFu] ^ kTables[4][lo >> 24] ^
              kTables[3][hi & 0xFFu] ^ kTables[2][(hi >> 8) & 0xFFu] ^
              kTables[1][(hi >> 16) & 0xFFu] ^ kTables[0][hi >> 24];
        p += 8;
        length -= 8;
    }
    while (length-- > 0)
        reg = (reg >> 8) ^ kTables[0][(reg ^ *p++) & 0xFFu];
    return reg;
}

// Polynomials modulo P in the reflected form (x^0 in bit 31): a times b.
constexpr std::uint32_t multiplyModP(std::uint32_t a, std::uint32_t b)
{
    std::uint32_t product = 0;
    for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
        if (a & m)
            product ^= b;
        b = (b & 1u) ? (b >> 1) ^ kPolynomial : b >> 1;
    }
    return product;
}

// kPowers[k] = x^(2^k) modulo P.
constexpr std::array<std::uint32_t, 64> makePowers()
{
    std::array<std::uint32_t, 64> p{};
    p[0] = 1u << 30;  // x^1
    for (std::size_t k = 1; k < p.size(); ++k)
        p[k] = multiplyModP(p[k - 1], p[k - 1]);
    return p;
}

constexpr std::array<std::uint32_t, 64> kPowers = makePowers();

}  // namespace

std::uint32_t crc32Update(const void* data, std::uint32_t length, std::uint32_t* running) noexcept
{
    if (length == 0)
        return 0;
    const std::uint32_t reg = running ? ~*running : 0xFFFFFFFFu;
    if (data == nullptr)
        return ~reg;
    const std::uint32_t crc = ~updateRegister(reg, static_cast<const unsigned char*>(data), length);
    if (running)
        *running = crc;
    return crc;
}

std::uint32_t crc32TableEntry(unsigned index) noexcept
{
    return kTables[0][index & 0xFFu];
}

std::uint32_t crc32Shift(std::uint64_t length) noexcept
{
    // x^(8 * length) modulo P, from the powers x^(2^k) with k >= 3.
    std::uint32_t result = 1u << 31;  // x^0
    for (std::size_t k = 3; length != 0 && k < kPowers.size(); ++k, length >>= 1)
        if (length & 1u)
            result = multiplyModP(kPowers[k], result);
    return result;
}

std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint32_t shiftB) noexcept
{
    return multiplyModP(shiftB, crcA) ^ crcB;
}

}  // namespace tabrel
