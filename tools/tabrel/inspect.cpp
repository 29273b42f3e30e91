// inspect.cpp -- line ends, the name field and the declaration CRC of an input file.
#include "tools/tabrel/inspect.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "validator/record.h"
#include "validator/validation.h"

namespace tabrel::tool {

LineEnds countLineEnds(const std::string& bytes) {
  LineEnds ends;
  std::size_t line = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\n') continue;
    ++line;
    if (i > 0 && bytes[i - 1] == '\r') {
      ++ends.crLf;
    } else {
      if (ends.lfAlone++ == 0) ends.firstLfAlone = line;
    }
  }
  return ends;
}

std::string nameFieldOf(const std::string& path) {
  NameArea area;
  buildNameField(splitPath(path.c_str()), area);
  const void* nul = std::memchr(area, '\0', kNameFieldLength);
  const std::size_t length =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - area) : kNameFieldLength;
  return std::string(area, length);
}

std::string fileNamePart(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool declarationCrcOf(const std::string& path, const std::string& declarationTrailerTag, std::uint32_t& crc) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  auto input = std::make_unique<InputStream>(file);
  TextBuffer text;
  FieldBuffer field;
  bool found = false;
  std::uint32_t running = 0;
  if (readRecord(*input, text, field)) {  // the header is not part of it
    while (!found && readRecord(*input, text, field)) {
      addToRunningCrc(text, field, running);
      found = beginsWith(text, declarationTrailerTag.c_str());
    }
  }
  std::fclose(file);
  if (found) crc = running;
  return found;
}

}  // namespace tabrel::tool
