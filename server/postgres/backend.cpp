// PostgreSQL behind the session interface: the pool, the guarded transaction, statements, the scrolling cursor.
#include "server/postgres/backend.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "server/log.h"
#include "server/postgres/libpq.h"
#include "server/postgres/site.h"
#include "server/postgres/sql_text.h"

namespace lumbra::server {

namespace {

// Every connection of the pool reads without writing unless the server began
// a write transaction, and speaks the client's code page.
constexpr char kSetUp[] = "SET default_transaction_read_only = on; SET client_encoding = 'WIN1252'";
constexpr char kCursorName[] = "lumbra_rows";
// Bytes of rows one FETCH brings, about (the batch adapts to the rows' length).
// Two batches are held at once: the one being read, and the next one, asked
// for as soon as the one before it came, so that PostgreSQL makes it meanwhile.
constexpr long long kFetchBytes = 2 << 20;
constexpr long long kFirstFetch = 64;
constexpr long long kLongestFetch = 32768;
// The longest wait for a lock in one go, in milliseconds.
constexpr int kLockSlice = 50;
// How long a wait for a result goes before it looks at the interruption again.
constexpr int kResultSlice = 200;
// Statements of a batch sent before their answers are read (their answers
// are small: the socket buffers hold them while the rest is sent).
constexpr std::size_t kPipelined = 256;
// No reply carries more than the longest message length: the rest of a first row is never read.
constexpr std::size_t kLongestFirstRow = 16 * 1024 * 1024;

// Type oids of pg_type, as every server has them.
constexpr Oid kBytea = 17, kInt8 = 20, kInt2 = 21, kInt4 = 23, kOid = 26, kFloat4 = 700, kFloat8 = 701,
              kUnknown = 705, kNumeric = 1700;

bool numericType(Oid type) {
  return type == kInt2 || type == kInt4 || type == kInt8 || type == kOid || type == kFloat4 ||
         type == kFloat8 || type == kNumeric;
}

// Statements that would control the transaction or the connection behind the server's back.
bool refusedWord(const std::string& word) {
  static const char* const kRefused[] = {
      "BEGIN",   "START",      "COMMIT",  "END",   "ROLLBACK", "ABORT",  "SAVEPOINT", "RELEASE",
      "PREPARE", "DEALLOCATE", "SET",     "RESET", "DISCARD",  "LISTEN", "UNLISTEN",  "NOTIFY",
      "COPY",    "LOAD",       "DECLARE", "FETCH", "MOVE",     "CLOSE"};
  return std::find(std::begin(kRefused), std::end(kRefused), word) != std::end(kRefused);
}

// Whether session SQL may not run `statement` (led by `word`): a refused word,
// or a call of set_config (a SET by another name) anywhere in it.
bool refusedStatement(std::string_view statement, const std::string& word) {
  return refusedWord(word) || pg::holdsWord(statement, "SET_CONFIG");
}

// Whether `statement` (led by `word`) creates a temporary table.
bool createsTemporary(std::string_view statement, const std::string& word) {
  return word == "CREATE" && (pg::holdsWord(statement, "TEMP") || pg::holdsWord(statement, "TEMPORARY"));
}

// Whether a statement only reads (it may run outside the write transaction).
bool readsOnly(std::string_view statement, const std::string& word) {
  if (word == "SHOW" || word == "EXPLAIN") return true;
  if (word != "SELECT" && word != "WITH" && word != "VALUES" && word != "TABLE") return false;
  for (const char* writer : {"INSERT", "UPDATE", "DELETE", "MERGE", "SHARE", "NEXTVAL", "SETVAL"}) {
    if (pg::holdsWord(statement, writer)) return false;
  }
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// bytea's text form, "\x" and two hexadecimal digits per byte, back to the bytes.
void decodeBytea(const char* text, std::size_t length, std::string& out) {
  out.clear();
  if (length < 2 || text[0] != '\\' || text[1] != 'x') {
    std::size_t size = 0;
    unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
    if (bytes != nullptr) {
      out.assign(reinterpret_cast<const char*>(bytes), size);
      PQfreemem(bytes);
    }
    return;
  }
  out.reserve((length - 2) / 2);
  for (std::size_t i = 2; i + 1 < length; i += 2) {
    out.push_back(static_cast<char>(hexValue(text[i]) << 4 | hexValue(text[i + 1])));
  }
}

class Pool {
 public:
  Pool(std::string conninfo, int size, BackendOptions::RenewLogin renew)
      : conninfo_(std::move(conninfo)), size_(std::max(1, size)), renew_(std::move(renew)) {}

  pg::Connection take(std::string& error, bool& busy) {
    busy = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      while (!idle_.empty()) {
        pg::Connection conn = std::move(idle_.back());
        idle_.pop_back();
        // One the server closed while it waited (a restart, an idle time-out) is let go.
        if (PQconsumeInput(conn.get()) != 0 && PQstatus(conn.get()) == CONNECTION_OK) return conn;
        --open_;
      }
      if (open_ >= size_) {
        busy = true;
        return nullptr;
      }
      ++open_;
    }
    pg::Connection conn = open(error);
    if (!conn) {
      std::lock_guard<std::mutex> lock(mutex_);
      --open_;
    }
    return conn;
  }

  // Back into the pool with no transaction open on it, else closed; `dirty`:
  // the session left state on it (temporary tables, settings), which goes.
  void give(pg::Connection conn, bool dirty) {
    bool usable =
        conn && PQstatus(conn.get()) == CONNECTION_OK && PQtransactionStatus(conn.get()) == PQTRANS_IDLE;
    if (usable && dirty) usable = pg::ok(pg::exec(conn.get(), std::string("DISCARD ALL; ") + kSetUp).get());
    std::lock_guard<std::mutex> lock(mutex_);
    if (usable) {
      idle_.push_back(std::move(conn));
    } else {
      --open_;
    }
  }

  // Whether the role logged in has settings of its own (a session can give
  // them to its role, and they would be every new connection's defaults);
  // true, with `error`, also when that cannot be read.
  static bool hasRoleSettings(PGconn* conn, std::string& error) {
    pg::Result found = pg::exec(conn,
                                "SELECT count(*) FROM pg_catalog.pg_db_role_setting WHERE setrole = "
                                "(SELECT oid FROM pg_catalog.pg_roles WHERE rolname = current_user)");
    if (pg::ok(found.get()) && PQntuples(found.get()) == 1 &&
        std::string(PQgetvalue(found.get(), 0, 0)) == "0") {
      return false;
    }
    error =
        "the sessions' role has settings of its own (ALTER ROLE ... SET), and the server cannot take them "
        "back";
    return true;
  }

  pg::Connection open(std::string& error) {
    std::string conninfo;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      conninfo = conninfo_;
    }
    pg::Connection conn = pg::connect(conninfo, error);
    if (conn && renew_ && hasRoleSettings(conn.get(), error)) conn.reset();
    if (!conn && renew_) {
      // The sessions' login may have been changed (a session may change its
      // own role's password): one renewal at a time, then one more try.
      std::lock_guard<std::mutex> renewing(renewMutex_);
      bool renewedMeanwhile = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        renewedMeanwhile = conninfo_ != conninfo;
        conninfo = conninfo_;
      }
      std::string why;
      std::string fresh = renewedMeanwhile ? conninfo : renew_(conninfo, why);
      if (!fresh.empty()) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          conninfo_ = fresh;
        }
        conn = pg::connect(fresh, error);
        if (conn && hasRoleSettings(conn.get(), error)) conn.reset();
      }
    }
    if (!conn) return nullptr;
    // Notices (a DROP ... CASCADE naming what goes with it) are the session's business, not the log's.
    PQsetNoticeProcessor(
        conn.get(), [](void*, const char*) {}, nullptr);
    pg::Result set = pg::exec(conn.get(), kSetUp);
    if (!pg::ok(set.get())) {
      error = pg::errorText(set.get());
      return nullptr;
    }
    return conn;
  }

 private:
  std::string conninfo_;  // under mutex_
  int size_;
  BackendOptions::RenewLogin renew_;
  std::mutex renewMutex_;
  std::mutex mutex_;
  std::vector<pg::Connection> idle_;
  int open_ = 0;
};

