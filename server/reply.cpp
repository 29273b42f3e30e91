// Reply building within the client's capacity.
#include "server/reply.h"

#include <cstdio>

#include "protocol/wire.h"

namespace lumbra::server {

std::string makeReply(int status, std::string_view text, std::size_t maxBytes, std::string_view tag) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%04d", status % 10000);
  std::size_t room = maxBytes > kMinimumReplyLength ? maxBytes - kMinimumReplyLength : 0;
  if (text.size() > room) text = text.substr(0, room);
  std::string reply;
  reply.reserve(kMinimumReplyLength + text.size());
  reply.append(tag.substr(0, kHeadTagLength));
  reply.append(digits, 4);
  reply.append(text);
  reply.append(kEndOfBlock, kEndOfBlockLength);
  return reply;
}

std::string makeRefusal(Status status, std::string_view detail, std::size_t maxBytes) {
  std::string text{statusText(status)};
  if (!detail.empty()) {
    text += ": ";
    text += hostText(detail);
  }
  return makeReply(static_cast<int>(status), text, maxBytes);
}

}  // namespace lumbra::server
