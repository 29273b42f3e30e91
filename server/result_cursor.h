// An open SELECT result: one counting pass that keeps the rows it steps, and the blocks of rows.
//
// The reply head carries the row count and every column's width, so the whole
// result is stepped through before the first block. That pass keeps each
// row's values in a RowStore (server/row_store.h): in memory within a budget,
// then in a scratch file. The blocks are laid out from the store without
// asking the database again, so each row is stepped once. Only the rows the
// store did not take (its budgets spent, its file not writable) are stepped a
// second time (the rows are rewound and the kept ones skipped). Memory stays
// bounded whatever the size of the result.
//
// Where the rows of a block come from, in this order (fill):
//   store      the rows the counting pass kept (fromStore), laid out and encoded;
//   queue      rows after them stepped ahead by readAhead, encoded already (fromQueue);
//   statement  rows after them stepped now (fromStatement), when none waits in the queue.
// The blocks are the same bytes whatever way their rows came.
//
// A block can be laid out ahead, while the client reads the previous one,
// from the rows at hand (the store, the queue), and handed out unchanged when
// the continuation request comes: it is byte for byte the block that would
// have been laid out then. The rows after the store can be stepped ahead too
// (readAhead), on another thread while the blocks are handed out: they wait,
// formatted and encoded, in a queue of bounded size.
//
// The cursor's state:
//   Counting   count() has not ended
//   Open       counted: the next block is laid out on request
//   Ahead      a block is being laid out ahead: the rows at hand did not fill it yet
//   Ready      a block laid out ahead waits, complete, for its request
//   Ended      every row sent, or the result cannot go on (it failed, or the
//              statement gave fewer rows than counted: changed while read)
//
//   from \ to   Counting  Open  Ahead  Ready  Ended
//   Counting       -       yes    -      -     yes    count() ends / fails
//   Open           -        -    yes    yes    yes    prepareAhead() in part / whole; fill() ends it
//   Ahead          -       yes    -     yes     -     put back (unfinished at the request, another
//                                                     limit); rows came and completed it
//   Ready          -       yes    -      -     yes    takeAhead() hands it out, rows left / none
//                                                     left; or put back (another limit)
//   Ended          -        -     -      -      -
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "server/backend.h"
#include "server/row_store.h"

namespace lumbra::server {

// Bytes of row values a result keeps in memory at most.
inline constexpr std::size_t kResultBudget = 32u << 20;
// Bytes of row values a result keeps in its scratch file at most.
inline constexpr std::uint64_t kResultFileBudget = 4ull << 30;

class ResultCursor {
 public:
  enum class State { Counting, Open, Ahead, Ready, Ended };
  // Whether the cursor may move from `from` to `to` (the table above).
  static bool allowed(State from, State to);

  // `memory`, `file`: the store's budgets; `directory`: where its scratch
  // file goes (empty: none).
  explicit ResultCursor(std::size_t memory = kResultBudget, std::uint64_t file = 0,
                        std::string directory = {});
  ~ResultCursor();
  ResultCursor(const ResultCursor&) = delete;
  ResultCursor& operator=(const ResultCursor&) = delete;

  State state() const { return state_; }

  // Steps `rows` to their end: counts them, finds each column's width and
  // keeps rows while the store takes them; then rewinds them. kDone on
  // success, else the error status (the cursor has then Ended).
  int count(Rows& rows);

  const std::vector<std::size_t>& widths() const { return widths_; }
  std::size_t rowLength() const { return rowLength_; }
  long long total() const { return total_; }
  long long sent() const { return sent_; }
  // The statement ended before `total` rows: the result changed while read.
  bool exhausted() const { return changed_; }
  long long keptRows() const { return keptRows_; }
  // Bytes of kept rows in memory (never above the memory budget).
  std::size_t keptBytes() const { return store_.memoryBytes(); }
  // Whether kept rows went to the scratch file.
  bool spilled() const { return store_.spilled(); }

  // Appends rows to `block` while they fit `limit` bytes (marker included),
  // or `capacity` bytes for the block's first row; `added` counts them. A
  // result of rows of length zero gives none to the first block and one to
  // each later block. False, with `rc`, on an SQL error. A null `rows` takes
  // only rows at hand (the store, the queue: the block may then stop short).
  // `held`: rows the block holds already (its first row is then not among these).
  bool fill(Rows* rows, std::string& block, std::size_t limit, std::size_t capacity, bool first,
            long long& added, int& rc, long long held = 0);

