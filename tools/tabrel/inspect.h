// inspect.h -- what the tool tells about an input file beyond tabrel32's result:
// its line ends, the name field its header's own CRC covers, and the
// declaration CRC its records give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tabrel::tool {

struct LineEnds {
  std::size_t crLf = 0;          // lines ended by CR LF
  std::size_t lfAlone = 0;       // lines ended by an LF without CR before it
  std::size_t firstLfAlone = 0;  // the number (from 1) of the first such line; 0 when none
};

LineEnds countLineEnds(const std::string& bytes);

// The name field that enters the header's own CRC for a file at path, as text
// up to its first NUL ("DECL.TXT", "ABCDEFGH.XYZ").
std::string nameFieldOf(const std::string& path);

// The file part of a path: what follows its last '/' or '\'.
std::string fileNamePart(const std::string& path);

// The declaration CRC as the records of the file at path give it: the running
// CRC of the records after the header up to and including the first that
// begins with declarationTrailerTag, read as tabrel32 reads them. False when
// the file cannot be read or has no such record.
bool declarationCrcOf(const std::string& path, const std::string& declarationTrailerTag, std::uint32_t& crc);

}  // namespace tabrel::tool
