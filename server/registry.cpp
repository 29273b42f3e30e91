// The sessions of the running server: their rows for `status`, the trace switches and lines, the counts for the metrics.
#include "server/registry.h"

#include <cstdio>

#include "protocol/commands.h"
#include "protocol/wire.h"
#include "server/metrics.h"
#include "server/session.h"
#include "server/status.h"

namespace lumbra::server {

namespace {

using SteadyClock = std::chrono::steady_clock;

double secondsOf(SteadyClock::duration duration) {
  return std::chrono::duration_cast<std::chrono::duration<double>>(duration).count();
}

// "status 0000", or "block LBXnnn" for a continuation block.
std::string replyStatus(const std::string& reply) {
  if (reply.starts_with(kHeadTag) && reply.size() >= kStatusOffset + 4) return "status " + reply.substr(kStatusOffset, 4);
  return "block " + reply.substr(0, std::min<std::size_t>(reply.size(), 6));
}

// A message for the trace: its length, command word and text as sent (at
// most 2000 characters, printable ASCII); a login's credentials never.
std::string traceText(const Frame& frame) {
  switch (frame.kind) {
    case Frame::Kind::Login:
      return "login";
    case Frame::Kind::Malformed:
      return "malformed binary insert";
    case Frame::Kind::Oversized:
      return "oversized message";
    case Frame::Kind::BinaryInsert:
    case Frame::Kind::Ordinary:
      break;
  }
  std::string text = hostText(std::string_view(frame.text).substr(0, 2000), false);
  if (frame.text.size() > 2000) text += "...";
  if (frame.kind == Frame::Kind::BinaryInsert) {
    return "binary insert, " + std::to_string(frame.data.size()) + " data bytes \"" + text + "\"";
  }
  return std::to_string(frame.text.size()) + " bytes " + messageWord(frame) + " \"" + text + "\"";
}

}  // namespace

std::string messageWord(const Frame& frame) {
  switch (frame.kind) {
    case Frame::Kind::Login:
      return "LOGIN";
    case Frame::Kind::BinaryInsert:
    case Frame::Kind::Malformed:
      return "BINARY INSERT";
    case Frame::Kind::Oversized:
      return "OVERSIZED";
    case Frame::Kind::Ordinary:
      break;
  }
  // The word the server knows a command by, without what follows it there
  // in a continuation (CONT=001) or a farewell (FIM,...).
  std::string_view word = commandWord(frame.text);
  word = word.substr(0, word.find_first_of("=,"));
  return hostText(word, false);
}

void SessionRegistry::opened(std::uint64_t session, const std::string& client) {
  {
    std::lock_guard lock(mutex_);
    Entry& entry = sessions_[session];
    entry.client = client;
    entry.lastReply = SteadyClock::now();
  }
  metrics().sessionOpened();
}

void SessionRegistry::closed(std::uint64_t session) {
  {
    std::lock_guard lock(mutex_);
    if (sessions_.erase(session) == 0) return;
  }
  metrics().sessionClosed();
}

void SessionRegistry::began(std::uint64_t session, const Frame& frame) {
  std::lock_guard lock(mutex_);
  auto found = sessions_.find(session);
  if (found == sessions_.end()) return;
  Entry& entry = found->second;
  entry.running = true;
  entry.command = messageWord(frame);
  entry.commandStarted = SteadyClock::now();
}

void SessionRegistry::ended(std::uint64_t session, const Frame& frame, const std::string& reply,
                            const SessionLogic& logic, bool traceAll) {
  const SteadyClock::time_point now = SteadyClock::now();
  const std::string word = messageWord(frame);
  SteadyClock::duration took{};
  bool traced = traceAll;
  bool loggedInNow = false;
  LogContext context;
  {
    std::lock_guard lock(mutex_);
    auto found = sessions_.find(session);
    if (found == sessions_.end()) return;
    Entry& entry = found->second;
    if (entry.running) took = now - entry.commandStarted;
    entry.running = false;
    entry.command = word;
    entry.commandTook = took;
    entry.lastReply = now;
    loggedInNow = !entry.loggedIn && logic.loggedIn();
    entry.loggedIn = logic.loggedIn();
    entry.user = logic.user();
    entry.transaction = logic.inTransaction();
    entry.rowsPending = logic.rowsPending();
    traced = traced || tracedLocked(entry);
    context = LogContext{session, entry.client, entry.loggedIn ? entry.user : std::string()};
  }
  const std::string status = replyStatus(reply);
  if (frame.kind == Frame::Kind::Login) {
    metrics().login(loggedInNow ? "ok" : status == "status 0102" ? "refused" : "failed");
  }
  metrics().message(word, secondsOf(took));
  metrics().bytesOut(reply.size());
  if (traced) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f ms", secondsOf(took) * 1000.0);
    logLine(context, "<- " + traceText(frame) + ", -> " + std::to_string(reply.size()) + " bytes " + status +
                         " in " + duration);
  }
}

