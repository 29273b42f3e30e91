// The server's threads: lanes that read, run and write their connections' messages, SQL slots, helpers.
//
// Each connection belongs to one lane: an I/O context run by one thread of
// its own. A message is read, handled and answered on that thread, its SQL
// included, with no hand-off to another thread: a short command costs no
// wake-up of a second thread (no futex), which is what a point SELECT or an
// UPDATE+COMMIT is.
//
// SQL needs a slot (SqlSlots): at most `slots` jobs run SQL at once, each on
// the thread that holds the slot. A job that runs longer than kLongWork would
// hold up the other connections of its lane: the monitor thread sees it and
// has a helper thread run the lane meanwhile (the lane then has two threads
// until the job ends). A slot can be covered by one helper at a time, so
// greetings, logins and short commands of other sessions go on however many
// long statements run, as long as every running job holds a slot; a message
// that finds every slot taken waits for one (it is handed the next slot that
// a job gives back, in order of arrival). Rows stepped ahead of a result's
// requests (SessionLogic::readAhead) are a job of their own, run by a helper.
//
//   lane thread  -- runs its I/O context: reads, the messages' handling
//                   (inline, with a slot), writes, timers
//   helper       -- covers a lane whose thread is held by a long job, or runs
//                   a job given to it (read-ahead); at most two per slot and
//                   one per lane (a long login holds no slot: LaneWork)
//   monitor      -- every kMonitorTick, while slots are in use, looks for
//                   jobs past kLongWork on a lane thread and covers their
//                   lanes; sleeps while no slot is in use
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace lumbra::server {

// A job on a lane thread longer than this gets a helper for its lane.
inline constexpr auto kLongWork = std::chrono::milliseconds(5);
inline constexpr auto kMonitorTick = std::chrono::milliseconds(2);

class Lane {
 public:
  explicit Lane(std::size_t index) : index_(index), guard_(asio::make_work_guard(io_)) {}
  asio::io_context& io() { return io_; }
  std::size_t index() const { return index_; }
  // Lets the lane's threads return once its work is done.
  void release() { guard_.reset(); }

 private:
  std::size_t index_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
};

class Workers;

// Holds one SQL slot for as long as it lives (moved, never copied).
class SlotLease {
 public:
  SlotLease() = default;
  SlotLease(Workers* workers, int slot) : workers_(workers), slot_(slot) {}
  SlotLease(SlotLease&& other) noexcept : workers_(other.workers_), slot_(other.slot_) { other.slot_ = -1; }
  SlotLease& operator=(SlotLease&& other) noexcept;
  ~SlotLease() { reset(); }
  SlotLease(const SlotLease&) = delete;
  SlotLease& operator=(const SlotLease&) = delete;

  explicit operator bool() const { return slot_ >= 0; }
  // The job begins on the calling thread, which runs `lane` (nullptr: a
  // helper's thread, which needs no cover): from now on the monitor watches it.
  void begin(Lane* lane);
  // The job has ended (the slot stays held: the lease may begin another).
  void end();
  // Gives the slot back (to the longest waiter, if any).
  void reset();

 private:
  Workers* workers_ = nullptr;
  int slot_ = -1;
};

class Workers {
 public:
  // `lanes` lanes (at least one) and `slots` SQL slots (at least one).
  Workers(int lanes, int slots);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  std::size_t lanes() const { return lanes_.size(); }
  Lane& lane(std::size_t index) { return *lanes_[index]; }
  // The lane for the next connection (round robin).
  Lane& nextLane();

  // Runs every lane (lane 0 on the calling thread) and the monitor until
  // every lane's work is done (after releaseLanes()); then ends the helpers.
  void run();
  // Lets every lane end once its work is done.
  void releaseLanes();

  // A slot now, or an empty lease when every slot is taken.
  SlotLease tryAcquire();
  // Calls `granted` with a slot as soon as one is free (at once when one is;
  // else from the thread that gives one back). The caller posts its work
  // from there to where it belongs.
  void whenSlotFree(std::function<void(SlotLease)> granted);

  // Runs `job` on a helper thread (a job of rows stepped ahead, with its slot).
  void runOnHelper(std::function<void()> job);

  // Work of a lane's thread that needs no slot but may take a while (a
  // login's password hash): watched as a job is, for as long as it lives.
  class LaneWork {
   public:
    LaneWork(Workers& workers, Lane& lane);
    ~LaneWork();
    LaneWork(const LaneWork&) = delete;
    LaneWork& operator=(const LaneWork&) = delete;

   private:
    Workers& workers_;
    int watch_;
  };

  // Jobs that took their lane longer than kLongWork (and got a helper for it) so far.
  std::uint64_t coveredJobs() const { return covered_.load(); }

 private:
  friend class SlotLease;
  struct Slot {
    std::atomic<bool> taken{false};
    std::atomic<std::int64_t> since{0};        // steady-clock ns when the running job began; 0: none
    std::atomic<Lane*> lane{nullptr};          // the lane its thread runs (nullptr: a helper's)
    std::atomic<std::uint64_t> job{0};         // counts the jobs begun in the slot
    std::atomic<std::uint64_t> coveredJob{0};  // the last job whose lane a helper was sent to
  };

  void giveBack(int slot);
  void beginJob(int slot, Lane* lane);
  void endJob(int slot);
  void monitor();
  // Has a helper run `lane` until job `job` of `slot` ends.
  void cover(int slot, std::uint64_t job, Lane* lane);
  void helperLoop();

  std::vector<std::unique_ptr<Lane>> lanes_;
  std::atomic<std::size_t> nextLane_{0};

  // The SQL slots, then one watch per lane (LaneWork), which no one acquires.
  std::vector<Slot> slots_;
  std::size_t sqlSlots_;
  std::mutex waitMutex_;
  std::deque<std::function<void(SlotLease)>> waiters_;
  std::atomic<int> waiting_{0};

  // The monitor sleeps while no job runs (running_ counts them).
  std::atomic<int> running_{0};
  std::mutex monitorMutex_;
  std::condition_variable monitorWake_;
  std::atomic<bool> monitorAsleep_{false};
  bool monitorStop_ = false;  // under monitorMutex_
  std::atomic<std::uint64_t> covered_{0};

  std::mutex helperMutex_;
  std::condition_variable helperWake_;
  std::deque<std::function<void()>> helperJobs_;
  std::vector<std::thread> helpers_;
  std::size_t idleHelpers_ = 0;
  std::size_t maxHelpers_;
  bool helpersStop_ = false;  // under helperMutex_
};

}  // namespace lumbra::server
