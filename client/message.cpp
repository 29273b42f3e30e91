// writeMessage and messageRoom: every text for the host goes through here.
#include "client/message.h"

#include <algorithm>
#include <cstring>

#include "client/session.h"
#include "client/status.h"

namespace lumbra {

std::size_t messageRoom(const Session& session) {
  return std::max(static_cast<std::size_t>(session.bufferSize > 0 ? session.bufferSize : 0),
                  kLeastMessageRoom);
}

std::size_t writeMessage(char* message, std::size_t room, std::string_view text) {
  if (message == nullptr || room == 0) return 0;
  const std::size_t length = std::min(text.size(), room - 1);
  std::memcpy(message, text.data(), length);
  message[length] = '\0';
  return length;
}

}  // namespace lumbra