// Parameters of one statement for PQexecParams: the PARM values as untyped text, the blob as bytea.
struct Bound {
  std::string sql;
  std::vector<std::string> names;
  std::vector<std::string> texts;
  std::vector<const char*> values;
  std::vector<int> lengths;
  std::vector<int> formats;
  std::vector<Oid> types;
  int blobIndex = 0;

  Bound(std::string_view statement, const Parameters& parameters, const std::string_view* blob) {
    sql = pg::bindNames(statement, names, blob != nullptr, blobIndex);
    texts.resize(names.size());
    values.assign(names.size(), nullptr);
    lengths.assign(names.size(), 0);
    formats.assign(names.size(), 0);
    types.assign(names.size(), 0);
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i].empty()) {
        values[i] = blob->data() != nullptr ? blob->data() : "";
        lengths[i] = static_cast<int>(blob->size());
        formats[i] = 1;
        types[i] = kBytea;
        continue;
      }
      auto found = parameters.find(names[i]);
      if (found == parameters.end() || found->second.kind == Parameter::Kind::Null) continue;
      // Untyped: PostgreSQL gives the value the type of the place it goes to.
      texts[i] = found->second.value;
      values[i] = texts[i].c_str();
      lengths[i] = static_cast<int>(texts[i].size());
    }
  }
};

