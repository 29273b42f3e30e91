// The event log: one line per event, whole lines even from several threads, as text or JSON.
//
// Lines go to standard error, or to the file of --log, which SIGHUP reopens
// (after a rotation moved it away). A text line is "<UTC time> <text>"; a
// session's line adds "session N ADDRESS:PORT" and, once logged in, "user ID".
// A JSON line is one object: {"time":..., "session":N, "client":..., "user":...,
// "message":...}, the session's keys only on a session's lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumbra::server {

enum class LogFormat { Text, Json };

// Who a session's line is about.
struct LogContext {
  std::uint64_t session = 0;
  std::string client;  // ADDRESS:PORT
  std::string user;    // empty until the login
};

// Writes one line, unless logging is off.
void logLine(std::string_view text);
void logLine(const LogContext& context, std::string_view text);

// Turns logging on or off for the whole process (tests keep it quiet).
void setLogging(bool enabled);

void setLogFormat(LogFormat format);

// Appends the log to `path` from now on (created with mode 0640). False with
// `error` when it cannot be opened; the log stays where it was.
bool openLogFile(const std::string& path, std::string& error);

// Opens the log file again under its name (SIGHUP). When that fails the log
// goes on in the file it had, and a line says why.
void reopenLogFile();

// The text of `text` as a JSON string, quotes included.
std::string jsonString(std::string_view text);

}  // namespace lumbra::server
