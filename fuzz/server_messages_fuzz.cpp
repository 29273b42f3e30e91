// Fuzz target: lumbra-server's message handling (framing and session logic, no sockets).
//
// Input: byte 0 sets whether the session logs in properly first and how the
// bytes arrive (all at once or in small pieces); the rest is what the client
// sends: greetings, logins, batches, binary inserts, CONT=, nonsense.
// A second, well-behaved session runs a query after every message of the first.
// Invariants: no crash; every reply is framed ("LBX000", four digits, text,
// "LBXEOB"; a continuation block "LBX" and three digits, rows, "LBXEOB") and no longer than the reply limit in force when the message came;
// the other session always gets its answer.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "client/credentials.h"
#include "client/wire.h"
#include "fuzz/scratch_dir.h"
#include "server/framing.h"
#include "server/session.h"
#include "server/users.h"

namespace {

using fuzzing::check;
using lumbra::server::Clock;
using lumbra::server::Frame;
using lumbra::server::FrameReader;
using lumbra::server::SessionLogic;

struct World {
  fuzzing::ScratchDir dir{"server-fuzz"};
  lumbra::server::ServerSettings settings;
  std::unique_ptr<lumbra::server::UserStore> users;

  World() {
    settings.databasePath = dir.file("fuzz.db");
    settings.messageLength = 4000;
    settings.busyTimeoutMs = 50;
    settings.statementTimeoutS = 1;  // runaway SQL ends well inside the fuzzer's time-out
    std::string error;
    users = lumbra::server::UserStore::open(settings.databasePath, error);
    check(users != nullptr, "user store does not open");
    users->add("OPERADOR", "SENHA", 1);
  }
};

// The client's login message for OPERADOR / SENHA.
std::string loginMessage() {
  char area[lumbra::kCredentialAreaLength];
  std::memset(area, ' ', sizeof area);
  std::memcpy(area, "OPERADOR", 8);
  std::memcpy(area + lumbra::kIdentificationLength, "SENHA", 5);
  char block[lumbra::kCredentialBlockLength + 1];
  lumbra::scrambleCredentials(area, block);
  return std::string(lumbra::kLoginHead) + std::string(block, lumbra::kCredentialBlockLength) +
         lumbra::kClientVersion + "\"";
}

void checkReply(const SessionLogic::Outcome& outcome, std::size_t limit) {
  const std::string& r = outcome.reply;
  check(r.size() >= lumbra::kMinimumReplyLength, "reply shorter than head, status and marker");
  check(r.size() <= limit, "reply longer than the announced message length allows");
  check(r.compare(0, 3, "LBX") == 0, "reply without its head");
  for (std::size_t i = 3; i < lumbra::kHeadTagLength; ++i)
    check(r[i] >= '0' && r[i] <= '9', "reply head not LBX and three digits");
  if (r.compare(0, lumbra::kHeadTagLength, lumbra::kHeadTag) == 0) {  // not a continuation block
    for (std::size_t i = lumbra::kStatusOffset; i < lumbra::kStatusOffset + 4; ++i)
      check(r[i] >= '0' && r[i] <= '9', "reply status not four digits");
  }
  check(r.compare(r.size() - 6, 6, lumbra::kEndOfBlock) == 0, "reply without its marker");
}

// Hands one frame to a session as the connection does, busy retries included.
SessionLogic::Outcome deliver(SessionLogic& session, const Frame& frame, Clock::time_point& now) {
  const std::size_t limit = session.replyLimit();
  for (int attempt = 0; attempt < 4; ++attempt) {
    SessionLogic::Outcome outcome = session.handle(frame, now);
    if (!outcome.retry) {
      checkReply(outcome, limit);
      return outcome;
    }
    now += std::chrono::minutes(30);  // past any busy time-out the session may have set
  }
  fuzzing::fail("a busy write lock is retried forever");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static World world;
  static const std::string login = loginMessage();
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  ++data;
  --size;
  auto ignore = [](const std::string&) {};
  Clock::time_point now = Clock::now();

  SessionLogic witness(world.settings, *world.users, 0x7F000001u, ignore);
  FrameReader witnessReader(lumbra::kInitialBufferSize + 1024);
  auto witnessAsks = [&](const std::string& message) {
    witnessReader.feed(message.data(), message.size());
    std::optional<Frame> frame = witnessReader.next();
    check(frame.has_value(), "the witness's message is not framed");
    SessionLogic::Outcome outcome = deliver(witness, *frame, now);
    witnessReader.setLimit(witness.inputLimit());
    check(outcome.reply.compare(0, 10, "LBX0000000") == 0, "the other session was disturbed");
  };
  witnessAsks(std::string(lumbra::kGreeting) + lumbra::kEndOfBlock);
  witnessAsks(login);

  SessionLogic session(world.settings, *world.users, 0x7F000001u, ignore);
  FrameReader reader(lumbra::kInitialBufferSize + 1024);
  if (mode & 1) {
    std::string start = std::string(lumbra::kGreeting) + lumbra::kEndOfBlock + login;
    reader.feed(start.data(), start.size());
  }
  const std::size_t piece = (mode & 2) ? 1 + (mode >> 2) : size;
  bool closed = false;
  int frames = 0;
  for (std::size_t at = 0; at < size && !closed;) {
    const std::size_t n = std::min(piece, size - at);
    reader.feed(reinterpret_cast<const char*>(data + at), n);
    at += n;
    while (std::optional<Frame> frame = reader.next()) {
      SessionLogic::Outcome outcome = deliver(session, *frame, now);
      reader.setLimit(session.inputLimit());
      if (++frames % 4 == 0) witnessAsks("SELECT 1" + std::string(lumbra::kEndOfBlock));
      if (outcome.close) {
        closed = true;
        break;
      }
    }
  }
  witnessAsks("SELECT 1" + std::string(lumbra::kEndOfBlock));
  return 0;
}
