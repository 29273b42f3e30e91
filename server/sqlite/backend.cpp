// SQLite behind the session interface: statements stepped one after the other, PARM binding, the progress handler.
#include "server/sqlite/backend.h"

#include <sqlite3.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstdlib>
#include <set>

#include "platform/system.h"
#include "server/database.h"
#include "server/log.h"
#include "server/session_text.h"
#include "server/sqlite/literal_statement.h"

namespace lumbra::server {

namespace {

// No reply carries more than the longest message length: the rest of a first row is never read.
constexpr std::size_t kLongestFirstRow = 16 * 1024 * 1024;

// A Literal parameter binds as an integer, else as a real, else as text.
bool integerLiteral(const std::string& value, long long& integer) {
  char* end = nullptr;
  errno = 0;
  integer = std::strtoll(value.c_str(), &end, 10);
  return !value.empty() && *end == '\0' && errno == 0;
}

bool realLiteral(const std::string& value, double& real) {
  char* end = nullptr;
  real = std::strtod(value.c_str(), &end);
  return !value.empty() && *end == '\0' && value.find_first_of("0123456789") != std::string::npos;
}

int status(int rc) {
  switch (rc) {
    case SQLITE_OK:
      return kOk;
    case SQLITE_ROW:
      return kRow;
    case SQLITE_DONE:
      return kDone;
    default:
      return 2000 + (rc & 0xFF);
  }
}

class SqliteRows final : public Rows {
 public:
  // `cache`: the statement is one of its own, handed back to it at the end (else finalized).
  explicit SqliteRows(sqlite3_stmt* stmt, LiteralStatementCache* cache = nullptr)
      : stmt_(stmt), cache_(cache) {}
  ~SqliteRows() override {
    if (cache_ != nullptr) {
      cache_->close(stmt_);
    } else {
      sqlite3_finalize(stmt_);
    }
  }

  int columns() const override { return sqlite3_column_count(stmt_); }
  int step() override { return status(sqlite3_step(stmt_)); }
  void rewind() override { sqlite3_reset(stmt_); }
  Kind kind(int column) override {
    switch (sqlite3_column_type(stmt_, column)) {
      case SQLITE_NULL:
        return Kind::Null;
      case SQLITE_INTEGER:
        return Kind::Integer;
      case SQLITE_FLOAT:
        return Kind::Real;
      case SQLITE_BLOB:
        return Kind::Blob;
      default:
        return Kind::Text;
    }
  }
  long long integer(int column) override { return sqlite3_column_int64(stmt_, column); }
  std::string_view bytes(int column) override {
    const char* data = sqlite3_column_type(stmt_, column) == SQLITE_BLOB
                           ? static_cast<const char*>(sqlite3_column_blob(stmt_, column))
                           : reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    std::size_t length = static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
    return data == nullptr ? std::string_view{} : std::string_view(data, length);
  }
  void values(Value* out) override {
    // Each column's value once: its kind and bytes read from it, with none of
    // the checks each sqlite3_column_ call repeats.
    const int count = sqlite3_column_count(stmt_);
    for (int i = 0; i < count; ++i) {
      Value& value = out[i];
      sqlite3_value* column = sqlite3_column_value(stmt_, i);
      value.bytes = {};
      const char* data = nullptr;
      switch (sqlite3_value_type(column)) {
        case SQLITE_NULL:
          value.kind = Kind::Null;
          continue;
        case SQLITE_INTEGER:
          value.kind = Kind::Integer;
          value.integer = sqlite3_value_int64(column);
          continue;
        case SQLITE_BLOB:
          value.kind = Kind::Blob;
          data = static_cast<const char*>(sqlite3_value_blob(column));
          break;
        case SQLITE_FLOAT:
          value.kind = Kind::Real;
          data = reinterpret_cast<const char*>(sqlite3_value_text(column));
          break;
        default:
          value.kind = Kind::Text;
          data = reinterpret_cast<const char*>(sqlite3_value_text(column));
          break;
      }
      if (data != nullptr) value.bytes = {data, static_cast<std::size_t>(sqlite3_value_bytes(column))};
    }
  }
  std::string name(int column) override {
    const char* text = sqlite3_column_name(stmt_, column);
    return text != nullptr ? text : "";
  }
  char typeLetter(int column) override {
    const char* declared = sqlite3_column_decltype(stmt_, column);
    if (declared == nullptr) return 'V';
    std::string upperCase = upper(declared);
    // SQLite's affinity rules, in their order.
    if (upperCase.find("INT") != std::string::npos) return 'N';
    if (upperCase.find("CHAR") != std::string::npos || upperCase.find("CLOB") != std::string::npos ||
        upperCase.find("TEXT") != std::string::npos) {
      return 'A';
    }
    if (upperCase.find("BLOB") != std::string::npos || upperCase.empty()) return 'B';
    return 'N';
  }

