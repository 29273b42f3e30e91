// Small text helpers of the session's handlers.
#include "server/session_text.h"

#include <cstdio>
#include <cstdlib>

namespace lumbra::server {

bool startsWithWord(std::string_view text, std::string_view word) {
  return text.starts_with(word) && (text.size() == word.size() || text[word.size()] == ' ');
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == ';')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool onlyBlanks(const char* text) {
  for (; text != nullptr && *text != '\0'; ++text) {
    if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r' && *text != ';') {
      return false;
    }
  }
  return true;
}

std::string dottedAddress(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%03u.%03u.%03u.%03u", (address >> 24) & 255, (address >> 16) & 255,
                (address >> 8) & 255, address & 255);
  return text;
}

bool readNumber(std::string_view text, long long& value) {
  std::string digits{trim(text)};
  if (digits.empty() || digits.size() > 12) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  value = std::atoll(digits.c_str());
  return true;
}

}  // namespace lumbra::server
