// SQLite connections: WAL mode, the hardening of session connections, and the authorizer that guards them.
#include "server/database.h"

#include <sqlite3.h>
#include <strings.h>

#include "platform/system.h"

namespace lumbra::server {

namespace {

bool sameName(const char* name, const char* expected) {
  return name != nullptr && strcasecmp(name, expected) == 0;
}

bool listed(const char* name, const char* const* list) {
  for (; *list != nullptr; ++list) {
    if (sameName(name, *list)) return true;
  }
  return false;
}

// Pragmas a session may run: questions about one object of the schema (with
// its name as argument), and reads of a setting (no argument). Every other
// pragma, and every pragma that is given a value, changes the file or the
// connection and is refused.
bool allowedPragma(const char* name, const char* argument) {
  static const char* const kQueries[] = {
      "table_info",       "table_xinfo",       "index_info",      "index_xinfo", "index_list",
      "foreign_key_list", "foreign_key_check", "integrity_check", "quick_check", nullptr};
  static const char* const kReads[] = {
      "page_size",       "page_count",   "freelist_count", "encoding",       "schema_version",
      "user_version",    "data_version", "application_id", "journal_mode",   "foreign_keys",
      "cache_size",      "auto_vacuum",  "database_list",  "collation_list", "table_list",
      "compile_options", nullptr};
  if (listed(name, kQueries)) return true;
  return argument == nullptr && listed(name, kReads);
}

// Functions no session may call: fts3_tokenizer hands out and takes code pointers.
bool forbiddenFunction(const char* name) {
  static const char* const kForbidden[] = {"fts3_tokenizer", "load_extension", nullptr};
  return listed(name, kForbidden);
}

void configure(sqlite3* db, int option, int value) { sqlite3_db_config(db, option, value, nullptr); }

}  // namespace

std::unique_ptr<Database> Database::open(const std::string& path, Role role, std::string& error) {
  // Created here rather than by SQLite so that only the owner may read it; the
  // -wal and -shm files SQLite adds take the database file's mode.
  if (path != ":memory:" && !path.empty() && !platform::createPrivateFile(path, error)) return nullptr;
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
              (role == Role::Session ? SQLITE_OPEN_NOMUTEX : SQLITE_OPEN_FULLMUTEX);
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    error = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<Database> database{new Database(db, role)};
  if (sqlite3_db_readonly(db, "main") == 1) {
    error = "the file can only be read (no write permission)";
    return nullptr;
  }
  sqlite3_extended_result_codes(db, 0);
  // Both kinds: no edits of the schema's own tables, no journal_mode=OFF, no
  // schema_version writes, no pointers through fts3_tokenizer.
  configure(db, SQLITE_DBCONFIG_DEFENSIVE, 1);
  configure(db, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0);
  configure(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0);
  if (role == Role::Admin) {
    // The administration never runs what a session may have put in a file.
    configure(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0);
    configure(db, SQLITE_DBCONFIG_ENABLE_VIEW, 0);
    configure(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0);
  } else {
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kMaxValueLength);
  }
  // Opening waits a little for a connection that is closing or checkpointing.
  sqlite3_busy_timeout(db, 2000);
  const char* foreignKeys = role == Role::Admin ? "PRAGMA foreign_keys=OFF" : "PRAGMA foreign_keys=ON";
  if (database->run("PRAGMA journal_mode=WAL") != SQLITE_OK ||
      database->run("PRAGMA synchronous=NORMAL") != SQLITE_OK || database->run(foreignKeys) != SQLITE_OK ||
      database->run("PRAGMA temp_store=FILE") != SQLITE_OK ||
      database->run("PRAGMA mmap_size=0") != SQLITE_OK) {
    error = database->errorText();
    return nullptr;
  }
  if (role == Role::Session) {
    // Sessions never wait inside SQLite (that would hold a thread); the server
    // retries a busy write lock with a timer instead. The admin connection
    // keeps waiting a little, since it only runs short statements.
    sqlite3_busy_timeout(db, 0);
    sqlite3_set_authorizer(db, &Database::authorize, database.get());
  }
  return database;
}

Database::~Database() {
  for (auto& [sql, stmt] : prepared_) sqlite3_finalize(stmt);
  sqlite3_close_v2(db_);
}

int Database::run(const char* sql) {
  bool saved = transactionControl_;
  transactionControl_ = true;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  transactionControl_ = saved;
  return rc;
}

int Database::runPrepared(const char* sql) {
  // The authorizer is asked again whenever SQLite compiles a statement anew
  // (after a change of the schema): transaction control stays allowed while it steps.
  const bool saved = transactionControl_;
  transactionControl_ = true;
  sqlite3_stmt* stmt = nullptr;
  for (auto& [text, prepared] : prepared_) {
    if (text == sql) {
      stmt = prepared;
      break;
    }
  }
  int rc = SQLITE_OK;
  if (stmt == nullptr) {
    rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc == SQLITE_OK && stmt != nullptr) prepared_.emplace_back(sql, stmt);
  }
  if (rc == SQLITE_OK && stmt != nullptr) {
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    }
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
    sqlite3_reset(stmt);
  }
  transactionControl_ = saved;
  return rc;
}

std::string Database::errorText() const { return sqlite3_errmsg(db_); }

int Database::authorize(void* self, int action, const char* a, const char* b, const char*, const char*) {
  auto* database = static_cast<Database*>(self);
  switch (action) {
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
      return database->transactionControl_ ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
      return SQLITE_DENY;
    case SQLITE_PRAGMA:
      return allowedPragma(a, b) ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_FUNCTION:
      return forbiddenFunction(b) ? SQLITE_DENY : SQLITE_OK;
    default:
      break;
  }
  if (sameName(a, kUserTable) || sameName(b, kUserTable)) return SQLITE_DENY;
  return SQLITE_OK;
}

}  // namespace lumbra::server
