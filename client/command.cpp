// LBCommand: checks, command word, dispatch, batches, binary inserts, COMMIT, local and direct paths.
#include "client/command.h"

#include <cstring>

#include "client/connect.h"
#include "protocol/commands.h"
#include "protocol/run_length.h"
#include "client/message.h"
#include "client/session.h"
#include "client/status.h"
#include "client/transport.h"
#include "protocol/wire.h"

namespace lumbra {
namespace {

// A message needs room for the marker and a terminator behind it.
constexpr std::int32_t kMessageTail = static_cast<std::int32_t>(kEndOfBlockLength) + 1;

bool startsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Compares byte by byte and stops at the text's terminator: a short text is
// never read past its end.
bool isBinaryInsert(const char* text) {
  for (std::size_t i = 0; i < sizeof kBinaryInsertPrefix; ++i) {
    if (static_cast<unsigned char>(text[i]) != kBinaryInsertPrefix[i]) return false;
  }
  return true;
}

// Negative results produced after the start of a call end here.
std::int32_t errorEnding(Session& s, std::int32_t status, bool keepBinary = false) {
  s.updatePending = 0;
  s.batchLength = 0;
  if (!keepBinary) s.binaryLength = 0;
  s.rowsLeft = 0;
  return status;
}

// Sends `length` bytes of ioBuffer and receives the reply into it.
// Returns the reply length, or LB_SEND_FAILED / LB_RECEIVE_FAILED with the message written.
std::int32_t exchange(Session& s, std::int32_t length, char* message, MessageKind kind = MessageKind::Text) {
  if (sendMessage(s.socket, s.ioBuffer, length, s.ioCapacity, kind) < 0)
    return reportStatus(LB_SEND_FAILED, message);
  const std::int32_t n = receiveReply(s.socket, s.ioBuffer, s.bufferSize, s.replyTag);
  if (n < 0 || replyStatus(s.ioBuffer, n) < 0) return reportStatus(LB_RECEIVE_FAILED, message);
  return n;
}

// Sends the pending batch and checks its reply: 0, or a negative status with
// the message written (the server's text for a refusal, which sets *refused).
// The batch is gone either way.
std::int32_t sendBatch(Session& s, char* message, bool* refused = nullptr) {
  const std::int32_t length = s.batchLength;
  s.ioBuffer[length] = '\0';
  s.batchLength = 0;
  const std::int32_t n = exchange(s, length, message);
  if (n < 0) return n;
  const std::int32_t status = replyStatus(s.ioBuffer, n);
  if (status != 0) {
    copyReplyText(s.ioBuffer, n, message, messageRoom(s));
    if (refused != nullptr) *refused = true;
    return -status;
  }
  return 0;
}

// The room test of a batched command: the characters of its text as given,
// against bufferSize - 20 - batchLength.
bool roomFor(const Session& s, std::int32_t textLength) {
  return s.bufferSize - kBufferSlack - s.batchLength >= textLength;
}

// What an entry needs of ioBuffer beyond its encoded form: its blank, then the
// marker and a terminator when the batch goes out on its own.
constexpr std::int32_t kEntryTail = 1 + kMessageTail;

// The bytes an encoded entry may take at the end of the batch. The room test
// counts the plain text, and each '@' doubles, so an admitted entry may still
// need more than the test counted: this is where it really stops.
std::int32_t encodingRoom(const Session& s, std::int32_t batchLength) {
  return s.ioCapacity - batchLength - kEntryTail;
}

// What `length` bytes hold of the end-of-block marker: all of it, only its
// last four bytes "XEOB", or neither. Found by its 'X', which texts hold far
// more rarely than the 'L' in front of it.
enum class MarkerPart { None, Tail, Whole };

MarkerPart markerPart(const char* bytes, std::size_t length) {
  constexpr std::size_t kTailOffset = 2;  // "XEOB" within "LBXEOB"
  constexpr std::size_t kTailLength = kEndOfBlockLength - kTailOffset;
  const char* const end = bytes + length;
  MarkerPart found = MarkerPart::None;
  for (const char* p = bytes; p < end;) {
    const char* x =
        static_cast<const char*>(std::memchr(p, kEndOfBlock[kTailOffset], static_cast<std::size_t>(end - p)));
    if (x == nullptr) break;
    if (static_cast<std::size_t>(end - x) >= kTailLength &&
        std::memcmp(x, kEndOfBlock + kTailOffset, kTailLength) == 0) {
      if (static_cast<std::size_t>(x - bytes) >= kTailOffset &&
          std::memcmp(x - kTailOffset, kEndOfBlock, kTailOffset) == 0) {
        return MarkerPart::Whole;
      }
      found = MarkerPart::Tail;
    }
    p = x + 1;
  }
  return found;
}

// Encodes `text` as the next batch entry; false when its encoded form does not
// fit the room the plain text test granted, or (with *marker set) when it holds
// the end-of-block marker: runs can make one from a text without it (22 B's
// before "XEOB" are written "@LBXEOB"), and the server would end the message
// there and answer its rest as a further message. The text holds no marker
// (the caller checked), and a run gives at most the marker's first two bytes
// (its digit and byte; its '@' is no marker byte), so the rest "XEOB" must be
// the text's own: only a text holding "XEOB" (`markerTail`) needs its encoded
// form searched, which spares the search for nearly every entry of a load.
bool appendEntry(Session& s, const char* text, std::size_t textLength, bool markerTail, bool* marker) {
  const std::int32_t room = encodingRoom(s, s.batchLength);
  if (room < 0) return false;
  const std::ptrdiff_t n =
      encodeOutgoingRunLength(s.ioBuffer + s.batchLength, static_cast<std::size_t>(room), text, textLength);
  if (n < 0) return false;
  *marker =
      markerTail && markerPart(s.ioBuffer + s.batchLength, static_cast<std::size_t>(n)) == MarkerPart::Whole;
  if (*marker) return false;
  s.ioBuffer[s.batchLength + n] = ' ';
  s.batchLength += static_cast<std::int32_t>(n) + 1;
  return true;
}

// `length` is the text's length, at most bufferSize - 20 (checked by the
// caller); `markerTail` whether the text holds "XEOB" (see appendEntry).
// A command the room test admits goes into the batch; one it does not admit
// sends the batch and opens the next. Where an admitted command's encoded
// form would pass the end of ioBuffer, the batch is sent first as well; a
// command whose encoded form cannot fit even an empty batch is refused with
// -6 before anything is sent, and the pending batch stays.
std::int32_t batchPath(Session& s, const char* command, std::size_t length, bool markerTail, char* message) {
  const std::int32_t textLength = static_cast<std::int32_t>(length);
  bool marker = false;
  if (roomFor(s, textLength)) {
    if (appendEntry(s, command, length, markerTail, &marker)) return 0;
    if (marker) return reportStatus(LB_INVALID_PARAMETERS, message);
  }
  if (s.batchLength > 0) {
    const std::size_t encoded = outgoingRunLengthSize(command, length);
    if (encoded > static_cast<std::size_t>(encodingRoom(s, 0)))
      return reportStatus(LB_COMMAND_TOO_LONG, message);
    if (const std::int32_t rc = sendBatch(s, message); rc != 0) return errorEnding(s, rc);
  }
  if (!appendEntry(s, command, length, markerTail, &marker)) {
    if (marker) return errorEnding(s, reportStatus(LB_INVALID_PARAMETERS, message));
    return reportStatus(LB_COMMAND_TOO_LONG, message);
  }
  return 0;
}

std::int32_t binaryInsertPath(Session& s, const char* command, char* message) {
  const std::int32_t length = s.binaryLength;
  if (length <= 0) return reportStatus(LB_INVALID_PARAMETERS, message);
  if (length + static_cast<std::int32_t>(kEndOfBlockLength) > s.ioCapacity) {
    return reportStatus(LB_COMMAND_TOO_LONG, message);
  }
  std::int32_t flushed = 0;
  if (s.batchLength > 0) flushed = sendBatch(s, message);
  std::memcpy(s.ioBuffer, command, static_cast<std::size_t>(length));
  s.binaryLength = 0;
  if (flushed != 0) return errorEnding(s, flushed);
  const std::int32_t n = exchange(s, length, message, MessageKind::BinaryInsert);
  if (n < 0) return errorEnding(s, n);
  const std::int32_t status = replyStatus(s.ioBuffer, n);
  if (status != 0) {
    copyReplyText(s.ioBuffer, n, message, messageRoom(s));
    return errorEnding(s, -status);
  }
  s.batchLength = 0;
  return 0;
}

// A COMMIT text that would pass the end of ioBuffer behind the pending batch
// goes out in a message of its own, right after the batch; the server counts
// the batch's updates into the COMMIT reply all the same.
std::int32_t commitPath(Session& s, const char* command, char* message) {
  const std::int32_t textLength = static_cast<std::int32_t>(std::strlen(command));
  if (textLength + kMessageTail > s.ioCapacity) return reportStatus(LB_COMMAND_TOO_LONG, message);
  if (s.batchLength > 0 && s.batchLength + textLength + kMessageTail > s.ioCapacity) {
    if (const std::int32_t rc = sendBatch(s, message); rc != 0) return errorEnding(s, rc);
  }
  const std::int32_t length = s.batchLength + textLength;
  std::memcpy(s.ioBuffer + s.batchLength, command, static_cast<std::size_t>(textLength) + 1);
  s.batchLength = 0;
  s.updatePending = 0;
  const std::int32_t n = exchange(s, length, message);
  if (n < 0) return errorEnding(s, n);
  copyReplyText(s.ioBuffer, n, message, messageRoom(s));
  const std::int32_t status = replyStatus(s.ioBuffer, n);
  if (status != 0) return errorEnding(s, -status);
  return commitItemCount(static_cast<std::size_t>(n) - kMinimumReplyLength);
}

// Opens the result set of a successful SELECT reply of length n; false when
// the reply does not hold the counts and the '.' that ends its description.
bool openResultSet(Session& s, std::int32_t n, char* message) {
  char* const reply = s.ioBuffer;
  const std::size_t textEnd = static_cast<std::size_t>(n) - kEndOfBlockLength;
  SelectHead head;
  if (!parseSelectHead(reply, textEnd, head)) return false;
  writeMessage(message, messageRoom(s), std::string_view(reply + kRowLengthOffset, head.answerLength));
  s.rowLength = static_cast<std::int32_t>(head.rowLength);
  s.rowsLeft = static_cast<std::int32_t>(head.rows);
  s.readCursor = reply + kRowLengthOffset + head.answerLength;
  char* const end = reply + textEnd;
  s.blockEnd = end;
  s.morePending = s.readCursor == end ? 0 : 1;
  return true;
}

std::int32_t directPath(Session& s, const char* command, char* message) {
  if (s.batchLength > 0) {
    bool refused = false;
    if (const std::int32_t rc = sendBatch(s, message, &refused); rc != 0) {
      return errorEnding(s, rc, /*keepBinary=*/refused);
    }
  }
  const std::int32_t length = static_cast<std::int32_t>(std::strlen(command));
  std::memcpy(s.ioBuffer, command, static_cast<std::size_t>(length) + 1);
  const std::int32_t n = exchange(s, length, message);
  if (n < 0) return errorEnding(s, n);
  const std::int32_t status = replyStatus(s.ioBuffer, n);
  const bool select = startsWith(command, "SELECT");
  if (select && status == 0) {
    if (!openResultSet(s, n, message)) {
      s.rowLength = 0;
      s.morePending = 0;
      return errorEnding(s, reportStatus(LB_RECEIVE_FAILED, message));
    }
    return s.rowsLeft;
  }
  copyReplyText(s.ioBuffer, n, message, messageRoom(s));
  if (status != 0) return errorEnding(s, -status);
  if (startsWith(command, "ROLLBACK")) {
    s.batchLength = 0;
    s.updatePending = 0;
    return 0;
  }
  if (startsWith(command, "EXEC") || startsWith(command, "GETSET")) {
    return static_cast<std::int32_t>(std::strlen(message));
  }
  if (startsWith(command, "SET")) {
    if (sizeBuffer(s, message) != 0) return errorEnding(s, reportStatus(LB_OUT_OF_MEMORY, message));
    return 0;
  }
  return 0;
}

}  // namespace

std::int32_t executeCommand(std::int32_t handleArgument, const char* command, char* message) {
  Session* session = nullptr;
  if (const std::int32_t rc = beginMessageCall(handleArgument, message, &session); rc != 0) return rc;
  Session& s = *session;
  if (!s.bufferReady) return reportStatus(LB_OUT_OF_MEMORY, message);
  if (command == nullptr) return reportStatus(LB_INVALID_PARAMETERS, message);
  const bool binary = isBinaryInsert(command);
  const std::size_t length = binary ? 0 : std::strlen(command);
  if (!binary && static_cast<std::int64_t>(length) > static_cast<std::int64_t>(s.bufferSize) - kBufferSlack) {
    return reportStatus(LB_COMMAND_TOO_LONG, message);
  }
  // A text holding the end-of-block marker cannot travel: the server would end
  // the message there and answer the rest as a message of its own.
  const MarkerPart marker = binary ? MarkerPart::None : markerPart(command, length);
  if (marker == MarkerPart::Whole) return reportStatus(LB_INVALID_PARAMETERS, message);

  std::memcpy(s.replyTag, kHeadTag, sizeof s.replyTag);
  s.rowsLeft = 0;
  s.morePending = 0;
  s.rowLength = 0;

  // The word of a batched update is one of the accepted words: the path every
  // row of a load takes skips the look-up.
  const std::string_view text(command, length);
  const bool batched = !binary && isBatchedCommand(text);
  if (!binary && !batched) {
    const PaddedCommandWord word = paddedCommandWord(text);
    if (!isAcceptedWord(word)) return errorEnding(s, reportStatus(LB_INVALID_COMMAND, message, word.text));
  }

  if (batched) return batchPath(s, command, length, marker == MarkerPart::Tail, message);
  if (isCommitCommand(text)) return commitPath(s, command, message);
  if (binary) return binaryInsertPath(s, command, message);
  switch (localAnswerOf(text)) {
    case LocalAnswer::ClientId:
      return static_cast<std::int32_t>(
          writeMessage(message, kLeastMessageRoom, std::string_view(s.clientId, sizeof s.clientId)));
    case LocalAnswer::ServerInfo:
      writeMessage(message, kLeastMessageRoom, s.serverInfo);
      return static_cast<std::int32_t>(std::strlen(s.serverInfo));
    case LocalAnswer::None:
      break;
  }
  return directPath(s, command, message);
}

}  // namespace lumbra
