// validation.h -- the validation run behind TBTabrel, and the name field of the header's own CRC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "validator/tabrel32.h"

namespace tabrel {

// The parts of an input path that enter the name field, pointing into the path:
// a leading drive letter and colon and the directory (up to the last '\' or '/')
// are dropped; the extension runs from the last '.' of the rest, dot included.
struct PathParts {
  const char* name;
  std::size_t nameLength;
  const char* extension;
  std::size_t extensionLength;
};

PathParts splitPath(const char* path) noexcept;

constexpr std::size_t kNameAreaSize = 16;
constexpr std::size_t kNameFieldLength = 12;
using NameArea = char[kNameAreaSize];

// Zero bytes, the first eight characters of the name, the extension behind
// them (cut where the area ends), a-z turned into A-Z. The name field is the
// first kNameFieldLength bytes.
void buildNameField(const PathParts& parts, NameArea& area) noexcept;

// The header's own CRC: the name field up to its first NUL, and when the field
// is full, the header text after it.
std::uint32_t headerCrc(const NameArea& area, const char* headerText) noexcept;

// Writes the record text and CR LF ("%s\r\n").
void writeCleanLine(std::FILE* file, const char* text) noexcept;

// Writes one log line "[%05u] %02d - %s\r\n" for the CheckMessageTable entry
// at `position`.
void logError(std::FILE* file, std::uint64_t recordNumber, unsigned position) noexcept;

// One whole run; see TBTabrel in validator/tabrel32.h.
std::int32_t runValidation(const ValidationRequest& request) noexcept;

}  // namespace tabrel
