// Fuzz target: what the server sends to lumbra32, through the platform's socket table (no sockets).
//
// Input: byte 0 sets how receives deliver (bytes per call; whether the end of
// the input reads as a closed connection or a failed receive). Then, in turn,
// one byte picks the next call of a scripted session (connect, a command, rows,
// binary insert, disconnect) and a byte its handle or command; every receive
// the call makes takes the following bytes, never past the next "LBXEOB", so
// the input reads as the replies of a server.
// Invariants: no read or write outside a buffer (every message buffer is a heap
// block of exactly the documented size); results are in their documented
// ranges; the session table stays sound after every call; at the end, with
// every session closed, every block, socket and start was given back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "client/lumbra32.h"
#include "client/session.h"
#include "fuzz/scratch_dir.h"
#include "platform/net.h"

namespace {

using fuzzing::check;
using lumbra::Session;

// Larger blocks fail, as on a small machine. Kept below the size where the
// sanitizer's allocator maps fresh pages for every block (which would make
// each input with a large ",ML=" cost milliseconds); a buffer sizing that
// fails for lack of memory is still reached with any larger value.
constexpr std::size_t kLargestBlock = 120'000;

struct Stream {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t position = 0;
  int chunk = 0;          // bytes per receive (0: as many as asked)
  bool endFails = false;  // at the end of the input: -1 instead of 0
  int blocks = 0, sockets = 0, starts = 0, nextSocket = 3;

  bool empty() const { return position >= size; }
  std::uint8_t byte() { return empty() ? 0 : data[position++]; }
};

Stream stream;

int receive(std::int32_t, char* buffer, int length) {
  if (stream.empty()) return stream.endFails ? -1 : 0;
  if (length <= 0) return 0;
  std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), stream.size - stream.position);
  if (stream.chunk > 0) n = std::min<std::size_t>(n, static_cast<std::size_t>(stream.chunk));
  std::string_view rest(reinterpret_cast<const char*>(stream.data + stream.position), n);
  if (std::size_t marker = rest.find("LBXEOB"); marker != std::string_view::npos) n = marker + 6;
  std::memcpy(buffer, stream.data + stream.position, n);  // within the length the library gave
  stream.position += n;
  return static_cast<int>(n);
}

void installCalls() {
  auto& n = platform::netCalls();
  n.startup = [] {
    ++stream.starts;
    return 0;
  };
  n.cleanup = [] { --stream.starts; };
  n.openSocket = []() -> std::int32_t {
    ++stream.sockets;
    return stream.nextSocket++ % 30000;
  };
  n.connectSocket = [](std::int32_t, std::uint32_t, std::uint16_t) { return 0; };
  n.sendBytes = [](std::int32_t, const char* data, int length) {
    check(length > 0, "a send of nothing");
    volatile char touch = data[0];  // the whole message is readable
    touch = data[length - 1];
    (void)touch;
    return length;
  };
  n.receiveBytes = receive;
  n.closeSocket = [](std::int32_t) { --stream.sockets; };
  n.lastError = [] { return 0; };
  n.setLastError = [](int) {};
  n.allocate = [](std::size_t size) -> void* {
    if (size > kLargestBlock) return nullptr;
    ++stream.blocks;
    return std::calloc(1, size == 0 ? 1 : size);
  };
  n.release = [](void* block) {
    if (block == nullptr) return;
    --stream.blocks;
    std::free(block);
  };
}

// The session table: every live session is whole, and no slot stays reserved.
void checkTable() {
  int lowestEmpty = -1;
  for (int h = 0; h < lumbra::kMaxSessions; ++h) {
    Session* s = lumbra::sessionAt(h);
    if (s == nullptr) {
      if (lowestEmpty < 0) lowestEmpty = h;
      continue;
    }
    check(s->ioBuffer != nullptr && s->socket >= 0, "a live session without buffer or socket");
    check(s->ioCapacity >= 17, "a session buffer below the smallest reply");
    check(s->bufferReady == 0 || s->bufferSize + 0 <= s->ioCapacity, "bufferSize beyond the buffer");
    check(s->readCursor >= s->ioBuffer && s->readCursor <= s->ioBuffer + s->ioCapacity, "readCursor outside");
    check(s->blockEnd >= s->ioBuffer && s->blockEnd <= s->ioBuffer + s->ioCapacity, "blockEnd outside");
    check(s->rowsLeft >= 0, "negative rows left");
  }
  const int reserved = lumbra::reserveSlot();
  check(reserved == lowestEmpty, "a slot stayed reserved");
  if (reserved >= 0) lumbra::emptySlot(reserved);
}

