// LBGetNext: one row per call from the current block, continuation requests for the next.
#include <cstring>

#include "client/command.h"
#include "protocol/run_length.h"
#include "client/message.h"
#include "client/session.h"
#include "client/status.h"
#include "client/transport.h"
#include "protocol/wire.h"

namespace lumbra {
namespace {

std::int32_t endResultSet(Session& s, std::int32_t status) {
  s.rowsLeft = 0;
  s.morePending = 0;
  return status;
}

// Asks for the next block; 0 with readCursor and blockEnd set, or a failure.
std::int32_t fetchBlock(Session& s, char* message) {
  char* const io = s.ioBuffer;
  const int length = formatContinuationRequest(s.contCounter, io, static_cast<std::size_t>(s.ioCapacity));
  ++s.contCounter;
  const auto tag = continuationTag(std::string_view(io + kContinuationPrefixLength, kContinuationDigits));
  std::memcpy(s.replyTag, tag.data(), kHeadTagLength);
  if (sendMessage(s.socket, io, length, s.ioCapacity, MessageKind::Text) < 0)
    return reportStatus(LB_SEND_FAILED, message);
  const std::int32_t n = receiveReply(s.socket, io, s.bufferSize, s.replyTag);
  if (n < 0) return reportStatus(LB_RECEIVE_FAILED, message);
  if (std::memcmp(io, s.replyTag, kHeadTagLength) == 0) {
    s.readCursor = io + kHeadTagLength;
    s.blockEnd = io + n - kEndOfBlockLength;
    s.morePending = 1;
    return 0;
  }
  // Headed "LBX000": a failure reply, which must carry a non-zero status.
  const std::int32_t status = replyStatus(io, n);
  if (status <= 0) return reportStatus(LB_RECEIVE_FAILED, message);
  copyReplyText(io, n, message, messageRoom(s));
  return -status;
}

}  // namespace

std::int32_t nextRow(std::int32_t handleArgument, char* message) {
  Session* session = nullptr;
  if (const std::int32_t rc = beginMessageCall(handleArgument, message, &session); rc != 0) return rc;
  Session& s = *session;
  if (s.rowsLeft <= 0) return endResultSet(s, reportStatus(LB_NO_ROWS, message));
  if (!s.morePending) {
    if (const std::int32_t rc = fetchBlock(s, message); rc != 0) return endResultSet(s, rc);
  }
  const std::size_t available = static_cast<std::size_t>(s.blockEnd - s.readCursor);
  const std::ptrdiff_t used =
      decodeIncomingRunLength(s.readCursor, available, message, static_cast<std::size_t>(s.rowLength));
  if (used < 0) {
    message[0] = '\0';
    return endResultSet(s, reportStatus(LB_RECEIVE_FAILED, message));
  }
  s.readCursor += used;
  message[s.rowLength] = '\0';
  if (s.readCursor == s.blockEnd) s.morePending = 0;
  --s.rowsLeft;
  return s.rowLength;
}

}  // namespace lumbra
