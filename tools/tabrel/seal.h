// seal.h -- turns a plain declaration and receipt (text lines) into a file that tabrel32 accepts.
#pragma once

#include <cstdint>
#include <string>

namespace tabrel::tool {

struct SealOptions {
  std::string systemTag;
  std::int32_t declaredCrcOffset = 0;
  std::string declarationTrailerTag;
  std::string receiptTrailerTag;
  std::string fileName;  // the name the sealed file will be checked under
};

struct SealResult {
  bool ok = false;
  std::string bytes;  // the sealed file, CR LF records
  std::string error;  // what is wrong with the plain input when !ok
};

// The plain input: lines ended by LF or CR LF (a last line without an end is
// taken too). Line 1 is the header: it begins with the system tag, and the ten
// characters at the offset (appended when the line is shorter) become the
// declaration CRC. Then the declaration records, up to the first line that
// begins with the declaration trailer tag; then the receipt records, up to the
// first line that begins with the receipt trailer tag, to which the receipt
// CRC is appended. Every record gets its own CRC field.
SealResult seal(const std::string& plain, const SealOptions& options);

}  // namespace tabrel::tool
