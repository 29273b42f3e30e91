// text.h -- Windows-1252 to UTF-8, for showing the error log on a terminal.
#pragma once

#include <string>

namespace tabrel::tool {

// Every byte as its Windows-1252 character in UTF-8; the five bytes that code
// page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) become U+FFFD.
std::string windows1252ToUtf8(const std::string& bytes);

}  // namespace tabrel::tool
