// Lanes, SQL slots with their queue of waiters, the monitor of long jobs and the helper threads.
#include "server/workers.h"

#include <algorithm>

namespace lumbra::server {

namespace {

// Ticks without a running job before the monitor sleeps until the next job begins.
constexpr int kIdleTicks = 50;
// How long a covering helper waits in its lane before it looks again whether the job ended.
constexpr auto kCoverSlice = std::chrono::milliseconds(20);

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

SlotLease& SlotLease::operator=(SlotLease&& other) noexcept {
  if (this != &other) {
    reset();
    workers_ = other.workers_;
    slot_ = other.slot_;
    other.slot_ = -1;
  }
  return *this;
}

void SlotLease::begin(Lane* lane) {
  if (slot_ >= 0) workers_->beginJob(slot_, lane);
}

void SlotLease::end() {
  if (slot_ >= 0) workers_->endJob(slot_);
}

void SlotLease::reset() {
  if (slot_ < 0) return;
  const int slot = slot_;
  slot_ = -1;
  workers_->endJob(slot);
  workers_->giveBack(slot);
}

Workers::Workers(int lanes, int slots)
    : slots_(static_cast<std::size_t>(std::max(1, slots) + std::max(1, lanes))),
      sqlSlots_(static_cast<std::size_t>(std::max(1, slots))),
      maxHelpers_(2 * static_cast<std::size_t>(std::max(1, slots)) +
                  static_cast<std::size_t>(std::max(1, lanes))) {
  for (int i = 0; i < std::max(1, lanes); ++i)
    lanes_.push_back(std::make_unique<Lane>(static_cast<std::size_t>(i)));
}

Workers::LaneWork::LaneWork(Workers& workers, Lane& lane)
    : workers_(workers), watch_(static_cast<int>(workers.sqlSlots_ + lane.index())) {
  workers_.beginJob(watch_, &lane);
}

Workers::LaneWork::~LaneWork() { workers_.endJob(watch_); }

Workers::~Workers() {
  {
    std::lock_guard lock(helperMutex_);
    helpersStop_ = true;
  }
  helperWake_.notify_all();
  for (std::thread& helper : helpers_) {
    if (helper.joinable()) helper.join();
  }
}

Lane& Workers::nextLane() { return *lanes_[nextLane_.fetch_add(1) % lanes_.size()]; }

void Workers::releaseLanes() {
  for (auto& lane : lanes_) lane->release();
}

void Workers::run() {
  std::thread watcher([this] { monitor(); });
  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < lanes_.size(); ++i) threads.emplace_back([this, i] { lanes_[i]->io().run(); });
  lanes_[0]->io().run();
  for (std::thread& thread : threads) thread.join();
  {
    std::lock_guard lock(monitorMutex_);
    monitorStop_ = true;
  }
  monitorWake_.notify_all();
  watcher.join();
  {
    std::lock_guard lock(helperMutex_);
    helpersStop_ = true;
  }
  helperWake_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
  helpers_.clear();
}

// ---------------------------------------------------------------- slots

SlotLease Workers::tryAcquire() {
  // Those who wait come first.
  if (waiting_.load() > 0) return {};
  for (std::size_t i = 0; i < sqlSlots_; ++i) {
    bool expected = false;
    if (slots_[i].taken.compare_exchange_strong(expected, true)) return SlotLease(this, static_cast<int>(i));
  }
  return {};
}

void Workers::whenSlotFree(std::function<void(SlotLease)> granted) {
  std::unique_lock lock(waitMutex_);
  // Counted before looking, so that a slot given back meanwhile is either
  // seen here or handed to this waiter by giveBack.
  ++waiting_;
  if (waiters_.empty()) {
    for (std::size_t i = 0; i < sqlSlots_; ++i) {
      bool expected = false;
      if (slots_[i].taken.compare_exchange_strong(expected, true)) {
        --waiting_;
        lock.unlock();
        granted(SlotLease(this, static_cast<int>(i)));
        return;
      }
    }
  }
  waiters_.push_back(std::move(granted));
}

void Workers::giveBack(int slot) {
  slots_[static_cast<std::size_t>(slot)].taken = false;
  if (waiting_.load() == 0) return;
  std::unique_lock lock(waitMutex_);
  while (!waiters_.empty()) {
    int claimed = -1;
    for (std::size_t i = 0; i < sqlSlots_ && claimed < 0; ++i) {
      bool expected = false;
      if (slots_[i].taken.compare_exchange_strong(expected, true)) claimed = static_cast<int>(i);
    }
    if (claimed < 0) return;
    std::function<void(SlotLease)> granted = std::move(waiters_.front());
    waiters_.pop_front();
    --waiting_;
    lock.unlock();
    granted(SlotLease(this, claimed));
    lock.lock();
  }
}

void Workers::beginJob(int slot, Lane* lane) {
  Slot& s = slots_[static_cast<std::size_t>(slot)];
  s.lane = lane;
  s.job.fetch_add(1);
  s.since = nowNs();
  ++running_;
  if (monitorAsleep_.load()) {
    std::lock_guard lock(monitorMutex_);
    monitorWake_.notify_one();
  }
}

void Workers::endJob(int slot) {
  Slot& s = slots_[static_cast<std::size_t>(slot)];
  if (s.since.exchange(0) != 0) --running_;
}

// ---------------------------------------------------------------- monitor and helpers

void Workers::monitor() {
  std::unique_lock lock(monitorMutex_);
  int idle = 0;
  const std::int64_t longWork = std::chrono::duration_cast<std::chrono::nanoseconds>(kLongWork).count();
  while (!monitorStop_) {
    if (running_.load() > 0) {
      idle = 0;
    } else if (++idle >= kIdleTicks) {
      monitorAsleep_ = true;
      monitorWake_.wait(lock, [this] { return monitorStop_ || running_.load() > 0; });
      monitorAsleep_ = false;
      idle = 0;
      continue;
    }
    monitorWake_.wait_for(lock, kMonitorTick, [this] { return monitorStop_; });
    if (monitorStop_) break;
    lock.unlock();
    const std::int64_t now = nowNs();
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      Slot& s = slots_[i];
      const std::uint64_t job = s.job.load();
      const std::int64_t since = s.since.load();
      Lane* lane = s.lane.load();
      if (since == 0 || lane == nullptr || now - since < longWork || s.job.load() != job) continue;
      // Once per job: a later job of the slot compares unequal.
      std::uint64_t last = s.coveredJob.load();
      if (last == job || !s.coveredJob.compare_exchange_strong(last, job)) continue;
      ++covered_;
      cover(static_cast<int>(i), job, lane);
    }
    lock.lock();
  }
}

void Workers::cover(int slot, std::uint64_t job, Lane* lane) {
  runOnHelper([this, slot, job, lane] {
    Slot& s = slots_[static_cast<std::size_t>(slot)];
    asio::io_context& io = lane->io();
    while (s.job.load() == job && s.since.load() != 0 && !io.stopped()) io.run_one_for(kCoverSlice);
  });
}

void Workers::runOnHelper(std::function<void()> job) {
  std::lock_guard lock(helperMutex_);
  helperJobs_.push_back(std::move(job));
  if (idleHelpers_ > 0) {
    helperWake_.notify_one();
  } else if (helpers_.size() < maxHelpers_) {
    helpers_.emplace_back([this] { helperLoop(); });
  }
}

void Workers::helperLoop() {
  std::unique_lock lock(helperMutex_);
  for (;;) {
    while (helperJobs_.empty() && !helpersStop_) {
      ++idleHelpers_;
      helperWake_.wait(lock);
      --idleHelpers_;
    }
    if (helperJobs_.empty()) return;
    std::function<void()> job = std::move(helperJobs_.front());
    helperJobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

}  // namespace lumbra::server
