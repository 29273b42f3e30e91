// The one writer of the host's message buffer, bounded by the room the host was asked to give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "client/session.h"
#include "client/status.h"

namespace lumbra {

// The least room a message buffer has (the library's own texts fit in it).
inline constexpr std::size_t kLeastMessageRoom = 256;

// The room the host gives a session's message buffer: the session's receive
// capacity (the announced message length + 1), and never less than kLeastMessageRoom.
std::size_t messageRoom(const Session& session);

// The start of an export that takes a message buffer and a handle: a null
// `message` gives LB_INVALID_PARAMETERS (nothing written); otherwise the buffer
// is made empty and the handle checked (its status text written when it
// fails). 0 with *session set, or the negative status. Inline, as the handle
// check is: it starts every LBGetNext, once per row delivered.
inline std::int32_t beginMessageCall(std::int32_t handleArgument, char* message, Session** session) {
  if (message == nullptr) return LB_INVALID_PARAMETERS;
  message[0] = '\0';
  if (const std::int32_t rc = checkHandle(handleArgument, session); rc != 0) return reportStatus(rc, message);
  return 0;
}

// Writes `text` and a terminator into `message`, at most room - 1 bytes of
// the text; returns the bytes of text written. A null `message` gets nothing.
std::size_t writeMessage(char* message, std::size_t room, std::string_view text);

}  // namespace lumbra