 private:
  sqlite3_stmt* stmt_;
  LiteralStatementCache* cache_;
};

// Checkpoints of the file's log, made by a thread of their own on the
// server's own connection: a commit never waits for one, nor for the flush
// to disk it makes (SQLite would make it in the committing session, holding
// its thread). Started once a commit leaves kCheckpointFrames frames in the
// log, as SQLite's automatic checkpoint would be; passive, as that one is
// (no session waits for it).
class Checkpointer {
 public:
  static constexpr int kCheckpointFrames = 1000;

  explicit Checkpointer(Database* keeper) : keeper_(keeper) {
    if (keeper_ != nullptr) thread_ = std::thread([this] { run(); });
  }
  ~Checkpointer() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }
  Checkpointer(const Checkpointer&) = delete;
  Checkpointer& operator=(const Checkpointer&) = delete;

  // For sqlite3_wal_hook: a commit left `frames` frames in the log.
  static int committed(void* self, sqlite3*, const char*, int frames) {
    auto* checkpointer = static_cast<Checkpointer*>(self);
    if (frames < kCheckpointFrames || checkpointer->pending_.exchange(true)) return SQLITE_OK;
    { std::lock_guard lock(checkpointer->mutex_); }
    checkpointer->wake_.notify_one();
    return SQLITE_OK;
  }
  // Whether it makes the checkpoints (it has a connection of its own to make them on).
  bool active() const { return keeper_ != nullptr; }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      wake_.wait(lock, [this] { return stop_ || pending_.load(); });
      if (stop_) break;
      lock.unlock();
      sqlite3_wal_checkpoint_v2(keeper_->handle(), "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
      pending_ = false;
      lock.lock();
    }
  }

  Database* keeper_;
  std::atomic<bool> pending_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // under mutex_
  std::thread thread_;
};

class SqliteConnection final : public BackendConnection {
 public:
  SqliteConnection(std::unique_ptr<Database> db, const std::atomic<bool>& interrupted, LockReleases& releases,
                   Checkpointer& checkpointer)
      : db_(std::move(db)), interrupted_(interrupted), releases_(releases) {
    sqlite3_progress_handler(db_->handle(), 10000, &SqliteConnection::progress, this);
    // In place of SQLite's automatic checkpoint, made in the committing session.
    if (checkpointer.active()) sqlite3_wal_hook(db_->handle(), &Checkpointer::committed, &checkpointer);
  }
  ~SqliteConnection() override {
    if (writing_) {
      db_->runPrepared("ROLLBACK");
      endWrite();
    }
  }

