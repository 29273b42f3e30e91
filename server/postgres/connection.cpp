// A session's connection to PostgreSQL: the guarded transaction, statements, pipelines of a batch, limits, errors.
#include "server/postgres/connection.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "server/postgres/binding.h"
#include "server/postgres/rows.h"
#include "server/postgres/sql_text.h"

namespace lumbra::server::pg {

namespace {

// The longest wait for a lock in one go, in milliseconds.
constexpr int kLockSlice = 50;
// How long a wait for a result goes before it looks at the interruption again.
constexpr int kResultSlice = 200;
// Statements of a batch sent before their answers are read (their answers
// are small: the socket buffers hold them while the rest is sent).
constexpr std::size_t kPipelined = 256;
// No reply carries more than the longest message length: the rest of a first row is never read.
constexpr std::size_t kLongestFirstRow = 16 * 1024 * 1024;

// What pg_stat_activity shows for a session of `user`: the name the
// connection was opened with, then the user. PostgreSQL keeps 63 bytes of
// printable ASCII of it; the name is made so already, or the connection
// would never show what was set, and it would be set before every message.
std::string applicationName(PGconn* conn, std::string_view user) {
  std::string name = "lumbra-server session";
  if (PQconninfoOption* options = PQconninfo(conn); options != nullptr) {
    for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
      if (std::string_view(option->keyword) == "application_name" && option->val != nullptr) name = option->val;
    }
    PQconninfoFree(options);
  }
  name += ": ";
  name += user;
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  }
  if (name.size() > 63) name.resize(63);
  return name;
}

class SessionConnection final : public BackendConnection, public CursorHost {
 public:
  SessionConnection(Pool& pool, Connection conn, bool reused, const std::atomic<bool>& interrupted)
      : pool_(pool),
        conn_(std::move(conn)),
        cancel_(PQgetCancel(conn_.get())),
        interrupted_(interrupted),
        reused_(reused) {}
  ~SessionConnection() override {
    if (cancel_ != nullptr) PQfreeCancel(cancel_);
    pool_.give(std::move(conn_), dirty_);
  }

  int beginWrite() override {
    int code = command("BEGIN READ WRITE");
    if (code == kOk) writing_ = true;
    return code;
  }
  int beginRead() override { return command("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"); }
  int commit() override {
    pg::Result result = pg::exec(conn_.get(), "COMMIT");
    endTransaction();
    if (!pg::ok(result.get())) return fail(result.get());
    if (std::string_view(PQcmdStatus(result.get())) == "ROLLBACK") {
      error_ = "the transaction failed and was rolled back";
      return 2001;
    }
    return kOk;
  }
  int rollback() override {
    int code = command("ROLLBACK");
    endTransaction();
    return code;
  }
  int savepoint(const char* name) override {
    int code = command(std::string("SAVEPOINT ") + name);
    if (code == kOk) savepoints_.push_back(name);
    return code;
  }
  int rollbackTo(const char* name) override {
    auto found = std::find(savepoints_.begin(), savepoints_.end(), name);
    if (found == savepoints_.end()) return kOk;  // released already with an outer one
    savepoints_.erase(found, savepoints_.end());
    appliedLockWait_ = -1;  // a SET after the savepoint is undone with it
    pg::Result result =
        pg::exec(conn_.get(), std::string("ROLLBACK TO SAVEPOINT ") + name + "; RELEASE SAVEPOINT " + name);
    return pg::ok(result.get()) ? kOk : fail(result.get());
  }
  int release(const char* name) override {
    auto found = std::find(savepoints_.begin(), savepoints_.end(), name);
    if (found == savepoints_.end()) return kOk;
    savepoints_.erase(found, savepoints_.end());
    return command(std::string("RELEASE SAVEPOINT ") + name);
  }
  bool transactionOpen() override {
    if (PQstatus(conn_.get()) != CONNECTION_OK) return false;
    PGTransactionStatusType status = PQtransactionStatus(conn_.get());
    return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
  }

  void setLimits(Clock::time_point deadline, int lockWaitMs) override {
    deadline_ = deadline;
    lockWaitMs_ = lockWaitMs;
  }
  void setClientName(std::string_view user) override { clientName_ = applicationName(conn_.get(), user); }
  void interrupt() override {
    char reason[256];
    if (cancel_ != nullptr) PQcancel(cancel_, reason, sizeof reason);
  }

