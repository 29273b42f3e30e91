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

namespace {

RecordRead recordRead(std::size_t number, const TextBuffer& text, const FieldBuffer& field) {
  return RecordRead{number, std::string(text), std::string(field, strnlen(field, kFieldLength))};
}

std::string tenDigits(std::uint32_t value) {
  char field[kFieldLength];
  formatCrcField(value, field);
  return std::string(field, kFieldLength);
}

// The running CRC over the records numbered 2 to `last`, both included.
std::uint32_t runningCrcTo(const RecordsRead& read, std::size_t last) {
  std::uint32_t running = 0;
  for (const RecordRead& r : read.records) {
    if (r.number > last) break;
    addToRunningCrc(r.text.c_str(), r.field.c_str(), running);
  }
  return running;
}

const RecordRead* numbered(const RecordsRead& read, std::size_t number) {
  if (number == 1) return read.header ? &*read.header : nullptr;
  for (const RecordRead& r : read.records) {
    if (r.number == number) return &r;
  }
  return nullptr;
}

}  // namespace

bool readRecords(const std::string& path, const Tags& tags, RecordsRead& read) {
  read = RecordsRead{};
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  auto input = std::make_unique<InputStream>(file);
  TextBuffer text;
  FieldBuffer field;
  std::size_t number = 1;
  if (readRecord(*input, text, field)) read.header = recordRead(number, text, field);
  while (readRecord(*input, text, field)) {
    read.records.push_back(recordRead(++number, text, field));
    if (beginsWith(text, tags.declarationTrailer.c_str())) {
      read.declarationTrailer = number;
      break;
    }
  }
  for (;;) {
    if (!readRecord(*input, text, field)) break;
    read.records.push_back(recordRead(++number, text, field));
    if (beginsWith(text, tags.receiptTrailer.c_str())) {
      read.receiptTrailer = number;
      break;
    }
  }
  std::fclose(file);
  return true;
}

ErrorCrcs errorCrcs(const RecordsRead& read, const Tags& tags, const std::string& checkedPath, const std::string& code,
                    std::size_t record) {
  ErrorCrcs crcs;
  const RecordRead* at = numbered(read, record);
  auto declared = [&]() -> std::string {
    if (!read.header || tags.offset < 0 || static_cast<std::size_t>(tags.offset) >= read.header->text.size()) return {};
    return read.header->text.substr(static_cast<std::size_t>(tags.offset), kFieldLength);
  };
  if (code == "02" || code == "03") {
    crcs.subject = "header";
    if (!read.header) return crcs;
    NameArea area;
    buildNameField(splitPath(checkedPath.c_str()), area);
    crcs.found = read.header->field;
    crcs.computed = tenDigits(headerCrc(area, read.header->text.c_str()));
  } else if (code == "04" || code == "09") {
    crcs.subject = "record";
    if (at == nullptr) return crcs;
    crcs.found = at->field;
    crcs.computed = tenDigits(recordCrc(at->text.c_str()));
  } else if (code == "05" || code == "06") {
    // 05: the declaration part ran out at this record without a trailer; what
    // the records give up to there stands against what the header carries.
    crcs.subject = "declaration";
    crcs.found = declared();
    if (at != nullptr) crcs.computed = tenDigits(runningCrcTo(read, record));
  } else if (code == "07" || code == "08") {
    // 07: no receipt trailer carries a value; the records give one all the same.
    crcs.subject = "receipt";
    if (code == "08" && at != nullptr && at->text.size() >= kFieldLength) {
      crcs.found = at->text.substr(at->text.size() - kFieldLength);
    }
    const std::size_t last = code == "08" ? record - 1 : record;
    if (at != nullptr) crcs.computed = tenDigits(runningCrcTo(read, last));
  }
  return crcs;
}

}  // namespace tabrel::tool
