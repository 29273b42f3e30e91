// text.cpp -- Windows-1252 to UTF-8.
#include "tools/tabrel/text.h"

#include "tools/common/cp1252.h"

namespace tabrel::tool {

std::string windows1252ToUtf8(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (unsigned char b : bytes) {
    const char32_t cp = tools::windows1252CodePoint(b);
    tools::appendUtf8(out, cp != 0 ? cp : 0xFFFD);
  }
  return out;
}

}  // namespace tabrel::tool
