// cp1252.cpp -- Windows-1252 code points and their UTF-8 form.
#include "tools/common/cp1252.h"

#include <array>
#include <cstdio>

namespace tools {
namespace {

// Code points of 0x80 to 0x9F, where the code page differs from Latin-1.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

char32_t windows1252CodePoint(unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0) return kHighControls[byte - 0x80];
  return byte;
}

void appendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

std::optional<std::string> utf8ToWindows1252(std::string_view text, std::string& error) {
  std::string out;
  std::string missing;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    const std::size_t length = lead >= 0xF0 && lead < 0xF5   ? 4
                               : lead >= 0xE0                ? 3
                               : lead >= 0xC2 && lead < 0xE0 ? 2
                                                             : 0;
    if (length == 0 || lead >= 0xF5 || i + length > text.size()) return std::string(text);
    char32_t cp = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::string(text);
      cp = (cp << 6) | (next & 0x3F);
    }
    const char32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::string(text);
    int byte = -1;
    for (int b = 0x80; b <= 0xFF && byte < 0; ++b) {
      if (windows1252CodePoint(static_cast<unsigned char>(b)) == cp) byte = b;
    }
    if (byte < 0 && missing.empty()) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
      missing = "\"" + std::string(text.substr(i, length)) + "\" (" + code + ") has no Windows-1252 form";
    }
    out += static_cast<char>(byte);
    i += length;
  }
  if (!missing.empty()) {
    error = missing;
    return std::nullopt;
  }
  return out;
}

std::string windows1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const char32_t cp = windows1252CodePoint(static_cast<unsigned char>(c));
    appendUtf8(out, cp == 0 && c != 0 ? 0xFFFD : cp);
  }
  return out;
}

}  // namespace tools