  int beginWrite() override {
    int rc = db_->runPrepared("BEGIN IMMEDIATE");
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) return kBusy;
    if (rc == SQLITE_OK) writing_ = true;
    return status(rc);
  }
  int beginRead() override { return status(db_->runPrepared("BEGIN")); }
  int commit() override {
    int rc = db_->runPrepared("COMMIT");
    if (sqlite3_get_autocommit(db_->handle()) != 0) endWrite();
    return status(rc);
  }
  int rollback() override {
    int rc = db_->runPrepared("ROLLBACK");
    if (sqlite3_get_autocommit(db_->handle()) != 0) endWrite();
    return status(rc);
  }
  int savepoint(const char* name) override { return status(db_->runPrepared(text("SAVEPOINT ", name))); }
  int rollbackTo(const char* name) override {
    int rc = db_->runPrepared(text("ROLLBACK TO ", name));
    db_->runPrepared(text("RELEASE ", name));
    return status(rc);
  }
  int release(const char* name) override { return status(db_->runPrepared(text("RELEASE ", name))); }
  bool transactionOpen() override {
    if (sqlite3_get_autocommit(db_->handle()) == 0) return true;
    endWrite();  // SQLite rolled it back on its own (a full disk, an I/O error)
    return false;
  }

  void setLimits(Clock::time_point deadline, int) override { deadline_ = deadline; }
  // The progress handler reads the session's flag: nothing more to do here.
  void interrupt() override {}

  int run(std::string_view sql, const Parameters& parameters, WriteHook* hook, long long& changes,
          std::optional<std::string>* firstRow) override;
  int runBatch(const std::vector<std::string>& updates, const Parameters& parameters,
               std::vector<long long>& changes, std::size_t& failed) override;
  std::unique_ptr<Rows> query(std::string_view sql, const Parameters& parameters, int& code) override;
  int insertBlob(std::string_view sql, const Parameters& parameters, std::string_view data,
                 long long& changes) override;
  std::string errorText() const override { return db_->errorText(); }

 private:
  // A query that runs away holds a worker thread: interrupt it at the deadline.
  static int progress(void* self) {
    auto* connection = static_cast<SqliteConnection*>(self);
    return connection->interrupted_ || Clock::now() > connection->deadline_ ? 1 : 0;
  }
  int prepare(std::string_view sql, const Parameters& parameters, sqlite3_stmt** stmt, const char** tail);
  static void bind(sqlite3_stmt* stmt, const Parameters& parameters);
  // The write lock is free again: sessions that wait for it are woken.
  void endWrite() {
    if (!writing_) return;
    writing_ = false;
    releases_.released();
  }
  // "SAVEPOINT lumbra_batch" and the like, made once: Database::runPrepared keeps the text.
  const char* text(const char* verb, const char* name) {
    return texts_.insert(std::string(verb) + name).first->c_str();
  }

  std::unique_ptr<Database> db_;
  // Declared after the connection: its statements are finalized first.
  LiteralStatementCache literals_{db_->handle()};
  const std::atomic<bool>& interrupted_;
  LockReleases& releases_;
  bool writing_ = false;  // this connection holds the write lock (BEGIN IMMEDIATE)
  std::set<std::string> texts_;
  Clock::time_point deadline_ = Clock::time_point::max();
};

int SqliteConnection::prepare(std::string_view sql, const Parameters& parameters, sqlite3_stmt** stmt,
                              const char** tail) {
  int rc = sqlite3_prepare_v2(db_->handle(), sql.data(), static_cast<int>(sql.size()), stmt, tail);
  if (rc == SQLITE_OK && *stmt != nullptr) bind(*stmt, parameters);
  return rc;
}