  // The next result of what was sent, as PQgetResult gives it, waited for in
  // slices. PostgreSQL drops a cancel request that comes while it is between
  // commands, and an interruption can come just before the command that it
  // should end reaches it: once interrupted, each slice sends the request
  // again, until the command ends.
  PGresult* nextResult() {
    PGconn* conn = conn_.get();
    while (PQisBusy(conn) == 1) {
      if (!pg::waitReadable(conn, kResultSlice)) {
        if (interrupted_) interrupt();
        continue;
      }
      if (PQconsumeInput(conn) == 0) break;  // PQgetResult reports the failure
    }
    return PQgetResult(conn);
  }

  int run(std::string_view sql, const Parameters& parameters, WriteHook* hook, long long& changes,
          std::optional<std::string>* firstRow) override {
    changes = 0;
    const bool guard = inWriteTransaction() && savepoints_.empty();
    if (guard) {
      if (int code = savepoint("lumbra_statement"); code != kOk) return code;
    }
    int code = kOk;
    for (std::string_view statement : pg::splitStatements(sql)) {
      code = runOne(statement, parameters, hook, changes, firstRow);
      if (code != kOk) break;
    }
    if (guard) endGuard("lumbra_statement", code == kOk);
    return code;
  }

  std::unique_ptr<Rows> query(std::string_view sql, const Parameters& parameters, int& code) override {
    std::vector<std::string_view> statements = pg::splitStatements(sql);
    if (statements.size() != 1) {
      code = kSecondStatement;
      return nullptr;
    }
    if (refusedStatement(statements[0], pg::leadingWord(statements[0]))) {
      code = refuse();
      return nullptr;
    }
    if (code = applyLimits(); code != kOk) return nullptr;
    const bool guard = inWriteTransaction() && savepoints_.empty();
    if (guard) {
      if (code = savepoint("lumbra_query"); code != kOk) return nullptr;
    }
    Bound bound(statements[0], parameters, nullptr);
    std::string declare = std::string("DECLARE ") + kCursorName + " SCROLL CURSOR FOR " + bound.sql;
    code = execute(declare, bound, nullptr);
    std::unique_ptr<CursorRows> rows;
    if (code == kOk) {
      rows = std::make_unique<CursorRows>(*this, guard);
      code = rows->open();
      if (code == kOk) return rows;
      rows.reset();  // rolls back to its savepoint
    } else if (guard) {
      rollbackTo("lumbra_query");
    }
    return nullptr;
  }

  // The statements of a batch go out in pipelines of up to kPipelined
  // before their answers are read: one round trip for many updates instead
  // of one each. After a failure PostgreSQL skips what follows it in the
  // pipeline, and nothing later is sent. A batch that returns rows
  // (RETURNING) runs statement by statement, one row at a time, as run() does.
  int runBatch(const std::vector<std::string>& updates, const Parameters& parameters,
               std::vector<long long>& changes, std::size_t& failed) override {
    std::vector<Piped> statements;
    for (std::size_t i = 0; i < updates.size(); ++i) {
      for (std::string_view statement : pg::splitStatements(updates[i])) {
        // Outside a savepoint of the session's, run() guards each statement with one of its own.
        if (savepoints_.empty() || pg::holdsWord(statement, "RETURNING")) {
          return BackendConnection::runBatch(updates, parameters, changes, failed);
        }
        statements.push_back({i, statement});
      }
    }
    changes.assign(updates.size(), 0);
    for (std::size_t first = 0; first < statements.size(); first += kPipelined) {
      const std::size_t end = std::min(statements.size(), first + kPipelined);
      if (int code = applyLimits(); code != kOk) {
        failed = statements[first].update;
        return code;
      }
      // A statement refused by its words ends the batch there: those before it still run.
      std::size_t refusedAt = end;
      for (std::size_t k = first; k < end; ++k) {
        const std::string word = pg::leadingWord(statements[k].text);
        if (refusedStatement(statements[k].text, word)) {
          refusedAt = k;
          break;
        }
        if (createsTemporary(statements[k].text, word)) dirty_ = true;
      }
      std::size_t failedAt = 0;
      const int code = pipeline(statements, first, refusedAt, parameters, changes, failedAt);
      if (code != kOk) {
        failed = failedAt;
        return code;
      }
      if (refusedAt < end) {
        failed = statements[refusedAt].update;
        return refuse();
      }
    }
    return kOk;
  }

