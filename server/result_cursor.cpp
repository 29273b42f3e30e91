// The counting pass that keeps rows in a store; blocks filled from the store, the queue or the statement; blocks ahead.
//
// Map: states; the counting pass; fill and its three sources; blocks laid out
// ahead; rows stepped ahead (the queue).
#include "server/result_cursor.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "protocol/wire.h"
#include "server/rows.h"

namespace lumbra::server {

namespace {

// A kept value: its kind byte, a two-byte length, its bytes.
constexpr std::size_t kValueHead = 3;
constexpr std::size_t kLongestKept = 0xFFFF;  // a longer value ends the keeping
enum KeptKind : unsigned char { kNull, kNumber, kText, kBlob };
// A kept row that cannot be read back (its scratch file failed): an I/O error, as SQLite reports one.
constexpr int kStoreUnreadable = 2010;

std::size_t valueWidth(const Rows::Value& value) {
  switch (value.kind) {
    case Rows::Kind::Null:
      return 0;
    case Rows::Kind::Integer: {
      char text[24];
      return integerText(value.integer, text);
    }
    default:
      return value.bytes.size();
  }
}

// A kept row laid out in the column widths (`out` is replaced).
void layOutKept(const char* p, const std::vector<std::size_t>& widths, std::string& out) {
  out.clear();
  for (std::size_t width : widths) {
    const unsigned char kind = static_cast<unsigned char>(p[0]);
    std::uint16_t length = 0;
    std::memcpy(&length, p + 1, sizeof length);
    const char* bytes = p + kValueHead;
    const std::size_t pad = width - length;
    switch (kind) {
      case kNull:
        out.append(width, ' ');
        break;
      case kNumber:
        out.append(pad, ' ');
        out.append(bytes, length);
        break;
      default:
        out.append(bytes, length);
        out.append(pad, kind == kBlob ? '\0' : ' ');
        break;
    }
    p += kValueHead + length;
  }
}

}  // namespace

bool ResultCursor::allowed(State from, State to) {
  switch (from) {
    case State::Counting:
      return to == State::Open || to == State::Ended;
    case State::Open:
      return to == State::Ahead || to == State::Ready || to == State::Ended;
    case State::Ahead:
      return to == State::Open || to == State::Ready;
    case State::Ready:
      return to == State::Open || to == State::Ended;
    case State::Ended:
      return false;
  }
  return false;
}

ResultCursor::ResultCursor(std::size_t memory, std::uint64_t file, std::string directory)
    : store_(memory, file, std::move(directory)) {}

ResultCursor::~ResultCursor() = default;

void ResultCursor::move(State to) {
  assert(allowed(state_, to));  // the table of result_cursor.h
  state_ = to;
}

// ---------------------------------------------------------------- the counting pass

bool ResultCursor::keep(const Rows::Value* values, std::size_t columns) {
  // The record's length, each integer written as text on the way (24 bytes a column).
  std::size_t length = 0;
  for (std::size_t i = 0; i < columns; ++i) {
    const Rows::Value& value = values[i];
    std::size_t bytes = 0;
    if (value.kind == Rows::Kind::Integer) {
      bytes = integerText(value.integer, numbers_.data() + 24 * i);
      numbers_[24 * i + 23] = static_cast<char>(bytes);
    } else if (value.kind != Rows::Kind::Null) {
      bytes = value.bytes.size();
      if (bytes > kLongestKept) return false;
    }
    length += kValueHead + bytes;
  }
  char* at = store_.reserve(length);
  if (at == nullptr) return false;
  for (std::size_t i = 0; i < columns; ++i) {
    const Rows::Value& value = values[i];
    unsigned char kind = kNull;
    const char* bytes = value.bytes.data();
    std::size_t size = value.bytes.size();
    switch (value.kind) {
      case Rows::Kind::Null:
        size = 0;
        break;
      case Rows::Kind::Integer:
        kind = kNumber;
        bytes = numbers_.data() + 24 * i;
        size = static_cast<unsigned char>(numbers_[24 * i + 23]);
        break;
      case Rows::Kind::Real:
        kind = kNumber;
        break;
      case Rows::Kind::Text:
        kind = kText;
        break;
      case Rows::Kind::Blob:
        kind = kBlob;
        break;
    }
    const std::uint16_t stored = static_cast<std::uint16_t>(size);
    at[0] = static_cast<char>(kind);
    std::memcpy(at + 1, &stored, sizeof stored);
    if (size > 0) std::memcpy(at + kValueHead, bytes, size);
    at += kValueHead + size;
    widths_[i] = std::max(widths_[i], size);
  }
  store_.commit(length);
  return true;
}

int ResultCursor::count(Rows& rows) {
  const std::size_t columns = static_cast<std::size_t>(rows.columns());
  widths_.assign(columns, 0);
  values_.resize(columns);
  numbers_.resize(24 * columns);
  bool keeping = true;
  int rc = kOk;
  while ((rc = rows.step()) == kRow) {
    ++total_;
    rows.values(values_.data());
    if (keeping && keep(values_.data(), columns)) continue;
    keeping = false;
    for (std::size_t i = 0; i < columns; ++i) widths_[i] = std::max(widths_[i], valueWidth(values_[i]));
  }
  store_.finish();
  // Rows whose records could not be written are not kept after all.
  keptRows_ = store_.rows();
  if (rc != kDone) {
    move(State::Ended);
    return rc;
  }
  rows.rewind();
  rowLength_ = 0;
  for (std::size_t width : widths_) rowLength_ += width;
  move(State::Open);
  return kDone;
}

int ResultCursor::skipKept(Rows& rows) {
  positioned_ = true;
  if (keptRows_ == 0) return kRow;
  return rows.skip(keptRows_);
}

// ---------------------------------------------------------------- fill

bool ResultCursor::Room::fits(std::size_t size, long long added) const {
  // Past `limit` a row waits for the next block, unless it is the block's
  // first and fits the client's capacity.
  return size + kEndOfBlockLength <= limit || (held + added == 0 && size + kEndOfBlockLength <= capacity);
}

bool ResultCursor::placeRow(std::string& block, const Room& room, long long added, Take& take) const {
  const std::size_t before = block.size();
  appendEncodedRow(row_, block);
  if (room.fits(block.size(), added + take.rows)) return true;
  block.resize(before);
  take.full = true;
  return false;
}

ResultCursor::Take ResultCursor::fromStore(std::string& block, const Room& room, long long added) {
  Take take;
  while (sent_ < keptRows_) {
    std::uint64_t at = readAt_;
    std::size_t length = 0;
    const char* record = store_.next(at, length);
    if (record == nullptr) {
      take.dry = true;  // unreadable: the caller reports it
      return take;
    }
    layOutKept(record, widths_, row_);
    if (!placeRow(block, room, added, take)) return take;
    readAt_ = at;
    ++sent_;
    ++take.rows;
    if (room.oneRow) return take;
  }
  return take;
}

ResultCursor::Take ResultCursor::fromQueue(std::string& block, const Room& room, long long added, bool& ended,
                                           int& rc) {
  Take take;
  std::lock_guard<std::mutex> lock(queueMutex_);
  const long long left = total_ - sent_;
  while (queueHead_ < queuedEnds_.size() && take.rows < left) {
    const std::size_t from = queueStart();
    const std::size_t length = queuedEnds_[queueHead_] - from;
    if (!room.fits(block.size() + length, added + take.rows)) {
      take.full = true;
      break;
    }
    block.append(queued_, from, length);
    ++queueHead_;
    ++take.rows;
    if (room.oneRow) break;
  }
  sent_ += take.rows;
  if (take.rows == 0 && !take.full) {
    take.dry = true;
    ended = queueEnded_;
    rc = queueRc_;
  }
  return take;
}

ResultCursor::Take ResultCursor::fromStatement(Rows* rows, std::string& block, const Room& room,
                                               long long added, int& rc) {
  Take take;
  while (sent_ < total_) {
    // A row stepped before (it did not fit the last block) comes first; the
    // rows stepped ahead since come after it, so the caller looks at the
    // queue again before this steps on.
    const bool waited = rowReady_;
    if (!rowReady_) {
      if (rows == nullptr) {
        take.dry = true;  // laying out ahead: no SQL
        return take;
      }
      // Past the kept rows first (once), then the next row.
      int step = positioned_ ? kRow : skipKept(*rows);
      if (step == kRow) step = rows->step();
      if (step != kRow) {
        if (step == kDone)
          changed_ = true;
        else
          rc = step;
        take.dry = true;
        return take;
      }
      ++stepped_;
      rows->values(values_.data());
      formatRow(values_.data(), widths_, row_);
      rowReady_ = true;
    }
    if (!placeRow(block, room, added, take)) return take;
    rowReady_ = false;
    ++sent_;
    ++take.rows;
    if (room.oneRow || waited) return take;
  }
  return take;
}

bool ResultCursor::fill(Rows* rows, std::string& block, std::size_t limit, std::size_t capacity, bool first,
                        long long& added, int& rc, long long held) {
  rc = kOk;
  added = 0;
  stoppedFull_ = false;
  // Rows of length zero take no bytes, so the client sees every block as used
  // up after one row (and the first block as empty): one row per continuation.
  const bool emptyRows = rowLength_ == 0;
  if ((emptyRows && first) || state_ == State::Ended || state_ == State::Counting) return true;
  const Room room{limit, capacity, held, emptyRows};
  // The block's room, in one allocation: what its rows may take, within the limit.
  const std::size_t likely =
      block.size() +
      static_cast<std::size_t>(std::min<long long>(total_ - sent_, 1 << 20)) * (rowLength_ + 8);
  const std::size_t wanted = std::min(std::max(limit, capacity), likely + kEndOfBlockLength);
  if (block.capacity() < wanted) block.reserve(wanted);
  bool failed = false;
  while (sent_ < total_) {
    Take take;
    if (sent_ < keptRows_) {
      take = fromStore(block, room, added);
      if (take.dry) {
        rc = kStoreUnreadable;
        failed = true;
      }
    } else if (rowReady_) {
      take = fromStatement(rows, block, room, added, rc);
    } else {
      // The rows stepped ahead are the statement's next rows: as many as fit, under one lock.
      bool ended = false;
      int queuedRc = 0;
      take = fromQueue(block, room, added, ended, queuedRc);
      if (take.dry && ended) {
        // readAhead met the statement's end (the result changed) or its failure.
        if (queuedRc != 0) {
          rc = queuedRc;
          failed = true;
        } else {
          changed_ = true;
        }
      } else if (take.dry) {
        take = fromStatement(rows, block, room, added, rc);
        if (take.dry && rc != kOk) failed = true;
      }
    }
    added += take.rows;
    if (failed || changed_ || take.full || (take.rows > 0 && emptyRows) || take.dry) {
      stoppedFull_ = take.full;
      break;
    }
  }
  if (rows != nullptr && state_ == State::Open) {
    if (failed || changed_ || sent_ == total_) move(State::Ended);
    // Every kept row is out: the store's memory and file go.
    if (sent_ >= keptRows_) store_.release();
  }
  return !failed;
}

// ---------------------------------------------------------------- blocks laid out ahead

void ResultCursor::prepareAhead(std::size_t limit, std::size_t capacity) {
  if (state_ == State::Ahead && aheadLimit_ != limit) restore();
  if (state_ == State::Open) {
    if (sent_ >= total_) return;
    dropSentQueued();
    saved_ = Position{sent_, readAt_, rowReady_, rowReady_ ? row_ : std::string(), queueHead_};
    ahead_.assign(kHeadTag, kHeadTagLength);
    aheadLimit_ = limit;
    move(State::Ahead);
  }
  if (state_ != State::Ahead) return;
  // Goes on from the rows the block holds (those sent since the position
  // saved before it): each row is copied into it once, however many calls it
  // takes the rows stepped ahead to arrive.
  long long added = 0;
  int rc = kOk;
  fill(nullptr, ahead_, limit, capacity, false, added, rc, sent_ - saved_.sent);
  // Only a block that is full, or holds the last rows, is the block the
  // continuation request would get.
  if (sent_ > saved_.sent && (sent_ == total_ || stoppedFull_ || rowLength_ == 0)) move(State::Ready);
}

void ResultCursor::restore() {
  sent_ = saved_.sent;
  readAt_ = saved_.readAt;
  rowReady_ = saved_.rowReady;
  row_ = std::move(saved_.row);
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queueHead_ = saved_.queueHead;
  }
  ahead_.clear();
  move(State::Open);
}

