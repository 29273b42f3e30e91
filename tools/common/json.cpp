// json.cpp -- JSON strings.
#include "tools/common/json.h"

#include <cstdio>

namespace tools {

std::string jsonString(std::string_view utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + '"';
}

}  // namespace tools
