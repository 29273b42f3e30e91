// The server's metrics, counted as it runs and served to Prometheus over HTTP (--metrics HOST:PORT).
//
//   lumbra_sessions_open                       gauge: sessions open now
//   lumbra_sessions_total                      counter: sessions opened
//   lumbra_logins_total{outcome}               counter: ok, refused (0102), failed (any other refusal)
//   lumbra_messages_total{command}             counter: messages by command word (a fixed set, and OTHER)
//   lumbra_message_duration_seconds{le}        histogram: from taking a message up to handing its reply out
//   lumbra_received_bytes_total                counter: bytes read from clients
//   lumbra_sent_bytes_total                    counter: bytes of replies handed out
//   lumbra_sqlite_busy_waits_total             counter: retries of an update that found the write lock taken
//   lumbra_postgres_pool_connections{state}    gauge: PostgreSQL connections in use and idle (on PostgreSQL)
//
// The counters are process-wide atomics; reading them never holds up a session.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace lumbra::server {

class Metrics {
 public:
  void sessionOpened();
  void sessionClosed();
  void login(const std::string& outcome);
  void message(const std::string& commandWord, double seconds);
  void bytesIn(std::size_t bytes) { received_ += static_cast<long long>(bytes); }
  void bytesOut(std::size_t bytes) { sent_ += static_cast<long long>(bytes); }
  void busyWait() { busyWaits_ += 1; }
  // On PostgreSQL: where the pool's use is read (connections in use, idle).
  void setPoolReader(std::function<std::pair<long, long>()> reader);

  // The metrics in Prometheus's text format (version 0.0.4).
  std::string exposition() const;

  static constexpr std::array<const char*, 16> kCommands{
      "LUMT", "LOGIN", "FIM",    "SELECT", "CONT", "INSERT", "UPDATE", "DELETE",
      "COMMIT", "ROLLBACK", "EXEC", "SET", "GETSET", "PARM", "BINARY INSERT", "OTHER"};
  static constexpr std::array<double, 12> kBuckets{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                  0.05,   0.1,   0.25,   1,     5,    30};

 private:
  std::atomic<long long> open_{0};
  std::atomic<long long> opened_{0};
  std::atomic<long long> loginsOk_{0};
  std::atomic<long long> loginsRefused_{0};
  std::atomic<long long> loginsFailed_{0};
  std::array<std::atomic<long long>, kCommands.size()> messages_{};
  std::array<std::atomic<long long>, kBuckets.size()> buckets_{};  // not cumulative; summed when read
  std::atomic<long long> durationCount_{0};
  std::atomic<long long> durationMicros_{0};
  std::atomic<long long> received_{0};
  std::atomic<long long> sent_{0};
  std::atomic<long long> busyWaits_{0};
  mutable std::mutex poolMutex_;
  std::function<std::pair<long, long>()> pool_;
};

// This process's metrics.
Metrics& metrics();

// The HTTP endpoint: GET /metrics answers exposition(), anything else 404.
class MetricsEndpoint {
 public:
  MetricsEndpoint();
  ~MetricsEndpoint();  // stops serving
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // Binds HOST:PORT (a numeric IPv4 address) and serves on a thread of its
  // own. False with `error` when the address cannot be bound.
  bool start(const std::string& host, int port, std::string& error);
  int port() const { return port_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

}  // namespace lumbra::server
