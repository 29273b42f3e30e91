// sendMessage, receiveReply and closeConnection over the platform's socket calls.
#include "client/transport.h"

#include <cstring>

#include "client/message.h"
#include "protocol/wire.h"
#include "platform/net.h"

namespace lumbra {
namespace {

bool isBinaryInsert(const char* buffer, std::int32_t length) {
  return length >= 7 && std::memcmp(buffer, kBinaryInsertPrefix, sizeof kBinaryInsertPrefix) == 0;
}

}  // namespace

std::int32_t sendMessage(std::int32_t socket, char* buffer, std::int32_t length, std::int32_t capacity) {
  auto& net = platform::netCalls();
  std::int32_t total = length;
  if (!(length >= 0 && startsLogin(buffer, static_cast<std::size_t>(length)))) {
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
    if (!headChecked && total >= static_cast<std::int32_t>(kHeadTagLength)) {
      if (!hasReplyHead(buffer, static_cast<std::size_t>(total), tag)) return -8;
      headChecked = true;
    }
    if (total >= limit || (headChecked && endsWithMarker(buffer, static_cast<std::size_t>(total)))) break;
  }
  return endsWithMarker(buffer, static_cast<std::size_t>(total)) ? total : -8;
}

void closeConnection(std::int32_t socket) {
  auto& net = platform::netCalls();
  net.closeSocket(socket);
  net.cleanup();
}

std::int32_t replyStatus(const char* reply, std::int32_t length) {
  if (length < 0) return -1;
  return replyStatusOf(reply, static_cast<std::size_t>(length));
}

void copyReplyText(char* reply, std::int32_t length, char* message, std::size_t room) {
  reply[length - kEndOfBlockLength] = '\0';
  const std::size_t textLength = static_cast<std::size_t>(length) - kMinimumReplyLength;
  writeMessage(message, room, std::string_view(reply + kReplyTextOffset, textLength));
}

}  // namespace lumbra