// A message buffer of exactly the documented size for the session.
std::vector<char> messageFor(std::int32_t handle, bool forRow) {
  std::size_t size = 1901;
  if (handle >= 0 && handle < lumbra::kMaxSessions) {
    if (Session* s = lumbra::sessionAt(handle)) {
      size = static_cast<std::size_t>(std::max(s->bufferSize, 0)) + 1;
      if (forRow) size = std::max(size, static_cast<std::size_t>(std::max(s->rowLength, 0)) + 1);
    }
  }
  size = std::max<std::size_t>(size, 256);  // the library's own texts
  return std::vector<char>(size, 'M');
}

void checkMessage(const std::vector<char>& message) {
  check(std::memchr(message.data(), 0, message.size()) != nullptr, "message buffer left without a NUL");
}

const char* const kCommands[] = {
    "SELECT A, B FROM T",
    "INSERT INTO T VALUES ('AAAAAAAAAAAAAAAA', 1)",
    "UPDATE T SET A = '@@@@' WHERE B = 2",
    "DELETE FROM T",
    "COMMIT",
    "ROLLBACK",
    "EXEC P 1",
    "SET ML=4000",
    "SET BUSY_TIMEOUT=0",
    "GETSET SERVERINFO",
    "GETSET CLIENTID",
    "GETSET ML",
    "PARM A=1",
    "BOGUS WORD",
    "",
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  installCalls();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  stream = Stream{data, size};
  const std::uint8_t mode = stream.byte();
  static const int kChunks[] = {0, 1, 5, 64};
  stream.chunk = kChunks[mode & 3];
  stream.endFails = (mode & 4) != 0;

  std::vector<std::int32_t> open;
  static const std::vector<char> longCommand = [] {
    std::vector<char> text(40000, 'X');
    std::memcpy(text.data(), "INSERT ", 7);
    text.back() = '\0';
    return text;
  }();

  for (int step = 0; step < 64 && !stream.empty(); ++step) {
    const std::uint8_t op = stream.byte();
    const std::uint8_t pick = stream.byte();
    std::int32_t handle = open.empty() ? static_cast<std::int32_t>(pick % 3) - 1 : open[pick % open.size()];
    if (pick >= 250) handle = static_cast<std::int32_t>(pick) * 1000;  // a bad handle
    switch (op % 7) {
      case 0: {
        if (open.size() >= 4) break;
        std::vector<char> message(1901);
        const std::int32_t h =
            LBConnect("OPERADOR", "SENHA", pick & 1 ? "NOVA" : "", "127.0.0.1:3001", message.data());
        checkMessage(message);
        check(h >= -9999 && h < lumbra::kMaxSessions, "LBConnect result out of range");
        if (h >= 0) open.push_back(h);
        break;
      }
      case 1:
      case 2: {
        const char* command = kCommands[stream.byte() % (sizeof kCommands / sizeof kCommands[0])];
        if (op % 7 == 2 && (pick & 1)) command = longCommand.data();
        std::vector<char> message = messageFor(handle, false);
        const std::int32_t rc = LBCommand(handle, command, message.data());
        checkMessage(message);
        check(rc >= -9999, "LBCommand result out of range");
        break;
      }
      case 3: {
        for (int row = 0; row < 1 + (pick & 15); ++row) {
          std::vector<char> message = messageFor(handle, true);
          const std::int32_t rc = LBGetNext(handle, message.data());
          checkMessage(message);
          if (rc >= 0) {
            check(static_cast<std::size_t>(rc) < message.size(), "a row longer than the documented buffer");
            check(message[static_cast<std::size_t>(rc)] == '\0', "a row without its terminator");
          }
          if (rc < 0) break;
        }
        break;
      }
      case 4: {
        const std::size_t length = stream.byte();
        const char prefix[] = "INSERT INTO T (A) VALUES =";
        std::vector<char> command(sizeof prefix - 1 + 9 + length + 2);
        std::memcpy(command.data(), prefix, sizeof prefix);
        std::vector<unsigned char> bytes(length, static_cast<unsigned char>(pick));
        if (LBInsertBin(handle, command.data(), bytes.data(), static_cast<std::int32_t>(length)) == 0) {
          std::vector<char> message = messageFor(handle, false);
          LBCommand(handle, command.data(), message.data());
          checkMessage(message);
        }
        break;
      }
      case 5:
      case 6: {
        std::vector<char> message = messageFor(handle, false);
        const std::int32_t rc = LBDisconn(handle, message.data());
        checkMessage(message);
        check(rc == 0 || rc == -1 || rc == -2 || rc == -13 || rc == -14, "LBDisconn result out of range");
        if (rc != -13 && rc != -14) open.erase(std::find(open.begin(), open.end(), handle));
        break;
      }
    }
    checkTable();
  }
  for (std::int32_t h : open) {
    std::vector<char> message = messageFor(h, false);
    LBDisconn(h, message.data());
  }
  checkTable();
  check(stream.blocks == 0, "blocks not given back");
  check(stream.sockets == 0, "sockets not closed");
  check(stream.starts == 0, "socket library starts not released");
  return 0;
}
