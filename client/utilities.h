// The data utilities: CRC-16, ASCII to EBCDIC in place, the prepared binary insert.
#pragma once

#include <cstdint>

namespace lumbra {

std::uint16_t crc16(const unsigned char* data, std::int32_t length);
void asciiToEbcdicText(char* text);
std::int32_t prepareBinaryInsert(std::int32_t handleArgument, char* command, const void* data,
                                 std::int32_t lengthArgument);

}  // namespace lumbra
