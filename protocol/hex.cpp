// Hexadecimal digits: the writer and its readers.
#include "protocol/hex.h"

namespace lumbra {

std::string hexText(const unsigned char* bytes, std::size_t length, bool upper) {
  std::string text;
  text.reserve(2 * length);
  for (std::size_t i = 0; i < length; ++i) {
    text.push_back(hexDigit(bytes[i] >> 4, upper));
    text.push_back(hexDigit(bytes[i], upper));
  }
  return text;
}

int hexDigitValue(char c) {
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return upperHexDigitValue(c);
}

int upperHexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int hexPairValue(char first, char second) {
  const int high = hexDigitValue(first);
  const int low = hexDigitValue(second);
  return high < 0 || low < 0 ? -1 : 16 * high + low;
}

bool readHexText(std::string_view text, unsigned char* out) {
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int byte = hexPairValue(text[i], text[i + 1]);
    if (byte < 0) return false;
    out[i / 2] = static_cast<unsigned char>(byte);
  }
  return true;
}

}  // namespace lumbra
