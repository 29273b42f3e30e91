// validation.cpp -- the validation run: header, declaration part, receipt part, cleaned copy and error log.
#include "validator/validation.h"

#include <cstring>

#include "validator/crc32.h"
#include "validator/messages.h"
#include "validator/record.h"
#include "platform/files.h"

namespace tabrel {
namespace {

void closeFile(std::FILE*& file) noexcept {
  if (file) {
    platform::fileCalls().close(file);
    file = nullptr;
  }
}

// The cleaned copy, gathered into one large block that goes out in a single
// write when full (the stream itself is left unbuffered).
class CleanCopy {
 public:
  explicit CleanCopy(std::FILE* file) noexcept : file_(file) { platform::fileCalls().unbuffer(file_); }

  // "%s\r\n" of the text's `length` bytes.
  void line(const char* text, std::size_t length) noexcept {
    if (length + 2 > sizeof block_ - used_) flush();
    std::memcpy(block_ + used_, text, length);
    block_[used_ + length] = '\r';
    block_[used_ + length + 1] = '\n';
    used_ += length + 2;
  }

  void flush() noexcept {
    if (used_ != 0 && platform::fileCalls().write(block_, used_, file_) != used_) failed_ = true;
    used_ = 0;
  }

  // Whether a write went out short.
  bool failed() const noexcept { return failed_; }

 private:
  std::FILE* file_;
  std::size_t used_ = 0;
  bool failed_ = false;
  char block_[InputStream::kBlockSize];
};

class ValidationRun {
 public:
  ValidationRun(const ValidationRequest& request, std::FILE* input, std::FILE* clean, std::FILE* log) noexcept
      : request_(request),
        input_(input),
        clean_(clean),
        log_(log),
        copy_(clean),
        stream_(input),
        declarationTagLength_(std::strlen(request.declarationTrailerTag)),
        receiptTagLength_(std::strlen(request.receiptTrailerTag)) {}

  std::int32_t run() noexcept;

 private:
  // Reads the next record; its text, field and own CRC are at hand after it.
  bool next() noexcept;
  bool isDeclarationTrailer() const noexcept {
    return beginsWith(record_.text, record_.textLength, request_.declarationTrailerTag,
                      declarationTagLength_);
  }
  bool isReceiptTrailer() const noexcept {
    return beginsWith(record_.text, record_.textLength, request_.receiptTrailerTag, receiptTagLength_);
  }
  void countError(unsigned position) noexcept {
    ++errorCount_;
    logError(log_, recordNumber_, position);
  }
  void checkHeader(bool& systemInvalid) noexcept;
  void closeCleanCopy() noexcept;
  std::int32_t finish(std::int32_t result, bool keepCleanCopy) noexcept;

