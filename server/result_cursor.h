// An open SELECT result: one counting pass that keeps the rows while they fit a budget, and the blocks of rows.
//
// The reply head carries the row count and every column's width, so the whole
// result is stepped through before the first block. That pass keeps each row's
// values (as the rows will show them) while they fit the budget; the blocks
// are then laid out from the kept rows without asking the database again, and
// only the rows beyond the budget are stepped a second time (the rows are
// rewound and the kept ones skipped). Memory stays bounded whatever the size
// of the result: the kept values never exceed the budget.
//
// A block of kept rows can be laid out ahead, while the client reads the
// previous one, and handed out unchanged when the continuation request comes:
// it is byte for byte the block that would have been laid out then.
//
// The rows beyond the kept ones can be stepped ahead too (readAhead), on an
// SQL thread while the I/O thread hands out blocks: they wait, formatted and
// encoded, in a queue of bounded size, and the blocks are filled from it
// without asking SQLite. The blocks stay the same bytes whatever way their
// rows came.
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

namespace lumbra::server {

// Bytes of row values a result keeps in memory at most.
inline constexpr std::size_t kResultBudget = 32u << 20;
// Bytes of row values all open results of the process keep at most together:
// a result that would pass it keeps no more rows (the rest are stepped again).
inline constexpr std::size_t kServerResultBudget = 256u << 20;

class ResultCursor {
 public:
  explicit ResultCursor(std::size_t budget = kResultBudget) : budget_(budget) {}
  ~ResultCursor();
  ResultCursor(const ResultCursor&) = delete;
  ResultCursor& operator=(const ResultCursor&) = delete;

  // Steps `rows` to their end: counts them, finds each column's width and
  // keeps rows while they fit the budget; then rewinds them. kDone on
  // success, else the error status (the cursor is then of no further use).
  int count(Rows& rows);

  const std::vector<std::size_t>& widths() const { return widths_; }
  std::size_t rowLength() const { return rowLength_; }
  long long total() const { return total_; }
  long long sent() const { return sent_; }
  // The statement ended before `total` rows: the result changed while read.
  bool exhausted() const { return exhausted_; }
  // Bytes of row values kept (never above the budget).
  std::size_t keptBytes() const { return kept_.size(); }
  long long keptRows() const { return keptRows_; }

  // Appends rows to `block` while they fit `limit` bytes (marker included),
  // or `capacity` bytes for the block's first row; `added` counts them. A
  // result of rows of length zero gives none to the first block and one to
  // each later block. False, with `rc`, on an SQL error. A null `rows` takes
  // only rows kept or stepped ahead (the block may then stop short). `held`:
  // rows the block holds already (its first row is then not among these).
  bool fill(Rows* rows, std::string& block, std::size_t limit, std::size_t capacity, bool first,
            long long& added, int& rc, long long held = 0);

  // Lays out the next continuation block (its six-byte head and its rows,
  // without the marker) from kept rows and rows stepped ahead. A block the
  // rows at hand do not fill stays in progress: the next call goes on where
  // it stopped (rows stepped ahead arrive a few at a time), a call for
  // another limit or a request that finds it unfinished puts it back.
  void prepareAhead(std::size_t limit, std::size_t capacity);
  // Takes the block laid out ahead for `limit`, with the continuation number's
  // first three digits in its head: false when there is none.
  bool takeAhead(std::string_view number, std::size_t limit, std::string& block);
  // True when a block laid out ahead for `limit` waits and rows remain after
  // it: the continuation request that takes it runs no SQL at all.
  bool answersAhead(std::size_t limit) const { return aheadReady_ && aheadLimit_ == limit && sent_ < total_; }

  // Steps rows beyond those kept or stepped so far into the queue of rows
  // stepped ahead, until it holds `bytes` bytes, every row is stepped, `stop`
  // is set, or the statement fails (the failure then reaches the block that
  // would have held the row). While it runs, it alone touches the statement:
  // the blocks may meanwhile be filled from the queue (fill with a null
  // statement, prepareAhead, takeAhead) on another thread, and nothing else
  // may be called. `arrived` is called (on this thread) once after rows came
  // for a block that waited for them (see waitForRows).
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
  enum Kind : unsigned char { kNull, kNumber, kText, kBlob };

  // The next kept row laid out in the widths, into row_.
  void layOutKept();
  // Positions the rows after the kept ones: kRow, kDone when they end
  // first, or the error.
  int skipKept(Rows& rows);
  bool keep(Rows& rows, int columns);
  // Back to where the cursor stood before the block laid out ahead.
  void restore();
  // Room for `needed` bytes of kept values, taken from the process's budget:
  // false when either budget is spent.
  bool grow(std::size_t needed);
  // Gives the kept values' memory back.
  void release();

  std::size_t budget_;
  std::vector<std::size_t> widths_;
  std::size_t rowLength_ = 0;
  long long total_ = 0;
  long long sent_ = 0;
  bool exhausted_ = false;

  // Kept rows: per column a kind byte, a two-byte length and the bytes.
  std::string kept_;
  std::size_t claimed_ = 0;  // of the process's budget, for kept_'s capacity
  long long keptRows_ = 0;
  bool keeping_ = true;
  std::size_t readAt_ = 0;
  bool positioned_ = false;  // the rows stand after the kept ones

  std::string row_;  // the next row, laid out, not yet sent
  bool rowReady_ = false;
  bool stoppedFull_ = false;  // the last fill stopped at a row that did not fit

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
  // Moves queued rows into `block` while they fit, as fill would (`first`:
  // the block holds no row yet; `oneRow`: one at most): how many, with `full`
  // set when the next one does not fit; none, with `ended` and `rc` from
  // readAhead, when the queue is empty.
  long long takeQueued(std::string& block, std::size_t limit, std::size_t capacity, bool first, bool oneRow,
                       bool& full, bool& ended, int& rc);
  void dropSentQueued();
  // Where the next queued row's bytes begin (queueMutex_ held).
  std::size_t queueStart() const;

  struct Position {
    long long sent = 0;
    std::size_t readAt = 0;
    bool rowReady = false;
    std::string row;
    std::size_t queueHead = 0;
  };
  Position saved_;
  std::string ahead_;
  std::size_t aheadLimit_ = 0;
  bool aheadReady_ = false;
  bool aheadInProgress_ = false;  // ahead_ holds rows but is not complete yet
};

}  // namespace lumbra::server
