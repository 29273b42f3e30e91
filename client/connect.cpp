// LBConnect and LBDisconn: arguments, greeting, slot, login, server information, buffer sizing.
#include "client/connect.h"

#include <cstdio>
#include <cstring>

#include "client/message.h"
#include "client/status.h"
#include "client/transport.h"
#include "protocol/login.h"
#include "protocol/wire.h"
#include "platform/net.h"

namespace lumbra {
namespace {

constexpr std::size_t kAddressLimit = 100;  // serverAddress must be shorter
constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;
constexpr std::size_t kLongestSizeSpan = 48;
constexpr std::int64_t kLargestBufferSize = 0x7FFFFFFF - kBufferSlack;
constexpr int kLastErrorNoSlot = 500;

// Length of `text` when it is at most `limit` characters, else limit + 1.
std::size_t boundedLength(const char* text, std::size_t limit) {
  std::size_t n = 0;
  while (n <= limit && text[n] != '\0') ++n;
  return n;
}

bool fieldAccepted(const char* text, std::size_t width) {
  return text != nullptr && text[0] != ' ' && boundedLength(text, width) <= width;
}

// Port from the address text: the second run of non-colon characters, read as
// a decimal number modulo 65536; 3001 without such a run.
std::uint16_t portOf(const char* address) {
  const char* p = address;
  int run = 0;
  while (*p != '\0') {
    if (*p == ':') {
      ++p;
      continue;
    }
    ++run;
    if (run == 2) return static_cast<std::uint16_t>(static_cast<std::uint64_t>(readDecimal(p)) & 0xFFFF);
    while (*p != '\0' && *p != ':') ++p;
  }
  return kDefaultPort;
}

// A value of the server information, or `fallback` when it is absent, into `out`.
void copyValue(const std::optional<std::string_view>& value, const char* fallback, char* out) {
  if (!value) {
    std::strcpy(out, fallback);
    return;
  }
  std::memcpy(out, value->data(), value->size());
  out[value->size()] = '\0';
}

void releaseSession(Session* session) {
  auto& net = platform::netCalls();
  net.release(session->ioBuffer);
  net.release(session);
}

}  // namespace

void parseServerInfo(Session& session, const char* text) {
  const ServerInformationValues values = readServerInformation(text);
  if (values.clientAddress) {
    if (const std::optional<std::uint32_t> address = readClientAddress(*values.clientAddress)) {
      char id[16];
      std::snprintf(id, sizeof id, "%03u.%03u.%03u.%03u", static_cast<unsigned>(*address >> 24),
                    static_cast<unsigned>(*address >> 16 & 0xFF), static_cast<unsigned>(*address >> 8 & 0xFF),
                    static_cast<unsigned>(*address & 0xFF));
      std::memcpy(session.clientId, id, sizeof session.clientId);
    }
  }
  char serverVersion[kServerVersionWidth + 1];
  char databaseVersion[kDatabaseVersionWidth + 1];
  copyValue(values.serverVersion, "0.0.0", serverVersion);
  copyValue(values.databaseVersion, "0.0.0", databaseVersion);

  char system[8] = "    ";
  if (const auto& v = values.operatingSystem) {
    if (v->starts_with("MVS")) {
      std::strcpy(system, v->size() > 3 && (*v)[3] == 'E' ? "MVS-ESA" : "MVS-XA");
    } else {
      copyValue(v, "", system);
    }
  }

  const char* communication = " ";
  char communicationVersion[kVersionWidth + 1] = "0.0.0";
  if (const auto& v = values.communication) {
    if (v->starts_with("SNA")) {
      communication = "SNA";
    } else {
      communication = v->starts_with("ILK") ? "TCP/IP INTERLINK " : "TCP/IP IBM ";
      copyValue(values.communicationVersion, "", communicationVersion);
    }
  }

  char monitor[kMonitorWidth + 1];
  char monitorVersion[kVersionWidth + 1];
  copyValue(values.monitor, " ", monitor);
  copyValue(values.monitorVersion, "0.0.0", monitorVersion);

  std::snprintf(session.serverInfo, sizeof session.serverInfo,
                "Vers\xE3o %5.5s, Sistema Operacional %s, Monitor de Teleprocessamento %5.5s %5.5s, "
                "Adabas %5.5s, Comunica\xE7\xE3o %s %5.5s",
                serverVersion, system, monitor, monitorVersion, databaseVersion, communication,
                communicationVersion);
}

std::int32_t sizeBuffer(Session& session, const char* text) {
  const std::optional<std::string_view> span = messageLengthSpan(text);
  if (!span) return 0;
  if (span->size() > kLongestSizeSpan) {
    session.bufferReady = 0;
    return LB_OUT_OF_MEMORY;
  }
  const std::int64_t newSize = readDecimal(span->data(), static_cast<int>(span->size()));
  void* block = newSize <= kLargestBufferSize
                    ? platform::netCalls().allocate(static_cast<std::size_t>(newSize) + kBufferSlack)
                    : nullptr;
  if (block == nullptr) {
    session.bufferReady = 0;
    return LB_OUT_OF_MEMORY;
  }
  platform::netCalls().release(session.ioBuffer);
  session.ioBuffer = static_cast<char*>(block);
  session.bufferSize = static_cast<std::int32_t>(newSize);
  session.ioCapacity = static_cast<std::int32_t>(newSize + kBufferSlack);
  session.readCursor = session.ioBuffer;
  session.blockEnd = session.ioBuffer;
  session.bufferReady = 1;
  return 0;
}

std::int32_t connectSession(const char* identification, const char* firstCredential,
                            const char* secondCredential, const char* serverAddress, char* message) {
  auto& net = platform::netCalls();
  if (message == nullptr) return LB_INVALID_PARAMETERS;
  message[0] = '\0';
  if (!fieldAccepted(identification, kIdentificationLength) ||
      !fieldAccepted(firstCredential, kFirstCredentialLength) ||
      !fieldAccepted(secondCredential, kSecondCredentialLength) || serverAddress == nullptr ||
      boundedLength(serverAddress, kAddressLimit - 1) >= kAddressLimit) {
    return reportStatus(LB_INVALID_PARAMETERS, message);
  }

  char host[kAddressLimit];
  std::strcpy(host, serverAddress);
  const std::uint16_t port = portOf(host);
  if (char* colon = std::strchr(host, ':')) *colon = '\0';

  if (const int rc = net.startup(); rc != 0) {
    net.setLastError(rc);
    return reportStatus(LB_NO_CONNECTIVITY, message);
  }
  const std::uint32_t address = net.parseAddress(host);
  if (address == kAddressNone) {
    net.cleanup();
    return reportStatus(LB_BAD_SERVER_ADDRESS, message);
  }
  const std::int32_t sock = net.openSocket();
  if (sock < 0) {
    reportStatus(LB_NO_CONNECTIVITY, message);
    net.cleanup();
    return LB_NO_CONNECTIVITY;
  }
  if (net.connectSocket(sock, address, port) != 0) {
    reportStatus(LB_CONNECT_FAILED, message);
    closeConnection(sock);
    return LB_CONNECT_FAILED;
  }
  char greeting[16];
  std::strcpy(greeting, kGreeting);
  if (sendMessage(sock, greeting, static_cast<std::int32_t>(std::strlen(kGreeting)), sizeof greeting,
                  MessageKind::Text) < 0) {
    reportStatus(LB_SEND_FAILED, message);
    closeConnection(sock);
    return LB_SEND_FAILED;
  }

  const int handle = reserveSlot();
  if (handle < 0) {
    closeConnection(sock);
    net.setLastError(kLastErrorNoSlot);
    return reportStatus(LB_TOO_MANY_CONNECTIONS, message);
  }
  auto* session = static_cast<Session*>(net.allocate(sizeof(Session)));
  if (session != nullptr) setSlot(handle, session);
  char* io = session != nullptr ? static_cast<char*>(net.allocate(kInitialBufferSize)) : nullptr;
  if (io == nullptr) {
    closeConnection(sock);
    net.release(session);
    emptySlot(handle);
    return reportStatus(LB_OUT_OF_MEMORY, message);
  }
  session->socket = sock;
  session->bufferSize = kInitialBufferSize;
  session->ioCapacity = kInitialBufferSize;
  session->bufferReady = 1;
  session->contCounter = kFirstContinuation;
  std::memcpy(session->replyTag, kHeadTag, sizeof session->replyTag);
  session->ioBuffer = io;
  session->readCursor = io;
  session->blockEnd = io;

  // Every failure from here on tears the session down; its texts are dropped.
  auto fail = [&](std::int32_t status) {
    if (status <= LB_SEND_FAILED && status >= LB_OUT_OF_MEMORY) reportStatus(status, message);
    disconnectSession(handle, nullptr);
    return status;
  };

  std::int32_t n = receiveReply(sock, io, kInitialBufferSize, session->replyTag);
  if (n < 0) return fail(n);

  char login[kLoginLength + 1];
  writeLoginMessage(identification, firstCredential, secondCredential, login);
  if (sendMessage(sock, login, kLoginLength, sizeof login, MessageKind::Login) < 0)
    return fail(LB_SEND_FAILED);

  n = receiveReply(sock, io, kInitialBufferSize, session->replyTag);
  if (n < 0) return fail(n);
  const std::int32_t status = replyStatus(io, n);
  if (status < 0) return fail(LB_SERVER_INACTIVE);
  copyReplyText(io, n, message, messageRoom(*session));
  if (status == 0) {
    parseServerInfo(*session, message);
    if (sizeBuffer(*session, message) != 0) return fail(LB_OUT_OF_MEMORY);
    return handle;
  }
  disconnectSession(handle, nullptr);
  return -status;
}

std::int32_t disconnectSession(std::int32_t handleArgument, char* message) {
  if (message != nullptr) message[0] = '\0';
  Session* session = nullptr;
  int handle = 0;
  if (const std::int32_t rc = checkHandle(handleArgument, &session, &handle); rc != 0) {
    return reportStatus(rc, message);
  }
  std::memcpy(session->replyTag, kHeadTag, sizeof session->replyTag);
  std::int32_t result = 0;
  std::strcpy(session->ioBuffer, kFarewell);
  if (sendMessage(session->socket, session->ioBuffer, static_cast<std::int32_t>(std::strlen(kFarewell)),
                  session->ioCapacity, MessageKind::Text) < 0) {
    result = reportStatus(LB_SEND_FAILED, message);
  } else {
    const std::int32_t n =
        receiveReply(session->socket, session->ioBuffer, session->bufferSize, session->replyTag);
    if (n < 0 || n < static_cast<std::int32_t>(kMinimumReplyLength)) {
      result = reportStatus(LB_RECEIVE_FAILED, message);
    } else {
      copyReplyText(session->ioBuffer, n, message, messageRoom(*session));
    }
  }
  closeConnection(session->socket);
  releaseSession(session);
  emptySlot(handle);
  return result;
}

}  // namespace lumbra