  const ValidationRequest& request_;
  std::FILE* input_;
  std::FILE* clean_;
  std::FILE* log_;
  bool cleanCopyFailed_ = false;
  std::uint64_t recordNumber_ = 1;
  int errorCount_ = 0;
  RunningCrc running_;
  std::uint32_t textCrc_ = 0;
  CleanCopy copy_;
  InputStream stream_;
  RecordView record_{};
  const std::size_t declarationTagLength_;
  const std::size_t receiptTagLength_;
};

bool ValidationRun::next() noexcept {
  if (!stream_.next(record_)) return false;
  textCrc_ = 0;
  crc32Update(record_.text, static_cast<std::uint32_t>(record_.textLength), &textCrc_);
  return true;
}

void ValidationRun::checkHeader(bool& systemInvalid) noexcept {
  const PathParts parts = splitPath(request_.inputPath);
  const std::size_t textLength = record_.textLength;
  TextBuffer text;
  std::memcpy(text, record_.text, textLength);
  text[textLength] = '\0';
  copy_.line(text, textLength);

  // The ten characters at the offset, as far as they lie inside the text.
  const std::int32_t offset = request_.declaredCrcOffset;
  std::size_t copied = 0;
  if (offset >= 0 && static_cast<std::size_t>(offset) < textLength) {
    copied = textLength - static_cast<std::size_t>(offset);
    if (copied > kFieldLength) copied = kFieldLength;
    std::memcpy(request_.declaredCrc, text + offset, copied);
  }
  request_.declaredCrc[copied] = '\0';

  if (!beginsWith(text, request_.systemTag)) {
    logError(log_, recordNumber_, kSystemInvalid);
    systemInvalid = true;
    return;
  }
  NameArea area;
  buildNameField(parts, area);
  if (!crcFieldMatches(record_.field, headerCrc(area, text))) {
    errorCount_ = 1;
    logError(log_, recordNumber_, kHeaderCrcInvalid);
  }
}

void ValidationRun::closeCleanCopy() noexcept {
  if (!clean_) return;
  copy_.flush();
  if (copy_.failed() || platform::fileCalls().error(clean_)) cleanCopyFailed_ = true;
  if (platform::fileCalls().close(clean_) != 0) cleanCopyFailed_ = true;
  clean_ = nullptr;
}

std::int32_t ValidationRun::finish(std::int32_t result, bool keepCleanCopy) noexcept {
  // A read that failed ended the input early: no verdict on the file holds.
  const bool inputFailed = input_ && platform::fileCalls().error(input_);
  closeFile(input_);
  closeCleanCopy();
  closeFile(log_);
  if (inputFailed) {
    platform::fileCalls().remove(request_.cleanCopyPath);
    platform::fileCalls().remove(request_.logPath);
    return TB_INPUT_UNAVAILABLE;
  }
  if (keepCleanCopy && cleanCopyFailed_) {
    // Nothing was wrong with the file, but its cleaned copy is incomplete:
    // never report that as a clean run.
    platform::fileCalls().remove(request_.cleanCopyPath);
    platform::fileCalls().remove(request_.logPath);
    return TB_CLEAN_COPY_UNAVAILABLE;
  }
  platform::fileCalls().remove(keepCleanCopy ? request_.logPath : request_.cleanCopyPath);
  return result;
}

std::int32_t ValidationRun::run() noexcept {
  // Header.
  if (!next()) {
    logError(log_, recordNumber_, kHeaderMissing);
    errorCount_ = 1;
  } else {
    bool systemInvalid = false;
    checkHeader(systemInvalid);
    if (systemInvalid) return finish(TB_SYSTEM_INVALID, false);
  }

  // Declaration part.
  bool trailerFound = false;
  while (errorCount_ < TB_MAX_ERRORS && next()) {
    ++recordNumber_;
    if (!crcFieldMatches(record_.field, textCrc_)) countError(kRecordCrcInvalid);
    copy_.line(record_.text, record_.textLength);
    running_.fold(textCrc_, record_.textLength, record_.field);
    if (isDeclarationTrailer()) {
      if (!crcFieldMatches(request_.declaredCrc, running_.value())) {
        logError(log_, recordNumber_, kDeclarationCrcInvalid);
        return finish(TB_DECLARATION_CRC_INVALID, false);
      }
      trailerFound = true;
      break;
    }
  }
  if (!trailerFound && errorCount_ < TB_MAX_ERRORS) countError(kDeclarationTrailerMissing);

  closeCleanCopy();
  std::snprintf(request_.computedCrc, kFieldBufferSize, "%10lu",
                static_cast<unsigned long>(running_.value()));

  // Receipt part.
  if (errorCount_ < TB_MAX_ERRORS) {
    bool receiptTrailerFound = false;
    while (next()) {
      ++recordNumber_;
      const bool isTrailer = isReceiptTrailer();
      if (!crcFieldMatches(record_.field, textCrc_))
        countError(isTrailer ? kReceiptTrailerCrcInvalid : kRecordCrcInvalid);
      if (isTrailer) {
        // The last ten characters of its text are the receipt CRC; a
        // shorter text carries none.
        if (record_.textLength < kFieldLength ||
            !crcFieldMatches(record_.text + record_.textLength - kFieldLength, running_.value())) {
          logError(log_, recordNumber_, kReceiptCrcInvalid);
          return finish(TB_RECEIPT_CRC_INVALID, false);
        }
        receiptTrailerFound = true;
        break;
      }
      running_.fold(textCrc_, record_.textLength, record_.field);
      if (errorCount_ >= TB_MAX_ERRORS) break;  // six errors: nothing more is read or logged
    }
    if (!receiptTrailerFound && errorCount_ < TB_MAX_ERRORS) countError(kReceiptTrailerMissing);
  }

  return finish(errorCount_, errorCount_ == 0);
}

bool isSeparator(char c) noexcept { return c == '\\' || c == '/'; }

bool isDriveLetter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

PathParts splitPath(const char* path) noexcept {
  if (isDriveLetter(path[0]) && path[1] == ':') path += 2;
  const char* base = path;
  const char* dot = nullptr;
  const char* p = path;
  for (; *p; ++p) {
    if (isSeparator(*p)) {
      base = p + 1;
      dot = nullptr;
    } else if (*p == '.') {
      dot = p;
    }
  }
  const char* end = p;
  const char* extension = dot ? dot : end;
  return PathParts{base, static_cast<std::size_t>(extension - base), extension,
                   static_cast<std::size_t>(end - extension)};
}

void buildNameField(const PathParts& parts, NameArea& area) noexcept {
  std::memset(area, 0, kNameAreaSize);
  std::size_t nameLength = parts.nameLength < 8 ? parts.nameLength : 8;
  std::memcpy(area, parts.name, nameLength);
  std::size_t extensionLength = parts.extensionLength;
  if (extensionLength > kNameAreaSize - nameLength) extensionLength = kNameAreaSize - nameLength;
  std::memcpy(area + nameLength, parts.extension, extensionLength);
  for (char& c : area)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

std::uint32_t headerCrc(const NameArea& area, const char* headerText) noexcept {
  const void* nul = std::memchr(area, '\0', kNameFieldLength);
  const std::size_t nameLength =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - area) : kNameFieldLength;
  std::uint32_t running = 0;
  crc32Update(area, static_cast<std::uint32_t>(nameLength), &running);
  if (nameLength == kNameFieldLength)
    crc32Update(headerText, static_cast<std::uint32_t>(std::strlen(headerText)), &running);
  return running;
}

void writeCleanLine(std::FILE* file, const char* text) noexcept {
  platform::fileCalls().write(text, std::strlen(text), file);
  platform::fileCalls().write("\r\n", 2, file);
}

void logError(std::FILE* file, std::uint64_t recordNumber, unsigned position) noexcept {
  // "[%05u] %02d - %s\r\n", with the record number as wide as it needs.
  const CheckMessage& message = checkMessage(position);
  char line[64];
  char digits[24];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + recordNumber % 10);
    recordNumber /= 10;
  } while (recordNumber != 0);
  while (count < 5) digits[count++] = '0';
  std::size_t length = 0;
  line[length++] = '[';
  while (count > 0) line[length++] = digits[--count];
  line[length++] = ']';
  line[length++] = ' ';
  line[length++] = static_cast<char>('0' + message.number / 10 % 10);
  line[length++] = static_cast<char>('0' + message.number % 10);
  line[length++] = ' ';
  line[length++] = '-';
  line[length++] = ' ';
  platform::fileCalls().write(line, length, file);
  platform::fileCalls().write(message.text, std::strlen(message.text), file);
  platform::fileCalls().write("\r\n", 2, file);
}

