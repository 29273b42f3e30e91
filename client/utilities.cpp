// LBCRC (CRC-16/XMODEM), LBAsciiToEbcdic and LBInsertBin.
#include "client/utilities.h"

#include <array>
#include <cstring>

#include "protocol/ebcdic.h"
#include "client/session.h"
#include "protocol/wire.h"

namespace lumbra {
namespace {

constexpr std::uint16_t kCrcPolynomial = 0x1021;
constexpr std::size_t kMinimumPrefix = 7;
constexpr std::int64_t kBinaryOverhead = 12;  // clause, closing quote, terminator, one spare

// The eight bit steps of the CRC for each value of the byte shifted out of its
// top, made once at compile time: one look-up per data byte replaces them.
constexpr std::array<std::uint16_t, 256> makeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned value = 0; value < table.size(); ++value) {
    auto crc = static_cast<std::uint16_t>(value << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ kCrcPolynomial)
                           : static_cast<std::uint16_t>(crc << 1);
    }
    table[value] = crc;
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = makeCrcTable();

}  // namespace

std::uint16_t crc16(const unsigned char* data, std::int32_t length) {
  std::uint16_t crc = 0;
  for (std::int32_t i = 0; i < length; ++i) {
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
  }
  return crc;
}

void asciiToEbcdicText(char* text) {
  for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p != '\0'; ++p) *p = asciiToEbcdic(*p);
}

std::int32_t prepareBinaryInsert(std::int32_t handleArgument, char* command, const void* data,
                                 std::int32_t lengthArgument) {
  Session* session = nullptr;
  if (const std::int32_t rc = checkHandle(handleArgument, &session); rc != 0) return rc;
  const std::int32_t length = static_cast<std::int16_t>(static_cast<std::uint16_t>(lengthArgument & 0xFFFF));
  if (command == nullptr || length < 0 || (data == nullptr && length > 0)) return LB_INVALID_PARAMETERS;
  char* const lastEquals = std::strrchr(command, '=');
  if (lastEquals == nullptr) return LB_SEND_FAILED;
  const std::size_t prefix = static_cast<std::size_t>(lastEquals - command);
  if (static_cast<std::int64_t>(prefix) + length + kBinaryOverhead >
      static_cast<std::int64_t>(session->bufferSize) - kBufferSlack) {
    return LB_COMMAND_TOO_LONG;
  }
  if (prefix < kMinimumPrefix) return LB_SEND_FAILED;

  char clause[kLengthClauseLength + 1];
  formatLengthClause(static_cast<int>(length), clause);
  std::memcpy(lastEquals, clause, kLengthClauseLength + 1);
  const std::size_t m = prefix + kLengthClauseLength;
  asciiToEbcdicText(command);
  if (length > 0) std::memcpy(command + m, data, static_cast<std::size_t>(length));
  command[m + static_cast<std::size_t>(length)] = static_cast<char>(kEbcdicApostrophe);
  command[m + static_cast<std::size_t>(length) + 1] = '\0';
  session->binaryLength = static_cast<std::int32_t>(m) + length + 1;
  return 0;
}

}  // namespace lumbra