class PgConnection;

class PgRows final : public Rows {
 public:
  PgRows(PgConnection& connection, bool guarded) : connection_(connection), guarded_(guarded) {}
  ~PgRows() override;

  // The first batch, which also tells the columns.
  int open() { return fetch(); }

  int columns() const override { return static_cast<int>(names_.size()); }
  int step() override;
  void rewind() override {
    settle();
    batch_.reset();
    rowsInBatch_ = 0;
    row_ = -1;
    ended_ = false;
    rewound_ = true;
  }
  int skip(long long count) override;
  Kind kind(int column) override {
    if (PQgetisnull(batch_.get(), row_, column)) return Kind::Null;
    Oid type = types_[static_cast<std::size_t>(column)];
    if (numericType(type)) return Kind::Real;
    return type == kBytea ? Kind::Blob : Kind::Text;
  }
  long long integer(int column) override {
    return std::strtoll(PQgetvalue(batch_.get(), row_, column), nullptr, 10);
  }
  std::string_view bytes(int column) override {
    const char* text = PQgetvalue(batch_.get(), row_, column);
    std::size_t length = static_cast<std::size_t>(PQgetlength(batch_.get(), row_, column));
    if (types_[static_cast<std::size_t>(column)] != kBytea) return {text, length};
    std::size_t at = static_cast<std::size_t>(column);
    if (decodedAt_[at] != stamp_) {
      decodeBytea(text, length, decoded_[at]);
      decodedAt_[at] = stamp_;
    }
    return decoded_[at];
  }
  std::string name(int column) override { return names_[static_cast<std::size_t>(column)]; }
  char typeLetter(int column) override {
    Oid type = types_[static_cast<std::size_t>(column)];
    if (numericType(type)) return 'N';
    if (type == kBytea) return 'B';
    if (type == kUnknown) return 'V';
    return 'A';
  }

 private:
  int fetch();
  int moveTo(long long position, bool& onRow);
  std::string fetchCommand() const;
  // Waits for the batch asked for ahead and lets it go: the cursor is moved
  // or closed next, so its rows are not wanted.
  void settle();

  PgConnection& connection_;
  bool guarded_;
  bool failed_ = false;
  pg::Result batch_;
  int rowsInBatch_ = 0;
  int row_ = -1;
  bool ended_ = false;        // the last FETCH brought fewer rows than asked
  bool rewound_ = false;      // the cursor goes back before the first row at the next step
  bool prefetching_ = false;  // the next FETCH is on its way (nothing else may use the connection)
  long long fetchRows_ = kFirstFetch;
  long long stamp_ = 0;  // counts the rows stepped, for the decoded blobs
  std::vector<std::string> names_;
  std::vector<Oid> types_;
  std::vector<std::string> decoded_;
  std::vector<long long> decodedAt_;
};