bool ResultCursor::takeAhead(std::string_view number, std::size_t limit, std::string& block) {
  if (state_ == State::Ahead) restore();  // unfinished: the request lays out its own
  if (state_ != State::Ready) return false;
  if (aheadLimit_ != limit || number.size() < kContinuationDigits) {
    restore();  // laid out for another length: the request lays out its own
    return false;
  }
  block = std::move(ahead_);
  ahead_.clear();
  const auto tag = continuationTag(number);
  std::memcpy(block.data(), tag.data(), kHeadTagLength);
  move(sent_ >= total_ ? State::Ended : State::Open);
  if (sent_ >= keptRows_) store_.release();  // every kept row is out
  return true;
}

// ---------------------------------------------------------------- rows stepped ahead

std::size_t ResultCursor::queueStart() const { return queueHead_ == 0 ? 0 : queuedEnds_[queueHead_ - 1]; }

void ResultCursor::dropSentQueued() {
  std::lock_guard<std::mutex> lock(queueMutex_);
  if (queueHead_ == 0) return;
  const std::size_t from = queueStart();
  // Moving the rest down costs a copy of it: only once the rows sent are the larger part.
  if (queueHead_ < queuedEnds_.size() && from < 64 * 1024 && from < queued_.size() / 2) return;
  queued_.erase(0, from);
  queuedEnds_.erase(queuedEnds_.begin(), queuedEnds_.begin() + static_cast<std::ptrdiff_t>(queueHead_));
  for (std::size_t& end : queuedEnds_) end -= from;
  queueHead_ = 0;
}

