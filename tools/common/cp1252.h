// cp1252.h -- Windows-1252 characters for the terminal: the code point of each
// byte and its UTF-8 form. The libraries' texts are in that code page; the
// tools show them in UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tools {

// The Unicode code point of a Windows-1252 byte; 0 for the five bytes the code
// page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D).
char32_t windows1252CodePoint(unsigned char byte);

// Appends the UTF-8 form of a code point of the Basic Multilingual Plane.
void appendUtf8(std::string& out, char32_t codePoint);

// Every byte as its Windows-1252 character in UTF-8; the five undefined bytes as U+FFFD.
std::string windows1252ToUtf8(std::string_view bytes);

// Terminal text (UTF-8) in Windows-1252. A text that is not UTF-8 at all goes
// as it is (it is taken to be Windows-1252 already); a character the code page
// lacks gives nothing and an `error` that names it.
std::optional<std::string> utf8ToWindows1252(std::string_view text, std::string& error);

}  // namespace tools
