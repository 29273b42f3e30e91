// The event log on standard error.
#include "server/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace lumbra::server {

namespace {
std::mutex gLogMutex;
std::atomic<bool> gLogging{true};
}  // namespace

void setLogging(bool enabled) { gLogging = enabled; }

void logLine(std::string_view text) {
  if (!gLogging) return;
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  std::string line = stamp;
  line.append(text);
  line.push_back('\n');
  std::lock_guard lock(gLogMutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace lumbra::server
