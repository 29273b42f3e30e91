// hex.h -- hexadecimal digits, written and read: the credential block's digits,
// the client address of the login reply (",NN="), and the hex texts of the
// server and the tools.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumbra {

inline constexpr char kUpperHexDigits[] = "0123456789ABCDEF";
inline constexpr char kLowerHexDigits[] = "0123456789abcdef";

// The digit of a value 0..15, upper or lower case.
inline char hexDigit(unsigned value, bool upper = true) {
  return (upper ? kUpperHexDigits : kLowerHexDigits)[value & 0x0F];
}

// Two digits per byte, most significant first.
std::string hexText(const unsigned char* bytes, std::size_t length, bool upper = true);

// The value of one hexadecimal digit of either case, or -1.
int hexDigitValue(char c);

// The value of one upper-case hexadecimal digit, or -1.
int upperHexDigitValue(char c);

// The byte two hexadecimal digits of either case write, or -1 when one is not a digit.
int hexPairValue(char first, char second);

// The bytes of a text of hexadecimal digit pairs (either case) into `out`
// (`text.size() / 2` bytes); false, with `out` partly written, when the
// length is odd or a character is not a digit.
bool readHexText(std::string_view text, unsigned char* out);

}  // namespace lumbra
