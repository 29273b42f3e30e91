// A session's transaction: the connection, the write lock with retry, savepoints, update counts, batches, COMMIT, ROLLBACK.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "protocol/commands.h"
#include "protocol/run_length.h"
#include "protocol/wire.h"
#include "server/batch.h"
#include "server/reply.h"
#include "server/session.h"
#include "server/session_cursor.h"

namespace lumbra::server {

namespace {

constexpr std::size_t kMaxCountedUpdates = kMaxMessageLength / kCommitItemLength + 1;

// What follows the word COMMIT or ROLLBACK besides blanks and one ';'. A
// statement joined behind the word would otherwise be dropped without a word.
std::string_view textAfterWord(std::string_view text, std::size_t wordLength) {
  std::string_view rest = text.substr(std::min(wordLength, text.size()));
  auto blanks = [&rest] { rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size())); };
  blanks();
  if (rest.starts_with(';')) rest.remove_prefix(1);
  blanks();
  return rest;
}

}  // namespace

std::optional<SessionLogic::Outcome> SessionLogic::connection(Clock::time_point now) {
  lockSeen_.reset();
  if (!db_) {
    std::string error;
    bool busy = false;
    std::unique_ptr<BackendConnection> opened = backend_.connect(interrupted_, error, busy, freshConnection_);
    if (!opened) {
      if (busy) return waitOrRefuseBusy(now);
      return refuse(Status::DatabaseUnavailable, error);
    }
    std::lock_guard<std::mutex> lock(connectionMutex_);
    db_ = std::move(opened);
    db_->setClientName(user_);
    if (interrupted_) db_->interrupt();
  }
  db_->setLimits(deadline_, busyTimeoutMs_);
  return std::nullopt;
}

void SessionLogic::releaseIdleConnection() {
  if (!db_ || inTransaction_ || (cursor_ && cursor_->rows) || !backend_.pooled()) return;
  std::unique_ptr<BackendConnection> idle;
  {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    idle = std::move(db_);
  }
}

void SessionLogic::interrupt() {
  interrupted_ = true;
  std::lock_guard<std::mutex> lock(connectionMutex_);
  if (db_) db_->interrupt();
}

Clock::time_point SessionLogic::statementDeadline() const {
  if (settings_.statementTimeout.count() <= 0) return Clock::time_point::max();
  return Clock::now() + settings_.statementTimeout;
}

SessionLogic::Outcome SessionLogic::waitOrRefuseBusy(Clock::time_point now) {
  if (!busySince_) busySince_ = now;
  if (now - *busySince_ < std::chrono::milliseconds(busyTimeoutMs_)) return Outcome{{}, false, true};
  busySince_.reset();
  log_("write lock not obtained within " + std::to_string(busyTimeoutMs_) + " ms");
  return refuse(Status::DatabaseBusy);
}

std::optional<SessionLogic::Outcome> SessionLogic::beginWrite(Clock::time_point now) {
  if (auto refused = connection(now)) return refused;
  if (inTransaction_) return std::nullopt;
  LockReleases* releases = backend_.lockReleases();
  const std::uint64_t seen = releases != nullptr ? releases->generation() : 0;
  int code = db_->beginWrite();
  if (code == kOk) {
    inTransaction_ = true;
    begunNow_ = true;
    return std::nullopt;
  }
  if (code == kBusy) {
    if (releases != nullptr) lockSeen_ = seen;
    return waitOrRefuseBusy(now);
  }
  return refuseSql(code);
}

bool SessionLogic::wakeOnLockRelease(std::function<void()> wake) {
  LockReleases* releases = backend_.lockReleases();
  if (releases == nullptr || !lockSeen_) return false;
  releases->wait(*lockSeen_, std::move(wake));
  return true;
}

std::optional<Clock::time_point> SessionLogic::busyWaitEnds() const {
  if (!busySince_) return std::nullopt;
  return *busySince_ + std::chrono::milliseconds(busyTimeoutMs_);
}

