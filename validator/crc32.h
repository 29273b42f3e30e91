// crc32.h -- CRC-32 (reflected polynomial 0xEDB88320, the CRC of zlib and PKZIP) with continuation.
#pragma once

#include <cstdint>

namespace tabrel {

// The CRC-32 of `length` bytes at `data`, continued from *running when given.
// *running holds a finished CRC (0 for no bytes yet), so a series of calls with
// one running value yields the CRC of all their data taken together.
//  - length 0: returns 0 at once; *running is neither read nor written.
//  - data null: returns *running (0 without one); *running is not written.
//  - otherwise: stores the new CRC into *running (when given) and returns it.
std::uint32_t crc32Update(const void* data, std::uint32_t length, std::uint32_t* running) noexcept;

// Entry `index` of the standard 256-entry table (entry 1 is 0x77073096).
std::uint32_t crc32TableEntry(unsigned index) noexcept;

// Multiplier that moves a CRC over `length` further bytes: see crc32Combine.
std::uint32_t crc32Shift(std::uint64_t length) noexcept;

// The CRC of A followed by B from crcA, crcB and the shift of B's length
// (crc32Shift(length of B)), without touching the bytes again.
std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint32_t shiftB) noexcept;

}  // namespace tabrel
