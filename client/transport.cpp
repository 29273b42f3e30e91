// sendMessage, receiveReply and closeConnection over the platform's socket calls.
#include "client/transport.h"

#include <cstring>

#include "client/wire.h"
#include "platform/net.h"

namespace lumbra {
namespace {

bool isBinaryInsert(const char* buffer, std::int32_t length) {
  return length >= 7 && std::memcmp(buffer, kBinaryInsertPrefix, sizeof kBinaryInsertPrefix) == 0;
}

bool endsWithMarker(const char* buffer, std::int32_t total) {
  return total >= 6 && std::memcmp(buffer + total - 6, kEndOfBlock, kEndOfBlockLength) == 0;
}

constexpr std::int64_t kSaturation = 0x7FFFFFFFFFFFLL;

}  // namespace

std::int32_t sendMessage(std::int32_t socket, char* buffer, std::int32_t length, std::int32_t capacity) {
  auto& net = platform::netCalls();
  std::int32_t total = length;
  if (!(length >= 3 && std::memcmp(buffer, "ID ", 3) == 0)) {
    const bool binary = isBinaryInsert(buffer, length);
    const std::int32_t needed = length + static_cast<std::int32_t>(kEndOfBlockLength) + (binary ? 0 : 1);
    if (length < 0 || needed > capacity) return -1;
    std::memcpy(buffer + length, kEndOfBlock, kEndOfBlockLength);
    if (!binary) buffer[length + kEndOfBlockLength] = '\0';
    total = length + static_cast<std::int32_t>(kEndOfBlockLength);
  }
  const int sent = net.sendBytes(socket, buffer, total);
  return sent < total ? -1 : sent;
}

std::int32_t receiveReply(std::int32_t socket, char* buffer, std::int32_t capacity, const char* tag) {
  auto& net = platform::netCalls();
  if (capacity < static_cast<std::int32_t>(kMinimumReplyLength) + 1) return -8;
  const std::int32_t limit = capacity - 1;
  std::int32_t total = 0;
  bool headChecked = false;
  for (;;) {
    const int got = net.receiveBytes(socket, buffer + total, limit - total);
    if (got <= 0) return -2;
    total += got;
    if (!headChecked && total >= 6) {
      if (std::memcmp(buffer, tag, kHeadTagLength) != 0 && std::memcmp(buffer, kHeadTag, kHeadTagLength) != 0) {
        return -8;
      }
      headChecked = true;
    }
    if (total >= limit || (headChecked && endsWithMarker(buffer, total))) break;
  }
  return endsWithMarker(buffer, total) ? total : -8;
}

void closeConnection(std::int32_t socket) {
  auto& net = platform::netCalls();
  net.closeSocket(socket);
  net.cleanup();
}

std::int32_t replyStatus(const char* reply, std::int32_t length) {
  if (length < static_cast<std::int32_t>(kMinimumReplyLength)) return -1;
  std::int32_t value = 0;
  for (std::size_t i = 0; i < kStatusLength; ++i) {
    const char c = reply[kStatusOffset + i];
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

void copyReplyText(char* reply, std::int32_t length, char* message) {
  reply[length - kEndOfBlockLength] = '\0';
  if (message == nullptr) return;
  const std::size_t textLength = static_cast<std::size_t>(length) - kMinimumReplyLength;
  std::memcpy(message, reply + kReplyTextOffset, textLength);
  message[textLength] = '\0';
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

}  // namespace lumbra