void SqliteConnection::bind(sqlite3_stmt* stmt, const Parameters& parameters) {
  int count = sqlite3_bind_parameter_count(stmt);
  for (int i = 1; i <= count; ++i) {
    const char* name = sqlite3_bind_parameter_name(stmt, i);
    if (name == nullptr || name[0] != ':') continue;
    auto found = parameters.find(upper(name + 1));
    if (found == parameters.end() || found->second.kind == Parameter::Kind::Null) continue;
    const std::string& value = found->second.value;
    long long integer = 0;
    double real = 0;
    if (found->second.kind == Parameter::Kind::Literal && integerLiteral(value, integer)) {
      sqlite3_bind_int64(stmt, i, integer);
    } else if (found->second.kind == Parameter::Kind::Literal && realLiteral(value, real)) {
      sqlite3_bind_double(stmt, i, real);
    } else {
      sqlite3_bind_text(stmt, i, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
  }
}

int SqliteConnection::run(std::string_view sql, const Parameters& parameters, WriteHook* hook,
                          long long& changes, std::optional<std::string>* firstRow) {
  changes = 0;
  const char* at = sql.data();
  const char* end = sql.data() + sql.size();
  while (at < end) {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    int rc = prepare(std::string_view(at, static_cast<std::size_t>(end - at)), parameters, &stmt, &tail);
    if (rc != SQLITE_OK) return status(rc);
    // SQLite reads a text only up to a NUL byte and leaves the tail there: the
    // rest is never SQL, and taking it again would loop forever.
    if (tail == nullptr || tail <= at) {
      if (stmt != nullptr) sqlite3_finalize(stmt);
      break;
    }
    at = tail;
    if (stmt == nullptr) continue;  // blanks or a comment
    if (hook != nullptr && !sqlite3_stmt_readonly(stmt)) {
      if (int code = hook->beforeWrite(); code != kOk) {
        sqlite3_finalize(stmt);
        return code;
      }
    }
    long long before = sqlite3_total_changes64(db_->handle());
    bool gaveRow = false;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      if (firstRow != nullptr && !gaveRow) {
        std::string text;
        for (int i = 0; i < sqlite3_column_count(stmt) && text.size() < kLongestFirstRow; ++i) {
          if (i > 0) text.push_back(',');
          const unsigned char* value = sqlite3_column_text(stmt, i);
          if (value != nullptr) text.append(reinterpret_cast<const char*>(value));
        }
        *firstRow = std::move(text);
      }
      gaveRow = true;
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) return status(rc);
    changes += sqlite3_total_changes64(db_->handle()) - before;
  }
  return kOk;
}

// A load's INSERTs, and UPDATEs and DELETEs of literal values, run from the
// statements of their shapes; every other update as run() runs it.
int SqliteConnection::runBatch(const std::vector<std::string>& updates, const Parameters& parameters,
                               std::vector<long long>& changes, std::size_t& failed) {
  changes.assign(updates.size(), 0);
  sqlite3* db = db_->handle();
  for (std::size_t i = 0; i < updates.size(); ++i) {
    const long long before = sqlite3_total_changes64(db);
    int code = literals_.run(updates[i]);
    if (code == LiteralStatementCache::kNotTaken) {
      code = run(updates[i], parameters, nullptr, changes[i], nullptr);
    } else {
      code = code == SQLITE_DONE ? kOk : status(code);
      changes[i] = sqlite3_total_changes64(db) - before;
    }
    if (code != kOk) {
      failed = i;
      return code;
    }
  }
  return kOk;
}

std::unique_ptr<Rows> SqliteConnection::query(std::string_view sql, const Parameters& parameters, int& code) {
  // A point query of literal values: from the statement of its shape.
  if (sqlite3_stmt* cached = literals_.open(sql)) {
    code = kOk;
    return std::make_unique<SqliteRows>(cached, &literals_);
  }
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  int rc = prepare(sql, parameters, &stmt, &tail);
  if (rc != SQLITE_OK) {
    code = status(rc);
    return nullptr;
  }
  if (stmt == nullptr || !onlyBlanks(tail)) {
    sqlite3_finalize(stmt);
    code = kSecondStatement;
    return nullptr;
  }
  code = kOk;
  return std::make_unique<SqliteRows>(stmt);
}

int SqliteConnection::insertBlob(std::string_view sql, const Parameters& parameters, std::string_view data,
                                 long long& changes) {
  changes = 0;
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  int rc = prepare(sql, parameters, &stmt, &tail);
  if (rc != SQLITE_OK) return status(rc);
  // The data goes to the first unnamed '?' (named parameters come from PARM).
  int index = 0;
  if (stmt != nullptr && onlyBlanks(tail)) {
    for (int i = 1; i <= sqlite3_bind_parameter_count(stmt); ++i) {
      if (sqlite3_bind_parameter_name(stmt, i) == nullptr) {
        index = i;
        break;
      }
    }
  }
  if (index == 0) {
    sqlite3_finalize(stmt);
    return kNoPlace;
  }
  sqlite3_bind_blob(stmt, index, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
  long long before = sqlite3_total_changes64(db_->handle());
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) return status(rc);
  changes = sqlite3_total_changes64(db_->handle()) - before;
  return kOk;
}

class SqliteBackend final : public Backend {
 public:
  explicit SqliteBackend(std::string path, std::unique_ptr<Database> keeper = nullptr)
      : path_(std::move(path)), keeper_(std::move(keeper)) {}

  std::unique_ptr<BackendConnection> connect(const std::atomic<bool>& interrupted, std::string& error,
                                             bool& busy, bool) override {
    busy = false;
    auto db = Database::open(path_, Database::Role::Session, error);
    if (!db) return nullptr;
    return std::make_unique<SqliteConnection>(std::move(db), interrupted, releases_, checkpointer_);
  }
  bool pooled() const override { return false; }
  LockReleases* lockReleases() override { return &releases_; }
  // Beside the database file: where the server may write, on the same disk.
  std::string scratchDirectory() const override {
    if (path_.empty() || path_ == ":memory:") return {};
    const std::size_t slash = path_.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path_.substr(0, slash);
  }
  std::string version() const override {
    int number = sqlite3_libversion_number();
    return std::to_string(number / 1000000) + "." + std::to_string(number / 1000 % 1000);
  }

 private:
  std::string path_;
  // Open for the server's life, so that the file's log is not checkpointed
  // and removed each time the last session closes; the checkpoints are made on it.
  std::unique_ptr<Database> keeper_;
  Checkpointer checkpointer_{keeper_.get()};
  LockReleases releases_;
};

}  // namespace

