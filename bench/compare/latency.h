// Latencies of single operations, kept one by one, and their percentiles.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <vector>

namespace lumbra::bench {

class Latencies {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Latencies(std::size_t expected = 0) { microseconds_.reserve(expected); }

  Clock::time_point start() const { return Clock::now(); }
  void stop(Clock::time_point started) {
    microseconds_.push_back(std::chrono::duration<float, std::micro>(Clock::now() - started).count());
  }
  void add(const std::vector<float>& more) {
    microseconds_.insert(microseconds_.end(), more.begin(), more.end());
  }
  const std::vector<float>& all() const { return microseconds_; }

  // The latency that `percent` of the operations did not exceed (nearest rank), in microseconds.
  double percentile(double percent) {
    if (microseconds_.empty()) return 0;
    std::sort(microseconds_.begin(), microseconds_.end());
    const double rank = std::ceil(percent / 100.0 * static_cast<double>(microseconds_.size()));
    const std::size_t at =
        std::min(microseconds_.size() - 1, static_cast<std::size_t>(std::max(1.0, rank)) - 1);
    return microseconds_[at];
  }

 private:
  std::vector<float> microseconds_;
};

}  // namespace lumbra::bench