  // Lays out the next continuation block (its six-byte head and its rows,
  // without the marker) from the rows at hand. A block they do not fill
  // stays in progress (Ahead): the next call goes on where it stopped (rows
  // stepped ahead arrive a few at a time); a call for another limit, or a
  // request that finds it unfinished, puts it back.
  void prepareAhead(std::size_t limit, std::size_t capacity);
  // Takes the block laid out ahead for `limit`, with the continuation number's
  // first three digits in its head: false when there is none.
  bool takeAhead(std::string_view number, std::size_t limit, std::string& block);
  // True when a block laid out ahead for `limit` waits and rows remain after
  // it: the continuation request that takes it runs no SQL at all.
  bool answersAhead(std::size_t limit) const {
    return state_ == State::Ready && aheadLimit_ == limit && sent_ < total_;
  }

  // Steps rows after the store's into the queue of rows stepped ahead, until
  // it holds `bytes` bytes, every row is stepped, `stop` is set, or the
  // statement fails (the failure then reaches the block that would have held
  // the row). While it runs, it alone touches the statement: the blocks may
  // meanwhile be filled from the queue (fill with a null statement,
  // prepareAhead, takeAhead) on another thread, and nothing else may be
  // called. `arrived` is called (on this thread) once after rows came for a
  // block that waited for them (see waitForRows).
  void readAhead(Rows& rows, std::size_t bytes, const std::atomic<bool>& stop,
                 const std::function<void()>& arrived = {});
  // Whether rows are left to step ahead and the queue holds fewer than `bytes`
  // (not while readAhead runs).
  bool wantsReadAhead(std::size_t bytes) const;
  // A block waits for rows of a readAhead running now: its `arrived` will be
  // called once the rows stepped ahead would fill the block laid out ahead
  // (not for each row: a large block would otherwise be woken row by row),
  // or the stepping ends.
  void waitForRows();

 private:
  // What a source gave the block: rows appended; `full` when the next row
  // did not fit; `dry` when the source has no row now.
  struct Take {
    long long rows = 0;
    bool full = false;
    bool dry = false;
  };
  // The room a block has: `limit`, and for its first row `capacity`.
  struct Room {
    std::size_t limit;
    std::size_t capacity;
    long long held;  // rows in the block before this fill
    bool oneRow;     // rows of length zero: one per block
    bool fits(std::size_t size, long long added) const;
  };

  // Appends row_, encoded, when the block has room for it; else leaves the
  // block as it was and marks `take` full.
  bool placeRow(std::string& block, const Room& room, long long added, Take& take) const;
  Take fromStore(std::string& block, const Room& room, long long added);
  Take fromQueue(std::string& block, const Room& room, long long added, bool& ended, int& rc);
  Take fromStatement(Rows* rows, std::string& block, const Room& room, long long added, int& rc);

  void move(State to);
  bool keep(const Rows::Value* values, std::size_t columns);
  // The rows stand after the store's: kRow, kDone when they end first, or the error.
  int skipKept(Rows& rows);
  // Back to where the cursor stood before the block laid out ahead.
  void restore();
  void dropSentQueued();
  // Where the next queued row's bytes begin (queueMutex_ held).
  std::size_t queueStart() const;

  State state_ = State::Counting;
  std::vector<std::size_t> widths_;
  std::size_t rowLength_ = 0;
  long long total_ = 0;
  long long sent_ = 0;
  bool changed_ = false;

  RowStore store_;
  long long keptRows_ = 0;
  std::uint64_t readAt_ = 0;  // the store's position of the next kept row
  bool positioned_ = false;   // the statement stands after the kept rows

  std::string row_;  // a row laid out (a stepped row that did not fit waits here)
  bool rowReady_ = false;
  bool stoppedFull_ = false;         // the last fill stopped at a row that did not fit
  std::vector<Rows::Value> values_;  // the current row's, as the statement gives them
  std::vector<char> numbers_;        // its integers as text while they are kept

  // Rows stepped ahead: encoded back to back, each row's end offset, the
  // first not yet sent. The queue is shared with readAhead (queueMutex_);
  // `stepped_` (rows stepped after the kept ones) is readAhead's own, as is
  // the statement while it runs.
  mutable std::mutex queueMutex_;
  std::string queued_;
  std::vector<std::size_t> queuedEnds_;
  std::size_t queueHead_ = 0;  // index into queuedEnds_ of the next row
  bool queueEnded_ = false;    // readAhead met the end of the statement or an error
  int queueRc_ = 0;            // the error it met (0: the statement ended early)
  long long stepped_ = 0;
  std::atomic<bool> starving_{false};
  std::atomic<std::size_t> wanted_{1};  // bytes of rows the waiting block still takes

  struct Position {
    long long sent = 0;
    std::uint64_t readAt = 0;
    bool rowReady = false;
    std::string row;
    std::size_t queueHead = 0;
  };
  Position saved_;
  std::string ahead_;
  std::size_t aheadLimit_ = 0;
};

}  // namespace lumbra::server
