// The sessions of the running server as the operator sees them: who is connected and what each runs.
//
// The connection code reports to the registry at a few points of a session's
// life (opened, a message taken, its reply handed out, closed); the registry
// keeps one row per session for `lumbra-server status`, switches the trace of
// a session or of a user's sessions on and off at run time (`lumbra-server
// trace`), writes the trace lines, and counts for the metrics (metrics.h).
// Every member is safe to call from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "server/framing.h"
#include "server/log.h"

namespace lumbra::server {

class SessionLogic;

// One session, as `status` lists it.
struct SessionRow {
  std::uint64_t session = 0;
  std::string client;        // ADDRESS:PORT
  std::string user;          // empty before the login
  std::string state;         // "login", "idle" or "running"
  std::string command;       // the command word of the message running, or of the last one
  double commandSeconds = 0; // how long the message has run (running), or took (idle)
  double idleSeconds = 0;    // since the last reply was handed out (0 while running)
  bool transaction = false;  // a write transaction is open
  long long rowsPending = 0; // rows of the open result not yet sent
  bool traced = false;
};

// The command word of a message, for the status, the trace and the metrics:
// "LOGIN", "BINARY INSERT", or the word its text is known by (commandWord,
// protocol/commands.h) up to a '=' or ',' (CONT=001 is CONT, FIM,... FIM).
std::string messageWord(const Frame& frame);

class SessionRegistry {
 public:
  void opened(std::uint64_t session, const std::string& client);
  void closed(std::uint64_t session);
  // A message is taken up for handling.
  void began(std::uint64_t session, const Frame& frame);
  // Its reply is handed out: `logic` tells the user, the transaction and the
  // rows pending (read on the session's own strand); a traced session (or
  // every session, `traceAll`) gets its trace line: the message's text (a
  // login's credentials never), the reply's status and the duration.
  void ended(std::uint64_t session, const Frame& frame, const std::string& reply, const SessionLogic& logic,
             bool traceAll);
  // The context of a session's log lines: its number, client and user.
  LogContext context(std::uint64_t session) const;

  // Switches the trace of one session, or of every session of `user` (also
  // those that log in later, until it is switched off). Returns the sessions
  // open now that it applies to.
  int traceSession(std::uint64_t session, bool on);
  int traceUser(const std::string& user, bool on);

  std::vector<SessionRow> rows() const;

 private:
  struct Entry {
    std::string client;
    std::string user;
    bool loggedIn = false;
    bool running = false;
    std::string command;
    std::chrono::steady_clock::time_point commandStarted{};
    std::chrono::steady_clock::duration commandTook{};
    std::chrono::steady_clock::time_point lastReply{};
    bool transaction = false;
    long long rowsPending = 0;
    bool traced = false;
  };
  bool tracedLocked(const Entry& entry) const;

  mutable std::mutex mutex_;
  std::map<std::uint64_t, Entry> sessions_;
  std::set<std::string> tracedUsers_;
};

// The registry of this process's server.
SessionRegistry& sessionRegistry();

// The table `lumbra-server status` prints.
std::string statusTable(const std::vector<SessionRow>& rows);

}  // namespace lumbra::server