  int insertBlob(std::string_view sql, const Parameters& parameters, std::string_view data,
                 long long& changes) override {
    changes = 0;
    std::vector<std::string_view> statements = pg::splitStatements(sql);
    if (statements.size() != 1) return kNoPlace;
    if (refusedStatement(statements[0], pg::leadingWord(statements[0]))) {
      return refuse();
    }
    Bound bound(statements[0], parameters, &data);
    if (bound.blobIndex == 0) return kNoPlace;
    if (int code = applyLimits(); code != kOk) return code;
    const bool guard = inWriteTransaction() && savepoints_.empty();
    if (guard) {
      if (int code = savepoint("lumbra_statement"); code != kOk) return code;
    }
    int code = execute(bound.sql, bound, &changes);
    if (guard) endGuard("lumbra_statement", code == kOk);
    return code;
  }

  std::string errorText() const override { return error_; }

  bool lostBeforeUse() const override {
    return reused_ && !answered_ && PQstatus(conn_.get()) != CONNECTION_OK;
  }

  // For the rows (CursorHost): a command on the cursor, its result kept.
  int cursorCommand(const std::string& sql, Result& result) override {
    if (int code = sendCursorCommand(sql); code != kOk) return code;
    return receive(result);
  }
  // The same in two halves: the command sent, then its result received
  // (nothing else may use the connection in between).
  int sendCursorCommand(const std::string& sql) override {
    if (int code = applyLimits(); code != kOk) return code;
    if (PQsendQuery(conn_.get(), sql.c_str()) == 1) return kOk;
    error_ = pg::errorText(conn_.get());
    return kLostConnection;
  }
  int receive(Result& result) override {
    result.reset();
    pg::Result failed;
    while (PGresult* raw = nextResult()) {
      if (!pg::ok(raw) && !failed) {
        failed.reset(raw);
      } else if (!result && pg::ok(raw)) {
        result.reset(raw);
      } else {
        PQclear(raw);
      }
    }
    if (failed) return fail(failed.get());
    if (!result) {
      error_ = pg::errorText(conn_.get());
      return kLostConnection;
    }
    return kOk;
  }
  void closeRows(bool guarded, bool failed) override {
    if (!guarded) return;  // the read transaction ends right after, and the cursor with it
    if (failed || PQtransactionStatus(conn_.get()) != PQTRANS_INTRANS) {
      rollbackTo("lumbra_query");
      return;
    }
    command(std::string("CLOSE ") + kCursorName);
    release("lumbra_query");
  }

 private:
  bool inWriteTransaction() { return writing_ && PQtransactionStatus(conn_.get()) == PQTRANS_INTRANS; }
  void endTransaction() {
    writing_ = false;
    savepoints_.clear();
    appliedLockWait_ = -1;
  }
  void endGuard(const char* name, bool ok) {
    if (ok) {
      release(name);
    } else {
      std::string error = error_;
      rollbackTo(name);
      error_ = std::move(error);
    }
  }
  int refuse() {
    error_ = "not authorized";
    return 2023;
  }

  int command(const std::string& sql) {
    pg::Result result = pg::exec(conn_.get(), sql);
    if (!pg::ok(result.get())) return fail(result.get());
    // Every use of a connection begins with a command (BEGIN, or the limits'
    // SET): once one has been answered, what fails later failed in use.
    answered_ = true;
    return kOk;
  }