std::int32_t runValidation(const ValidationRequest& request) noexcept {
  if (!request.inputPath || !request.declaredCrc || !request.computedCrc || !request.systemTag ||
      !request.declarationTrailerTag || !request.receiptTrailerTag)
    return TB_INPUT_UNAVAILABLE;
  std::FILE* input = platform::fileCalls().open(request.inputPath, "rb");
  if (!input) return TB_INPUT_UNAVAILABLE;
  // An output that names the input would destroy it before it is read.
  std::FILE* clean = nullptr;
  if (request.cleanCopyPath && std::strcmp(request.cleanCopyPath, request.inputPath) != 0)
    clean = platform::fileCalls().open(request.cleanCopyPath, "wb");
  if (!clean) {
    platform::fileCalls().close(input);
    return TB_CLEAN_COPY_UNAVAILABLE;
  }
  std::FILE* log = nullptr;
  if (request.logPath && std::strcmp(request.logPath, request.inputPath) != 0 &&
      std::strcmp(request.logPath, request.cleanCopyPath) != 0)
    log = platform::fileCalls().open(request.logPath, "wb");
  if (!log) {
    platform::fileCalls().close(clean);
    platform::fileCalls().close(input);
    return TB_LOG_UNAVAILABLE;
  }
  ValidationRun run(request, input, clean, log);
  return run.run();
}

}  // namespace tabrel
