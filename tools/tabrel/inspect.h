// inspect.h -- what the tool tells about an input file beyond tabrel32's result:
// its line ends, the name field its header's own CRC covers, and the
// declaration CRC its records give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// The file's records as a run of tabrel32 reads them: the header, then the
// declaration part up to its trailer, then the receipt part up to its
// trailer; records after the receipt trailer are never read. A record's text
// runs to its first NUL, its CRC field is the ten bytes of the line (to their
// first NUL), as the library compares them.
struct RecordRead {
  std::size_t number = 0;  // the header is 1, as in the error log
  std::string text;
  std::string field;
};
struct RecordsRead {
  std::optional<RecordRead> header;
  std::vector<RecordRead> records;          // every record after the header, in order
  std::size_t declarationTrailer = 0;       // its number; 0 when the declaration part has none
  std::size_t receiptTrailer = 0;           // likewise
};
struct Tags {
  std::string system;
  std::int32_t offset = 0;
  std::string declarationTrailer;
  std::string receiptTrailer;
};
// False when the file cannot be read.
bool readRecords(const std::string& path, const Tags& tags, RecordsRead& read);

// The CRC that a logged error is about, as ten digits each: the one the file
// carries and the one its records give. `subject` names it: "header" (the
// header's own CRC, over the name field and the header text), "record" (a
// record's own CRC), "declaration" (the declaration CRC: carried in the
// header, computed over the records after it up to the declaration trailer),
// "receipt" (carried at the end of the receipt trailer's text, computed over
// the records after the header up to that trailer). Empty where there is
// nothing: no header read, no trailer to carry a value.
struct ErrorCrcs {
  std::string subject;
  std::string found;
  std::string computed;
};
// For the log line "[record] code - ..." of a run over the file read as
// `read`, checked under the path `checkedPath` (whose name enters the
// header's own CRC).
ErrorCrcs errorCrcs(const RecordsRead& read, const Tags& tags, const std::string& checkedPath, const std::string& code,
                    std::size_t record);

}  // namespace tabrel::tool
