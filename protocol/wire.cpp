// Readers and writers of the wire's pieces: reply head, SELECT head, CONT tag, numbers, ",ML=", length clause.
#include "protocol/wire.h"

#include <cstdio>
#include <cstring>

namespace lumbra {
namespace {

constexpr char kLoginStart[] = "ID ";
constexpr std::size_t kLoginStartLength = 3;
constexpr std::int64_t kSaturation = 0x7FFFFFFFFFFFLL;
constexpr std::int64_t kLargest31Bit = 0x7FFFFFFF;

// The EBCDIC bytes of the length clause around its five digits.
constexpr unsigned char kEbcdicOpen = 0x4D;
constexpr unsigned char kEbcdicClose = 0x5D;
constexpr unsigned char kEbcdicEquals = 0x7E;
constexpr unsigned char kEbcdicZero = 0xF0;
constexpr unsigned char kEbcdicNine = 0xF9;
constexpr std::size_t kClauseDigits = 5;

}  // namespace

bool startsLogin(const char* bytes, std::size_t length) {
  return length >= kLoginStartLength && std::memcmp(bytes, kLoginStart, kLoginStartLength) == 0;
}

bool mayStartLogin(const char* bytes, std::size_t length) {
  return length < kLoginStartLength && std::memcmp(bytes, kLoginStart, length) == 0;
}

bool hasReplyHead(const char* reply, std::size_t length, const char* tag) {
  return length >= kHeadTagLength &&
         (std::memcmp(reply, tag, kHeadTagLength) == 0 || std::memcmp(reply, kHeadTag, kHeadTagLength) == 0);
}

std::int32_t replyStatusOf(const char* reply, std::size_t length) {
  if (length < kMinimumReplyLength) return -1;
  std::int32_t value = 0;
  for (std::size_t i = 0; i < kStatusLength; ++i) {
    const char c = reply[kStatusOffset + i];
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool endsWithMarker(const char* bytes, std::size_t length) {
  return length >= kEndOfBlockLength &&
         std::memcmp(bytes + length - kEndOfBlockLength, kEndOfBlock, kEndOfBlockLength) == 0;
}

std::int64_t readDecimal(const char* text, int width) {
  int i = 0;
  auto more = [&] { return (width < 0 || i < width) && text[i] != '\0'; };
  while (more() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (more() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t value = 0;
  while (more() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i] - '0');
    if (value > kSaturation) value = kSaturation;
    ++i;
  }
  return negative ? -value : value;
}

void formatSelectHead(long long rows, std::size_t rowLength, char* head) {
  std::memcpy(head, kHeadTag, kHeadTagLength);
  std::memcpy(head + kStatusOffset, kStatusSuccess, kStatusLength);
  std::snprintf(head + kRowCountOffset, kSelectHeadLength - kRowCountOffset + 1, "%08lld%05zu", rows,
                rowLength);
}

bool parseSelectHead(const char* reply, std::size_t textEnd, SelectHead& head) {
  if (textEnd < kRowLengthOffset) return false;
  const char* const description = reply + kRowLengthOffset;
  const char* const dot =
      static_cast<const char*>(std::memchr(description, kDescriptionEnd, textEnd - kRowLengthOffset));
  if (dot == nullptr) return false;
  const std::int64_t rows = readDecimal(reply + kRowCountOffset, static_cast<int>(kRowCountWidth));
  const std::int64_t rowLength = readDecimal(reply + kRowLengthOffset, static_cast<int>(kRowLengthWidth));
  if (rows < 0 || rowLength < 0 || rows > kLargest31Bit || rowLength > kLargest31Bit) return false;
  head.rows = rows;
  head.rowLength = rowLength;
  head.answerLength = static_cast<std::size_t>(dot + 1 - description);
  return true;
}

std::array<char, kHeadTagLength> continuationTag(std::string_view digits) {
  std::array<char, kHeadTagLength> tag{};
  std::memcpy(tag.data(), kHeadTag, kHeadTagLength - kContinuationDigits);
  std::memcpy(tag.data() + kHeadTagLength - kContinuationDigits, digits.data(), kContinuationDigits);
  return tag;
}

int formatContinuationRequest(std::int32_t n, char* out, std::size_t capacity) {
  return std::snprintf(out, capacity, "%s%d", kContinuationPrefix, n);
}

std::optional<std::string_view> messageLengthSpan(std::string_view text) {
  const std::size_t key = text.find(kKeyMessageLength);
  if (key == std::string_view::npos) return std::nullopt;
  std::size_t first = key;
  while (first < text.size() && !(text[first] >= '0' && text[first] <= '9')) ++first;
  const std::size_t end = text.find_first_of(" ,).=;", first);
  return text.substr(first, (end == std::string_view::npos ? text.size() : end) - first);
}

void formatLengthClause(int length, char* clause) {
  std::snprintf(clause, kLengthClauseLength + 1, "(%05d)='", length);
}

bool readEbcdicLengthClause(const unsigned char* bytes, std::size_t& length) {
  if (bytes[0] != kEbcdicOpen || bytes[6] != kEbcdicClose || bytes[7] != kEbcdicEquals ||
      bytes[8] != kEbcdicApostrophe) {
    return false;
  }
  std::size_t value = 0;
  for (std::size_t k = 1; k <= kClauseDigits; ++k) {
    if (bytes[k] < kEbcdicZero || bytes[k] > kEbcdicNine) return false;
    value = value * 10 + (bytes[k] - kEbcdicZero);
  }
  length = value;
  return true;
}

}  // namespace lumbra