// The database may roll a whole transaction back on some errors (disk full,
// I/O, a lost connection): follow it.
long long SessionLogic::syncTransaction() {
  if (!db_ || !inTransaction_ || db_->transactionOpen()) return -1;
  const long long lost = updateCount_;
  inTransaction_ = false;
  updateChanges_.clear();
  updateCount_ = 0;
  log_("transaction rolled back by the database (" + std::to_string(lost) + " updates lost)");
  return lost;
}

void SessionLogic::dropConnection() {
  std::unique_ptr<BackendConnection> dropped;
  {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    dropped = std::move(db_);
  }
  inTransaction_ = false;
}

void SessionLogic::recordUpdate(long long changes) {
  ++updateCount_;
  if (updateChanges_.size() < kMaxCountedUpdates) {
    updateChanges_.push_back(static_cast<std::uint32_t>(std::min<long long>(changes, 0xFFFFFFFFLL)));
  }
}

// ---------------------------------------------------------------- batches and COMMIT

SessionLogic::Outcome SessionLogic::batch(std::string_view text, Clock::time_point now) {
  BatchParts parts = splitBatch(text);
  if (!parts.entries.empty()) {
    if (auto refused = beginWrite(now)) return *refused;
    db_->savepoint("lumbra_batch");
    // The updates up to the first whose compact form is invalid run; that one is refused after them.
    std::vector<std::string> updates;
    updates.reserve(parts.entries.size());
    std::size_t invalid = parts.entries.size();
    std::string decoded;
    for (std::string_view entry : parts.entries) {
      decoded.resize(entry.size() * 12 + 1);
      std::ptrdiff_t length =
          decodeOutgoingRunLength(entry.data(), entry.size(), decoded.data(), decoded.size());
      if (length < 0) {
        invalid = updates.size();
        break;
      }
      updates.emplace_back(decoded.data(), static_cast<std::size_t>(length));
    }
    auto where = [](std::size_t index) { return batchUpdatePlace(index + 1); };
    std::vector<long long> changes;
    std::size_t failed = 0;
    if (int code = db_->runBatch(updates, parameters_, changes, failed); code != kOk) {
      Outcome refused = refuseSql(code, where(failed));
      if (inTransaction_) db_->rollbackTo("lumbra_batch");
      return refused;
    }
    if (invalid < parts.entries.size()) {
      db_->rollbackTo("lumbra_batch");
      return refuse(Status::BadMessage, where(invalid) + ": FORMA COMPACTADA INVALIDA");
    }
    db_->release("lumbra_batch");
    for (long long changed : changes) recordUpdate(changed);
    if (!parts.commit) return reply(0, std::to_string(changes.size()));
  }
  return commit(parts.commit.value_or("COMMIT"));
}

SessionLogic::Outcome SessionLogic::commit(std::string_view command) {
  if (auto extra = textAfterWord(command, 6); !extra.empty()) {
    return refuse(Status::TextAfterCommit, extra.substr(0, 40));
  }
  if (db_ && inTransaction_) {
    int code = db_->commit();
    if (code != kOk) return refuseSql(code, "NO COMMIT");
    inTransaction_ = false;
  }
  // One item per update, or a total where they do not all fit the reply.
  const std::size_t room = replyLimit_ > kMinimumReplyLength ? replyLimit_ - kMinimumReplyLength : 0;
  const std::string text = formatCommitText(updateChanges_, updateCount_, room);
  updateChanges_.clear();
  updateCount_ = 0;
  return Outcome{makeReply(0, text, replyLimit_)};
}

SessionLogic::Outcome SessionLogic::rollback(std::string_view command) {
  if (auto extra = textAfterWord(command, 8); !extra.empty()) {
    return refuse(Status::TextAfterCommit, extra.substr(0, 40));
  }
  if (db_ && inTransaction_) {
    int code = db_->rollback();
    if (code != kOk) return refuseSql(code, "NO ROLLBACK");
    inTransaction_ = false;
  }
  updateChanges_.clear();
  updateCount_ = 0;
  return reply(0, "TRANSACAO DESFEITA");
}

}  // namespace lumbra::server