class PgConnection final : public BackendConnection {
 public:
  PgConnection(Pool& pool, pg::Connection conn, const std::atomic<bool>& interrupted)
      : pool_(pool), conn_(std::move(conn)), cancel_(PQgetCancel(conn_.get())), interrupted_(interrupted) {}
  ~PgConnection() override {
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
    std::unique_ptr<PgRows> rows;
    if (code == kOk) {
      rows = std::make_unique<PgRows>(*this, guard);
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

  // For the rows: a command on the cursor, its result kept.
  int cursorCommand(const std::string& sql, pg::Result& result) {
    if (int code = sendCursorCommand(sql); code != kOk) return code;
    return receive(result);
  }
  // The same in two halves: the command sent, then its result received
  // (nothing else may use the connection in between).
  int sendCursorCommand(const std::string& sql) {
    if (int code = applyLimits(); code != kOk) return code;
    if (PQsendQuery(conn_.get(), sql.c_str()) == 1) return kOk;
    error_ = pg::errorText(conn_.get());
    return 2010;
  }
  int receive(pg::Result& result) {
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
      return 2010;
    }
    return kOk;
  }
  void closeRows(bool guarded, bool failed) {
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
    return pg::ok(result.get()) ? kOk : fail(result.get());
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
    if (state.starts_with("08") || PQstatus(conn_.get()) != CONNECTION_OK) return 2010;
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
    if (deadline_ == appliedDeadline_ && lockWait == appliedLockWait_ &&
        (timeout == 0 || now - appliedAt_ < std::chrono::seconds(1))) {
      return kOk;
    }
    int code = command("SET statement_timeout = " + std::to_string(timeout) +
                       "; SET lock_timeout = " + std::to_string(lockWait));
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
      return 2010;
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
      return 2010;
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
      code = 2010;
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
      code = 2010;
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
      return 2010;
    }
    if (!pg::ok(result.get())) return fail(result.get());
    if (changes != nullptr) *changes += changedRows(result.get());
    return kOk;
  }

  Pool& pool_;
  pg::Connection conn_;
  PGcancel* cancel_;
  const std::atomic<bool>& interrupted_;
  std::string error_;
  bool writing_ = false;
  bool dirty_ = false;
  std::vector<std::string> savepoints_;
  Clock::time_point deadline_ = Clock::time_point::max();
  int lockWaitMs_ = 0;
  Clock::time_point appliedDeadline_ = Clock::time_point::min();
  Clock::time_point appliedAt_;
  int appliedLockWait_ = -1;
};

PgRows::~PgRows() {
  settle();
  connection_.closeRows(guarded_, failed_);
}

std::string PgRows::fetchCommand() const {
  return "FETCH FORWARD " + std::to_string(fetchRows_) + " FROM " + kCursorName;
}

void PgRows::settle() {
  if (!prefetching_) return;
  prefetching_ = false;
  pg::Result unwanted;
  connection_.receive(unwanted);
}

int PgRows::fetch() {
  pg::Result result;
  int code = kOk;
  if (prefetching_) {
    prefetching_ = false;
    code = connection_.receive(result);
  } else {
    code = connection_.cursorCommand(fetchCommand(), result);
  }
  if (code != kOk) {
    failed_ = true;
    return code;
  }
  if (names_.empty() && PQnfields(result.get()) > 0) {
    const int fields = PQnfields(result.get());
    for (int i = 0; i < fields; ++i) {
      names_.emplace_back(PQfname(result.get(), i));
      types_.push_back(PQftype(result.get(), i));
    }
    decoded_.resize(names_.size());
    decodedAt_.assign(names_.size(), -1);
  }
  rowsInBatch_ = PQntuples(result.get());
  row_ = -1;
  ended_ = rowsInBatch_ < fetchRows_;
  // The next batch of about kFetchBytes, by the length of these rows.
  long long bytes = 0;
  for (int r = 0; r < rowsInBatch_; ++r) {
    for (int c = 0; c < PQnfields(result.get()); ++c) bytes += PQgetlength(result.get(), r, c) + 1;
  }
  if (rowsInBatch_ > 0) {
    fetchRows_ = std::clamp(kFetchBytes / std::max(1LL, bytes / rowsInBatch_), 1LL, kLongestFetch);
  }
  batch_ = std::move(result);
  // The next batch is asked for now; should that fail, the next fetch asks again and reports.
  if (!ended_) prefetching_ = connection_.sendCursorCommand(fetchCommand()) == kOk;
  return kOk;
}

