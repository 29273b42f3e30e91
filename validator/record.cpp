// record.cpp -- reading records from the input and the checksum operations on them.
#include "validator/record.h"

#include <cstring>

#include "validator/crc32.h"
#include "platform/files.h"

namespace tabrel {

void InputStream::refill(std::size_t wanted) noexcept {
  if (pos_ != 0) {
    std::memmove(block_, block_ + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  while (end_ < wanted && !ended_) {
    const std::size_t got = platform::fileCalls().read(block_ + end_, kBlockSize - end_, file_);
    if (got == 0) ended_ = true;
    end_ += got;
  }
}

std::size_t InputStream::available() noexcept {
  if (pos_ == end_) refill(1);
  return end_ - pos_;
}

int InputStream::next(RecordView& record) noexcept {
  if (end_ - pos_ < kLookahead) refill(kLookahead);
  const char* line = block_ + pos_;
  const std::size_t ready = end_ - pos_;
  // Bytes that may belong to this line: a line of kOverlong bytes is too long.
  const std::size_t limit = ready < kOverlong ? ready : kOverlong;
  std::size_t from = 0;
  for (;;) {
    const void* cr = std::memchr(line + from, '\r', limit - from);
    if (!cr) break;
    const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(cr) - line);
    if (at + 1 < ready && line[at + 1] == '\n') {
      pos_ += at + 2;
      if (at >= kFieldLength) {
        const std::size_t stored = at - kFieldLength;
        const void* nul = std::memchr(line, '\0', stored);
        record.text = line;
        record.textLength = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - line) : stored;
        record.field = line + stored;
      } else {
        // Too short for a field: the bytes there are, and an empty text.
        std::memset(shortField_, 0, kFieldBufferSize);
        std::memcpy(shortField_, line, at);
        record.text = shortField_;
        record.textLength = 0;
        record.field = shortField_;
      }
      return 1;
    }
    from = at + 1;  // a CR without LF is data
  }
  // No line end in reach: the end of the input, or a line too long, whose
  // first kOverlong bytes are consumed and lost.
  pos_ += limit;
  return 0;
}

int readRecord(InputStream& input, TextBuffer& text, FieldBuffer& field) noexcept {
  RecordView record;
  if (!input.next(record)) {
    text[0] = '\0';
    return 0;
  }
  std::memcpy(text, record.text, record.textLength);
  text[record.textLength] = '\0';
  std::memcpy(field, record.field, kFieldLength);
  field[kFieldLength] = '\0';
  return 1;
}

std::uint32_t recordCrc(const char* text) noexcept {
  std::uint32_t running = 0;
  crc32Update(text, static_cast<std::uint32_t>(std::strlen(text)), &running);
  return running;
}

void formatCrcField(std::uint32_t value, char* out) noexcept {
  for (std::size_t i = kFieldLength; i-- > 0;) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

bool crcFieldMatches(const char* field, std::uint32_t value) noexcept {
  // Ten digits written zero-padded have one reading; anything else never
  // equals "%010lu" of a value.
  std::uint64_t parsed = 0;
  for (std::size_t i = 0; i < kFieldLength; ++i) {
    const unsigned digit = static_cast<unsigned char>(field[i]) - unsigned('0');
    if (digit > 9) return false;
    parsed = parsed * 10 + digit;
  }
  return parsed == value;
}

void RunningCrc::fold(std::uint32_t textCrc, std::size_t textLength, const char* field) noexcept {
  if (textLength != shiftLength_) {
    shiftLength_ = textLength;
    shift_ = crc32Shift(textLength);
  }
  value_ = crc32Combine(value_, textCrc, shift_);
  const void* nul = std::memchr(field, '\0', kFieldLength);
  const std::size_t fieldLength =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : kFieldLength;
  crc32Update(field, static_cast<std::uint32_t>(fieldLength), &value_);
}

std::uint32_t addToRunningCrc(const char* text, const char* field, std::uint32_t& running) noexcept {
  RunningCrc crc(running);
  crc.fold(recordCrc(text), std::strlen(text), field);
  running = crc.value();
  return running;
}

bool beginsWith(const char* text, const char* tag) noexcept {
  return std::strncmp(text, tag, std::strlen(tag)) == 0;
}

}  // namespace tabrel
