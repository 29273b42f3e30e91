// Fuzz target: lumbra-server's message handling (framing and session logic, no sockets).
//
// Input: byte 0 sets whether the session logs in properly first and how the
// bytes arrive (all at once or in small pieces); the rest is what the client
// sends: greetings, logins, batches, binary inserts, CONT=, nonsense.
// A second, well-behaved session, logged in once for the whole run, runs a
// query after every fourth message of the first and at the end of each input.
// Invariants: no crash; every reply is framed ("LBX000", four digits, text,
// "LBXEOB"; a continuation block "LBX" and three digits, rows, "LBXEOB") and
// no longer than the reply limit in force when the message came;
// the other session always gets its answer.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "protocol/credentials.h"
#include "protocol/wire.h"
#include "fuzz/scratch_dir.h"  // check, fail
#include "server/framing.h"
#include "server/session.h"
#include "server/sqlite/backend.h"
#include "server/users.h"

namespace {

using fuzzing::check;
using lumbra::server::Clock;
using lumbra::server::Frame;
using lumbra::server::FrameReader;
using lumbra::server::SessionLogic;

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

bool digits(const std::string& text, std::size_t from, std::size_t count) {
  return text.size() >= from + count && std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from),
                                                    text.begin() + static_cast<std::ptrdiff_t>(from + count),
                                                    [](char c) { return c >= '0' && c <= '9'; });
}

// A reply is "LBX000", four status digits, text and the marker; the answer to
// CONT= may instead be a block: "LBX", three digits, rows (none for a row of
// length zero) and the marker.
void checkReply(const Frame& frame, const SessionLogic::Outcome& outcome, std::size_t limit) {
  const std::string& r = outcome.reply;
  const bool statusReply = r.size() >= lumbra::kMinimumReplyLength && r.starts_with(lumbra::kHeadTag) &&
                           digits(r, lumbra::kStatusOffset, 4);
  const bool block = !statusReply && frame.kind == Frame::Kind::Ordinary &&
                     frame.text.starts_with(lumbra::kContinuationPrefix);
  check(statusReply || block, "reply not LBX000 and four status digits");
  check(r.size() >= lumbra::kHeadTagLength + lumbra::kEndOfBlockLength,
        "reply shorter than its head and marker");
  check(r.size() <= limit, "reply longer than the announced message length allows");
  check(r.starts_with("LBX") && digits(r, 3, lumbra::kHeadTagLength - 3),
        "reply head not LBX and three digits");
  check(r.ends_with(lumbra::kEndOfBlock), "reply without its marker");
}

// Hands one frame to a session as the connection does, busy retries included.
SessionLogic::Outcome deliver(SessionLogic& session, const Frame& frame, Clock::time_point& now) {
  const std::size_t limit = session.replyLimit();
  for (int attempt = 0; attempt < 4; ++attempt) {
    SessionLogic::Outcome outcome = session.handle(frame, now);
    if (!outcome.retry) {
      checkReply(frame, outcome, limit);
      return outcome;
    }
    now += std::chrono::minutes(30);  // past any busy time-out the session may have set
  }
  fuzzing::fail("a busy write lock is retried forever");
}

std::string withMarker(const char* text) { return std::string(text) + lumbra::kEndOfBlock; }

// What outlives one input: the user store and the witness, a second session
// that logged in once and asks "SELECT 1" between the fuzzed session's messages.
// Sessions get a private in-memory database each, so the fuzzed session's
// tables and rows die with it, an input reproduces on its own, and no SQLite
// file is touched.
struct World {
  lumbra::server::ServerSettings settings;
  std::unique_ptr<lumbra::server::Backend> backend;
  std::unique_ptr<lumbra::server::UserStore> users;
  std::string storedHash;  // OPERADOR's, put back when an input changed the password
  std::unique_ptr<SessionLogic> witness;
  FrameReader witnessReader{lumbra::kInitialBufferSize + 1024};

  World() {
    settings.databasePath = ":memory:";
    settings.messageLength = 4000;
    settings.busyTimeoutMs = 50;
    settings.statementTimeout = std::chrono::milliseconds(10);  // runaway SQL costs little
    std::string error;
    backend = lumbra::server::openSqliteBackend(settings.databasePath);
    users = lumbra::server::UserStore::open(settings.databasePath, error);
    check(users != nullptr, "user store does not open");
    check(users->add("OPERADOR", "SENHA", 1) == lumbra::server::UserStore::Result::Ok,
          "the user is not added");
    storedHash = users->storedHash("OPERADOR").value_or("");
    witness =
        std::make_unique<SessionLogic>(settings, *backend, *users, 0x7F000001u, [](const std::string&) {});
    Clock::time_point now = Clock::now();
    witnessAsks(withMarker(lumbra::kGreeting), now);
    witnessAsks(loginMessage(), now);
  }

  void witnessAsks(const std::string& message, Clock::time_point& now) {
    witnessReader.feed(message.data(), message.size());
    std::optional<Frame> frame = witnessReader.next();
    check(frame.has_value(), "the witness's message is not framed");
    SessionLogic::Outcome outcome = deliver(*witness, *frame, now);
    witnessReader.setLimit(witness->inputLimit());
    check(outcome.reply.compare(0, 10, "LBX0000000") == 0, "the other session was disturbed");
  }

  void restorePassword() {
    if (users->storedHash("OPERADOR").value_or("") == storedHash) return;
    check(users->setPassword("OPERADOR", "SENHA", 1) == lumbra::server::UserStore::Result::Ok,
          "the password is not put back");
    storedHash = users->storedHash("OPERADOR").value_or("");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static World world;
  static const std::string login = loginMessage();
  static const std::string select = withMarker("SELECT 1");
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  ++data;
  --size;
  Clock::time_point now = Clock::now();

  SessionLogic session(world.settings, *world.backend, *world.users, 0x7F000001u, [](const std::string&) {});
  FrameReader reader(lumbra::kInitialBufferSize + 1024);
  if (mode & 1) {
    std::string start = withMarker(lumbra::kGreeting) + login;
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
      if (++frames % 4 == 0) world.witnessAsks(select, now);
      if (outcome.close) {
        closed = true;
        break;
      }
    }
  }
  world.witnessAsks(select, now);
  world.restorePassword();
  return 0;
}