int PgRows::moveTo(long long position, bool& onRow) {
  settle();
  pg::Result result;
  int code =
      connection_.cursorCommand("MOVE ABSOLUTE " + std::to_string(position) + " IN " + kCursorName, result);
  if (code != kOk) {
    failed_ = true;
    return code;
  }
  onRow = std::string_view(PQcmdTuples(result.get())) != "0";
  batch_.reset();
  rowsInBatch_ = 0;
  row_ = -1;
  ended_ = false;
  rewound_ = false;
  return kOk;
}

int PgRows::step() {
  if (rewound_) {
    bool onRow = false;
    if (int code = moveTo(0, onRow); code != kOk) return code;
  }
  if (row_ + 1 >= rowsInBatch_) {
    if (ended_) return kDone;
    if (int code = fetch(); code != kOk) return code;
    if (rowsInBatch_ == 0) return kDone;
  }
  ++row_;
  ++stamp_;
  return kRow;
}

int PgRows::skip(long long count) {
  bool onRow = false;
  if (int code = moveTo(count, onRow); code != kOk) return code;
  return onRow || count == 0 ? kRow : kDone;
}

class PgBackend final : public Backend {
 public:
  PgBackend(const std::string& conninfo, const BackendOptions& options)
      : pool_(conninfo, options.poolSize, options.renewLogin) {}

  bool start(std::string& error) {
    bool busy = false;
    pg::Connection first = pool_.take(error, busy);
    if (!first) return false;
    int number = PQserverVersion(first.get());
    version_ = std::to_string(number / 10000) + "." + std::to_string(number % 10000);
    pool_.give(std::move(first), false);
    return true;
  }

  std::unique_ptr<BackendConnection> connect(const std::atomic<bool>& interrupted, std::string& error,
                                             bool& busy) override {
    pg::Connection conn = pool_.take(error, busy);
    if (!conn) return nullptr;
    return std::make_unique<PgConnection>(pool_, std::move(conn), interrupted);
  }
  bool pooled() const override { return true; }
  std::string version() const override { return version_; }
  std::string scratchDirectory() const override {
    const char* directory = std::getenv("TMPDIR");
    return directory != nullptr && directory[0] != '\0' ? directory : "/tmp";
  }

 private:
  Pool pool_;
  std::string version_;
};

}  // namespace

std::unique_ptr<Backend> openPostgresBackend(const std::string& conninfo, const BackendOptions& options,
                                             std::string& error) {
  auto backend = std::make_unique<PgBackend>(conninfo, options);
  if (!backend->start(error)) return nullptr;
  return backend;
}

bool openPostgresDatabases(const DatabaseSetup& setup, Databases& out, std::string& error) {
  const std::string& uri = setup.database;
  std::string sessionConninfo = setup.sessionConninfo;
  if (setup.usersDatabase.empty()) {
    pg::Site site;
    if (!pg::prepareSite(uri, site, error)) return false;
    out.users = pg::openUserStore(uri, false, error);
    if (!out.users) return false;
    if (sessionConninfo.empty()) sessionConninfo = site.sessionConninfo;
    logLine("PostgreSQL " + pg::redactedUri(uri) + ": sessions as the role " + site.sessionRole);
  } else {
    out.users = openUserFile(setup.usersDatabase, error);
    if (!out.users) {
      error = "cannot open the users " + userStorePath(setup.usersDatabase) + ": " + error;
      return false;
    }
  }
  BackendOptions options;
  options.poolSize = setup.poolSize;
  if (setup.usersDatabase.empty() && setup.sessionConninfo.empty()) {
    options.renewLogin = [uri](const std::string& failed, std::string& why) {
      pg::Site renewed;
      if (!pg::renewSessionLogin(uri, failed, renewed, why)) {
        logLine("the sessions' login failed and cannot be renewed: " + why);
        return std::string();
      }
      if (renewed.sessionConninfo != failed) logLine("the sessions' login renewed");
      return renewed.sessionConninfo;
    };
  }
  out.backend = openPostgresBackend(sessionConninfo.empty() ? uri : sessionConninfo, options, error);
  if (!out.backend) {
    error = "cannot connect to the PostgreSQL database: " + error;
    out.users.reset();
    return false;
  }
  out.description = "on PostgreSQL (pool of " + std::to_string(setup.poolSize) + ")";
  return true;
}

}  // namespace lumbra::server
