// Slowing down password guessing: failed logins counted per client address, and a growing wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace lumbra::server {

// Failures from one address are free up to kFreeFailures; after that each
// login from the address waits its turn, one every `base` * 2^(failures -
// kFreeFailures) (at most kMaxDelay), so parallel connections gain nothing.
// An address is forgiven kForgiveAfter after its last failure.
class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kFreeFailures = 3;
  static constexpr auto kMaxDelay = std::chrono::seconds(5);
  static constexpr auto kForgiveAfter = std::chrono::seconds(60);

  // `base` zero: no waiting at all.
  explicit LoginThrottle(std::chrono::milliseconds base) : base_(base) {}

  // When a login from `address` arriving `now` may be checked (its turn is reserved).
  Clock::time_point admit(std::uint32_t address, Clock::time_point now);

  // Records a failed login; returns the wait now in force for the address.
  std::chrono::milliseconds failed(std::uint32_t address, Clock::time_point now);

 private:
  struct Entry {
    int failures = 0;
    Clock::time_point last;
    Clock::time_point next;  // the next free turn
  };
  std::chrono::milliseconds delay(int failures) const;
  void prune(Clock::time_point now);

  std::chrono::milliseconds base_;
  std::mutex mutex_;
  std::unordered_map<std::uint32_t, Entry> entries_;
};

}  // namespace lumbra::server
