// seal.cpp -- sealing: every CRC field, the header's declaration CRC and the receipt CRC filled in.
#include "tools/tabrel/seal.h"

#include <algorithm>
#include <vector>

#include "validator/crc32.h"
#include "validator/record.h"
#include "validator/validation.h"

namespace tabrel::tool {
namespace {

constexpr std::size_t kMaxText = kMaxLine - kFieldLength;

std::vector<std::string> splitLines(const std::string& plain) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < plain.size()) {
    std::size_t end = plain.find('\n', start);
    const bool ended = end != std::string::npos;
    if (!ended) end = plain.size();
    std::string line = plain.substr(start, end - start);
    if (ended && !line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

std::string digits(std::uint32_t value) {
  char field[kFieldLength];
  formatCrcField(value, field);
  return std::string(field, kFieldLength);
}

bool startsWith(const std::string& text, const std::string& tag) {
  return text.compare(0, tag.size(), tag) == 0;
}

SealResult failure(std::string error) {
  SealResult result;
  result.error = std::move(error);
  return result;
}

}  // namespace

SealResult seal(const std::string& plain, const SealOptions& options) {
  std::vector<std::string> lines = splitLines(plain);
  if (lines.empty()) return failure("the input holds no header line");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find('\0') != std::string::npos)
      return failure("line " + std::to_string(i + 1) + " holds a NUL byte");
    if (lines[i].size() > kMaxText)
      return failure("line " + std::to_string(i + 1) + " is longer than " + std::to_string(kMaxText) +
                     " bytes");
  }

  std::string& header = lines[0];
  if (options.declaredCrcOffset < 0 || static_cast<std::size_t>(options.declaredCrcOffset) > header.size())
    return failure("the offset " + std::to_string(options.declaredCrcOffset) + " lies outside the header (" +
                   std::to_string(header.size()) + " characters)");
  const std::size_t offset = static_cast<std::size_t>(options.declaredCrcOffset);
  if (offset + kFieldLength > kMaxText)
    return failure("the declaration CRC at offset " + std::to_string(offset) +
                   " would make the header too long");

  std::size_t declarationTrailer = 0;
  for (std::size_t i = 1; i < lines.size() && declarationTrailer == 0; ++i)
    if (startsWith(lines[i], options.declarationTrailerTag)) declarationTrailer = i;
  if (declarationTrailer == 0)
    return failure("no line after the header begins with the declaration trailer tag \"" +
                   options.declarationTrailerTag + "\"");
  std::size_t receiptTrailer = 0;
  for (std::size_t i = declarationTrailer + 1; i < lines.size() && receiptTrailer == 0; ++i)
    if (startsWith(lines[i], options.receiptTrailerTag)) receiptTrailer = i;
  if (receiptTrailer == 0)
    return failure("no line after the declaration trailer begins with the receipt trailer tag \"" +
                   options.receiptTrailerTag + "\"");
  if (receiptTrailer + 1 != lines.size())
    return failure("line " + std::to_string(receiptTrailer + 2) +
                   " follows the receipt trailer; nothing may follow it");
  if (lines[receiptTrailer].size() + kFieldLength > kMaxText)
    return failure("the receipt trailer is too long to carry the receipt CRC");

  // Declaration and receipt records with their own CRC fields; the running
  // CRC runs over them as they will stand in the file.
  std::vector<std::string> records(lines.size());
  std::uint32_t running = 0;
  std::uint32_t declarationCrc = 0;
  for (std::size_t i = 1; i < receiptTrailer; ++i) {
    records[i] = lines[i] + digits(recordCrc(lines[i].c_str()));
    crc32Update(records[i].data(), static_cast<std::uint32_t>(records[i].size()), &running);
    if (i == declarationTrailer) declarationCrc = running;
  }
  const std::string trailerText = lines[receiptTrailer] + digits(running);
  records[receiptTrailer] = trailerText + digits(recordCrc(trailerText.c_str()));

  header.resize(std::max(header.size(), offset + kFieldLength), ' ');
  header.replace(offset, kFieldLength, digits(declarationCrc));
  if (!startsWith(header, options.systemTag))
    return failure("the header does not begin with the system tag \"" + options.systemTag +
                   "\" (or the declaration CRC at the offset overwrites it)");
  NameArea area;
  buildNameField(splitPath(options.fileName.c_str()), area);
  records[0] = header + digits(headerCrc(area, header.c_str()));

  SealResult result;
  result.ok = true;
  for (const std::string& record : records) result.bytes += record + "\r\n";
  return result;
}

}  // namespace tabrel::tool