LogContext SessionRegistry::context(std::uint64_t session) const {
  std::lock_guard lock(mutex_);
  auto found = sessions_.find(session);
  if (found == sessions_.end()) return LogContext{session, "?", ""};
  return LogContext{session, found->second.client, found->second.loggedIn ? found->second.user : std::string()};
}

bool SessionRegistry::tracedLocked(const Entry& entry) const {
  return entry.traced || (entry.loggedIn && tracedUsers_.count(entry.user) > 0);
}

int SessionRegistry::traceSession(std::uint64_t session, bool on) {
  std::lock_guard lock(mutex_);
  auto found = sessions_.find(session);
  if (found == sessions_.end()) return 0;
  found->second.traced = on;
  return 1;
}

int SessionRegistry::traceUser(const std::string& user, bool on) {
  std::lock_guard lock(mutex_);
  if (on) {
    tracedUsers_.insert(user);
  } else {
    tracedUsers_.erase(user);
  }
  int count = 0;
  for (auto& [id, entry] : sessions_) {
    if (entry.loggedIn && entry.user == user) {
      if (!on) entry.traced = false;
      ++count;
    }
  }
  return count;
}

std::vector<SessionRow> SessionRegistry::rows() const {
  const SteadyClock::time_point now = SteadyClock::now();
  std::vector<SessionRow> rows;
  std::lock_guard lock(mutex_);
  for (const auto& [id, entry] : sessions_) {
    SessionRow row;
    row.session = id;
    row.client = entry.client;
    row.user = entry.loggedIn ? entry.user : "";
    row.state = entry.running ? "running" : entry.loggedIn ? "idle" : "login";
    row.command = entry.command;
    row.commandSeconds = secondsOf(entry.running ? now - entry.commandStarted : entry.commandTook);
    row.idleSeconds = entry.running ? 0 : secondsOf(now - entry.lastReply);
    row.transaction = entry.transaction;
    row.rowsPending = entry.rowsPending;
    row.traced = tracedLocked(entry);
    rows.push_back(row);
  }
  return rows;
}

SessionRegistry& sessionRegistry() {
  static SessionRegistry registry;
  return registry;
}

std::string statusTable(const std::vector<SessionRow>& rows) {
  std::string out;
  char line[256];
  std::snprintf(line, sizeof line, "%-8s %-21s %-11s %-7s %-16s %9s %9s %-5s %10s %s\n", "SESSION", "CLIENT", "USER",
                "STATE", "COMMAND", "TOOK/RUNS", "IDLE", "TRANS", "ROWS", "TRACE");
  out += line;
  for (const SessionRow& row : rows) {
    std::snprintf(line, sizeof line, "%-8llu %-21s %-11s %-7s %-16s %8.3fs %8.1fs %-5s %10lld %s\n",
                  static_cast<unsigned long long>(row.session), row.client.c_str(),
                  row.user.empty() ? "-" : row.user.c_str(), row.state.c_str(),
                  row.command.empty() ? "-" : row.command.c_str(), row.commandSeconds, row.idleSeconds,
                  row.transaction ? "open" : "-", row.rowsPending, row.traced ? "on" : "-");
    out += line;
  }
  return out;
}

}  // namespace lumbra::server