// The file must open for writing now, not at the first login; its users are
// opened, and the old name of their table stays taken. Files this start
// created are removed again when it fails.
bool openSqliteDatabases(const DatabaseSetup& setup, Databases& out, std::string& error) {
  const std::string& path = setup.database;
  const bool existed = platform::fileExists(path);
  const bool usersExisted = platform::fileExists(userStorePath(path));
  auto fail = [&](std::string why) {
    error = std::move(why);
    out.users.reset();
    if (!existed) {
      for (const char* suffix : {"", "-wal", "-shm"}) platform::removeFile(path + suffix);
    }
    if (!usersExisted) {
      for (const char* suffix : {"", "-wal", "-shm"}) platform::removeFile(userStorePath(path) + suffix);
    }
    return false;
  };
  if (auto probe = Database::open(path, Database::Role::Session, error); !probe) {
    return fail("cannot open the database " + path + " for writing: " + error);
  }
  out.users = openUserFile(path, error);
  if (!out.users)
    return fail("cannot open the users of " + path + " (" + userStorePath(path) + "): " + error);
  // The old name of the table of users stays taken, by an empty table no
  // session may name, so that it can never be made to look like one.
  auto keeper = Database::open(path, Database::Role::Admin, error);
  const std::string reserve =
      std::string("CREATE TABLE IF NOT EXISTS main.") + kUserTable + " (reserved INTEGER)";
  if (!keeper || keeper->run(reserve.c_str()) != SQLITE_OK) {
    if (keeper) error = keeper->errorText();
    return fail("cannot prepare the database " + path + ": " + error);
  }
  out.backend = std::make_unique<SqliteBackend>(path, std::move(keeper));
  out.description = path;
  return true;
}

void limitSqliteMemory(long long megabytes) {
  if (megabytes <= 0) return;
  const sqlite3_int64 bytes = static_cast<sqlite3_int64>(megabytes) * 1024 * 1024;
  sqlite3_hard_heap_limit64(bytes);
  sqlite3_soft_heap_limit64(bytes / 4 * 3);
}

std::unique_ptr<Backend> openSqliteBackend(const std::string& path) {
  return std::make_unique<SqliteBackend>(path);
}

std::unique_ptr<Rows> sqliteRows(sqlite3_stmt* stmt) { return std::make_unique<SqliteRows>(stmt); }

}  // namespace lumbra::server