  // The status and text of a failed result, as the SQLite backend reports the same situation.
  int fail(const PGresult* result) {
    std::string state = pg::sqlState(result);
    const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
    error_ = primary != nullptr ? primary : pg::errorText(result);
    if (error_.empty()) error_ = pg::errorText(conn_.get());
    if (state == "57014") {
      error_ = "interrupted";
      return 2009;
    }
    if (state == "55P03" || state == "40P01" || state == "40001") return kBusy;
    if (state.starts_with("23")) return 2019;
    if (state == "42501") return 2023;
    if (state == "53200") return 2007;
    if (state == "53100") return 2013;
    if (state.starts_with("54")) return 2018;
    // Class 08, and PostgreSQL shutting down or restarting (57P01 to 57P03): the connection is lost.
    if (state.starts_with("08") || state.starts_with("57P") || PQstatus(conn_.get()) != CONNECTION_OK) {
      return kLostConnection;
    }
    return 2001;
  }

  // statement_timeout for what is left of the message's time; lock_timeout
  // for the busy timeout, a slice of kLockSlice at a time (the session hands
  // its message in again until the busy timeout is over, so a wait never
  // holds an SQL thread long), and never 0, which would mean no limit.
  int applyLimits() {
    if (interrupted_) {
      error_ = "interrupted";
      return 2009;
    }
    long long timeout = 0;
    if (deadline_ != Clock::time_point::max()) {
      timeout = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
      if (timeout <= 0) {
        error_ = "interrupted";
        return 2009;
      }
    }
    const int lockWait = std::clamp(lockWaitMs_, 1, kLockSlice);
    // Set again once a second has passed, so that a message of many
    // statements (a result fetched in batches) ends within a second of its deadline.
    const Clock::time_point now = Clock::now();
    // The session's user in application_name, set with the limits when the
    // connection (a pooled one, last used by another user) shows another.
    std::string naming;
    if (const char* shown = PQparameterStatus(conn_.get(), "application_name");
        !clientName_.empty() && (shown == nullptr || clientName_ != shown)) {
      naming = "; SET application_name = " + pg::quoteLiteral(conn_.get(), clientName_);
    }
    if (naming.empty() && deadline_ == appliedDeadline_ && lockWait == appliedLockWait_ &&
        (timeout == 0 || now - appliedAt_ < std::chrono::seconds(1))) {
      return kOk;
    }
    int code = command("SET statement_timeout = " + std::to_string(timeout) +
                       "; SET lock_timeout = " + std::to_string(lockWait) + naming);
    if (code == kOk) {
      appliedDeadline_ = deadline_;
      appliedLockWait_ = lockWait;
      appliedAt_ = now;
    }
    return code;
  }

  int runOne(std::string_view statement, const Parameters& parameters, WriteHook* hook, long long& changes,
             std::optional<std::string>* firstRow) {
    const std::string word = pg::leadingWord(statement);
    if (refusedStatement(statement, word)) return refuse();
    if (hook != nullptr && !readsOnly(statement, word)) {
      if (int code = hook->beforeWrite(); code != kOk) return code;
    }
    if (createsTemporary(statement, word)) dirty_ = true;
    if (int code = applyLimits(); code != kOk) return code;
    Bound bound(statement, parameters, nullptr);
    // Row by row, so that a statement of many rows never fills the memory: only the first is kept.
    if (!PQsendQueryParams(conn_.get(), bound.sql.c_str(), static_cast<int>(bound.values.size()),
                           bound.types.data(), bound.values.data(), bound.lengths.data(),
                           bound.formats.data(), 0)) {
      error_ = pg::errorText(conn_.get());
      return kLostConnection;
    }
    PQsetSingleRowMode(conn_.get());
    int code = kOk;
    bool gaveRow = false;
    while (PGresult* raw = nextResult()) {
      pg::Result result(raw);
      ExecStatusType status = PQresultStatus(raw);
      if (status == PGRES_SINGLE_TUPLE) {
        if (!gaveRow && firstRow != nullptr) {
          std::string text;
          for (int i = 0; i < PQnfields(raw) && text.size() < kLongestFirstRow; ++i) {
            if (i > 0) text.push_back(',');
            text.append(PQgetvalue(raw, 0, i), static_cast<std::size_t>(PQgetlength(raw, 0, i)));
          }
          *firstRow = std::move(text);
        }
        gaveRow = true;
      } else if (status == PGRES_COMMAND_OK) {
        changes += changedRows(raw);
      } else if (status != PGRES_TUPLES_OK && code == kOk) {
        code = fail(raw);
      }
    }
    return code;
  }