void ResultCursor::readAhead(Rows& rows, std::size_t bytes, const std::atomic<bool>& stop,
                             const std::function<void()>& arrived) {
  std::size_t queuedBytes = 0;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (queueEnded_) return;
    queuedBytes = queued_.size() - queueStart();
  }
  int rc = kRow;
  if (!positioned_) rc = skipKept(rows);
  std::string encoded;
  std::vector<std::size_t> ends;
  std::string row;
  std::vector<Rows::Value> values(widths_.size());
  // Rows go into the queue in batches: one lock for many rows, and soon when a block waits.
  auto publish = [&](bool ended) {
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      const std::size_t base = queued_.size();
      queued_ += encoded;
      for (std::size_t end : ends) queuedEnds_.push_back(base + end);
      if (ended) {
        queueEnded_ = true;
        queueRc_ = rc == kDone ? 0 : rc;
      }
      queuedBytes = queued_.size() - queueStart();
    }
    encoded.clear();
    ends.clear();
    if (arrived && starving_.load() && (ended || queuedBytes >= wanted_.load()) && starving_.exchange(false))
      arrived();
  };
  const long long beyondKept = total_ - keptRows_;
  while (rc == kRow && stepped_ < beyondKept && queuedBytes + encoded.size() < bytes &&
         !stop.load(std::memory_order_relaxed)) {
    rc = rows.step();
    if (rc != kRow) break;
    ++stepped_;
    rows.values(values.data());
    formatRow(values.data(), widths_, row);
    appendEncodedRow(row, encoded);
    ends.push_back(encoded.size());
    if (encoded.size() >= 16 * 1024 ||
        (starving_.load(std::memory_order_relaxed) && queuedBytes + encoded.size() >= wanted_.load()))
      publish(false);
  }
  publish(rc != kRow);
}

void ResultCursor::waitForRows() {
  // The block in progress takes rows up to its limit; any row when none is.
  std::size_t wanted = 1;
  if (state_ == State::Ahead) {
    const std::size_t room = aheadLimit_ > kEndOfBlockLength ? aheadLimit_ - kEndOfBlockLength : 0;
    if (room > ahead_.size() + 1) wanted = room - ahead_.size();
  }
  wanted_ = wanted;
  starving_ = true;
}

bool ResultCursor::wantsReadAhead(std::size_t bytes) const {
  if (state_ == State::Ended || state_ == State::Counting || changed_ || stepped_ >= total_ - keptRows_)
    return false;
  std::lock_guard<std::mutex> lock(queueMutex_);
  if (queueEnded_) return false;
  // Started again only once half of what was stepped ahead is out: a job for many blocks.
  return queued_.size() - queueStart() < bytes / 2;
}

}  // namespace lumbra::server
