// json.h -- JSON text for the tools' machine-readable output.
#pragma once

#include <string>
#include <string_view>

namespace tools {

// A JSON string of UTF-8 text: quotes and backslashes escaped, control
// characters as \u00XX, everything else as it is.
std::string jsonString(std::string_view utf8);

}  // namespace tools