  // A statement of a batch, and the update it belongs to.
  struct Piped {
    std::size_t update;
    std::string_view text;
  };

  // Sends statements [first, end) as one pipeline and reads their answers:
  // kOk, or the code of the first that failed, the update it belongs to in `failedAt`.
  int pipeline(const std::vector<Piped>& statements, std::size_t first, std::size_t end,
               const Parameters& parameters, std::vector<long long>& changes, std::size_t& failedAt) {
    if (first == end) return kOk;
    PGconn* conn = conn_.get();
    if (PQenterPipelineMode(conn) != 1) {
      error_ = pg::errorText(conn);
      failedAt = statements[first].update;
      return kLostConnection;
    }
    std::size_t sent = first;
    for (; sent < end; ++sent) {
      Bound bound(statements[sent].text, parameters, nullptr);
      if (!PQsendQueryParams(conn, bound.sql.c_str(), static_cast<int>(bound.values.size()),
                             bound.types.data(), bound.values.data(), bound.lengths.data(),
                             bound.formats.data(), 0)) {
        break;
      }
    }
    int code = kOk;
    if (sent < end) {
      error_ = pg::errorText(conn);
      code = kLostConnection;
      failedAt = statements[sent].update;
    }
    const bool synced = PQpipelineSync(conn) == 1;
    for (std::size_t k = first; k < sent; ++k) {
      while (PGresult* raw = nextResult()) {
        pg::Result result(raw);
        const ExecStatusType status = PQresultStatus(raw);
        if (status == PGRES_COMMAND_OK) {
          changes[statements[k].update] += changedRows(raw);
        } else if (status != PGRES_TUPLES_OK && status != PGRES_PIPELINE_ABORTED && code == kOk) {
          code = fail(raw);
          failedAt = statements[k].update;
        }
      }
    }
    if (synced) {
      // The sync point's own result, then the end of the pipeline.
      while (PGresult* raw = nextResult()) {
        const bool sync = PQresultStatus(raw) == PGRES_PIPELINE_SYNC;
        PQclear(raw);
        if (sync) break;
      }
    }
    if (PQexitPipelineMode(conn) != 1 && code == kOk) {
      error_ = pg::errorText(conn);
      code = kLostConnection;
      failedAt = statements[first].update;
    }
    return code;
  }

  static long long changedRows(const PGresult* result) {
    std::string_view tag = PQcmdStatus(const_cast<PGresult*>(result));
    for (const char* verb : {"INSERT", "UPDATE", "DELETE", "MERGE"}) {
      if (tag.starts_with(verb)) return std::atoll(PQcmdTuples(const_cast<PGresult*>(result)));
    }
    return 0;
  }

  int execute(const std::string& sql, const Bound& bound, long long* changes) {
    pg::Result result(PQexecParams(conn_.get(), sql.c_str(), static_cast<int>(bound.values.size()),
                                   bound.types.data(), bound.values.data(), bound.lengths.data(),
                                   bound.formats.data(), 0));
    if (!result) {
      error_ = pg::errorText(conn_.get());
      return kLostConnection;
    }
    if (!pg::ok(result.get())) return fail(result.get());
    if (changes != nullptr) *changes += changedRows(result.get());
    return kOk;
  }

  Pool& pool_;
  Connection conn_;
  PGcancel* cancel_;
  const std::atomic<bool>& interrupted_;
  bool reused_;            // it waited in the pool before this session took it
  bool answered_ = false;  // PostgreSQL has answered a command on it since
  std::string error_;
  bool writing_ = false;
  bool dirty_ = false;
  std::vector<std::string> savepoints_;
  Clock::time_point deadline_ = Clock::time_point::max();
  int lockWaitMs_ = 0;
  Clock::time_point appliedDeadline_ = Clock::time_point::min();
  Clock::time_point appliedAt_;
  int appliedLockWait_ = -1;
  std::string clientName_;  // application_name for the session's user (empty: as connected)
};

}  // namespace

std::unique_ptr<BackendConnection> sessionConnection(Pool& pool, Connection conn, bool reused,
                                                     const std::atomic<bool>& interrupted) {
  return std::make_unique<SessionConnection>(pool, std::move(conn), reused, interrupted);
}

}  // namespace lumbra::server::pg
