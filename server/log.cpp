// The event log: standard error or a file reopened on SIGHUP; text or JSON lines.
#include "server/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

namespace lumbra::server {

namespace {
std::mutex gLogMutex;
std::atomic<bool> gLogging{true};
std::atomic<LogFormat> gFormat{LogFormat::Text};
int gFile = 2;  // standard error until --log
std::string gPath;

std::string timestamp() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return stamp;
}

void write(const LogContext* context, std::string_view text) {
  if (!gLogging) return;
  std::string line;
  if (gFormat == LogFormat::Json) {
    line = "{\"time\":\"" + timestamp() + "\"";
    if (context != nullptr) {
      line += ",\"session\":" + std::to_string(context->session) + ",\"client\":" + jsonString(context->client);
      if (!context->user.empty()) line += ",\"user\":" + jsonString(context->user);
    }
    line += ",\"message\":" + jsonString(text) + "}\n";
  } else {
    line = timestamp() + " ";
    if (context != nullptr) {
      line += "session " + std::to_string(context->session) + " " + context->client;
      if (!context->user.empty()) line += " user " + context->user;
      line += ": ";
    }
    line.append(text);
    line.push_back('\n');
  }
  std::lock_guard lock(gLogMutex);
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(gFile, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a full disk loses the line, not the server
    done += static_cast<std::size_t>(n);
  }
}

int openAppend(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
}

}  // namespace

void setLogging(bool enabled) { gLogging = enabled; }

void setLogFormat(LogFormat format) { gFormat = format; }

void logLine(std::string_view text) { write(nullptr, text); }

void logLine(const LogContext& context, std::string_view text) { write(&context, text); }

bool openLogFile(const std::string& path, std::string& error) {
  int fd = openAppend(path);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  std::lock_guard lock(gLogMutex);
  if (gFile != 2) ::close(gFile);
  gFile = fd;
  gPath = path;
  return true;
}

void reopenLogFile() {
  std::string failure;
  {
    std::lock_guard lock(gLogMutex);
    if (gPath.empty()) return;
    int fd = openAppend(gPath);
    if (fd < 0) {
      failure = std::strerror(errno);
    } else {
      ::close(gFile);
      gFile = fd;
    }
  }
  if (failure.empty()) {
    logLine("log file reopened");
  } else {
    logLine("cannot reopen the log file " + gPath + " (" + failure + "): the log goes on in the file it had");
  }
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20 || byte >= 0x7F) {
      // Bytes beyond ASCII are shown by their value: the log stays valid
      // UTF-8 whatever a client sent.
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

}  // namespace lumbra::server
