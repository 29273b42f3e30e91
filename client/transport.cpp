// sendMessage, receiveReply and closeConnection over the platform's socket calls.
#include "client/transport.h"

#include <cstring>

#include "client/lumbra32.h"
#include "client/message.h"
#include "client/reply_reader.h"
#include "protocol/wire.h"
#include "platform/net.h"

namespace lumbra {

std::int32_t sendMessage(std::int32_t socket, char* buffer, std::int32_t length, std::int32_t capacity,
                         MessageKind kind) {
  auto& net = platform::netCalls();
  std::int32_t total = length;
  if (kind != MessageKind::Login) {
    const bool binary = kind == MessageKind::BinaryInsert;
    const std::int32_t needed = length + static_cast<std::int32_t>(kEndOfBlockLength) + (binary ? 0 : 1);
    if (length < 0 || needed > capacity) return LB_SEND_FAILED;
    std::memcpy(buffer + length, kEndOfBlock, kEndOfBlockLength);
    if (!binary) buffer[length + kEndOfBlockLength] = '\0';
    total = length + static_cast<std::int32_t>(kEndOfBlockLength);
  }
  const int sent = net.sendBytes(socket, buffer, total);
  return sent < total ? LB_SEND_FAILED : sent;
}

std::int32_t receiveReply(std::int32_t socket, char* buffer, std::int32_t capacity, const char* tag) {
  auto& net = platform::netCalls();
  if (capacity < static_cast<std::int32_t>(kMinimumReplyLength) + 1) return LB_SERVER_INACTIVE;
  const std::int32_t limit = capacity - 1;
  std::int32_t total = 0;
  ReplyView reply;
  for (;;) {
    const int got = net.receiveBytes(socket, buffer + total, limit - total);
    if (got <= 0) return LB_RECEIVE_FAILED;
    total += got;
    switch (readReply(buffer, static_cast<std::size_t>(total), static_cast<std::size_t>(limit), tag, reply)) {
      case ReplyState::Whole:
        return total;
      case ReplyState::Bad:
        return LB_SERVER_INACTIVE;
      case ReplyState::NeedMore:
        break;
    }
  }
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
