// Small text helpers of the session's handlers: words, trimming, upper case, numbers, addresses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumbra::server {

// Whether `text` begins with `word` followed by a blank or the end.
bool startsWithWord(std::string_view text, std::string_view word);

// `text` without blanks and tabs in front, nor blanks, tabs and ';' behind.
std::string_view trim(std::string_view text);

// `text` with its ASCII letters in upper case.
std::string upper(std::string_view text);

// Whether the NUL-terminated `text` (or a null one) holds only blanks, line ends and ';'.
bool onlyBlanks(const char* text);

// The IPv4 `address` (host byte order) as "ddd.ddd.ddd.ddd".
std::string dottedAddress(std::uint32_t address);

// Reads a decimal setting value; false when it is not a plain number.
bool readNumber(std::string_view text, long long& value);

}  // namespace lumbra::server
