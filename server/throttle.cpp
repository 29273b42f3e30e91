// The per-address login throttle.
#include "server/throttle.h"

#include <algorithm>

namespace lumbra::server {

std::chrono::milliseconds LoginThrottle::delay(int failures) const {
  if (base_.count() <= 0 || failures < kFreeFailures) return std::chrono::milliseconds(0);
  int doublings = std::min(failures - kFreeFailures, 20);
  auto wait = base_ * (1LL << doublings);
  return std::min<std::chrono::milliseconds>(wait, kMaxDelay);
}

void LoginThrottle::prune(Clock::time_point now) {
  if (entries_.size() < 4096) return;
  for (auto it = entries_.begin(); it != entries_.end();) {
    it = now - it->second.last > kForgiveAfter ? entries_.erase(it) : std::next(it);
  }
}

LoginThrottle::Clock::time_point LoginThrottle::admit(std::uint32_t address, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find(address);
  if (found == entries_.end()) return now;
  Entry& entry = found->second;
  if (now - entry.last > kForgiveAfter) {
    entries_.erase(found);
    return now;
  }
  auto wait = delay(entry.failures);
  if (wait.count() == 0) return now;
  Clock::time_point turn = std::max(now, entry.next);
  entry.next = turn + wait;
  return turn;
}

std::chrono::milliseconds LoginThrottle::failed(std::uint32_t address, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  prune(now);
  Entry& entry = entries_[address];
  if (entry.failures > 0 && now - entry.last > kForgiveAfter) entry = Entry{};
  ++entry.failures;
  entry.last = now;
  auto wait = delay(entry.failures);
  entry.next = std::max(entry.next, now + wait);
  return wait;
}

}  // namespace lumbra::server
