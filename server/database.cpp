// SQLite connections: WAL mode, pragmas, and the authorizer that guards the user table.
#include "server/database.h"

#include <sqlite3.h>
#include <strings.h>

namespace lumbra::server {

namespace {

bool sameName(const char* name, const char* expected) {
  return name != nullptr && strcasecmp(name, expected) == 0;
}

// Pragmas that would change the file for every session, or open the schema to edits.
bool forbiddenPragma(const char* name) {
  static const char* const kForbidden[] = {"writable_schema", "journal_mode", "locking_mode",
                                           "temp_store_directory", "data_store_directory",
                                           "wal_autocheckpoint", "trusted_schema"};
  for (const char* forbidden : kForbidden) {
    if (sameName(name, forbidden)) return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<Database> Database::open(const std::string& path, Role role, std::string& error) {
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
  sqlite3_extended_result_codes(db, 0);
  // Sessions never wait inside SQLite (that would hold a worker thread); the
  // server retries a busy write lock with a timer instead. The admin
  // connection waits a little, since it only runs short statements.
  sqlite3_busy_timeout(db, role == Role::Admin ? 2000 : 0);
  if (database->run("PRAGMA journal_mode=WAL") != SQLITE_OK ||
      database->run("PRAGMA synchronous=NORMAL") != SQLITE_OK ||
      database->run("PRAGMA foreign_keys=ON") != SQLITE_OK) {
    error = database->errorText();
    return nullptr;
  }
  if (role == Role::Session) {
    sqlite3_set_authorizer(db, &Database::authorize, database.get());
  }
  return database;
}

Database::~Database() { sqlite3_close_v2(db_); }

int Database::run(const char* sql) {
  bool saved = transactionControl_;
  transactionControl_ = true;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  transactionControl_ = saved;
  return rc;
}

std::string Database::errorText() const { return sqlite3_errmsg(db_); }

int Database::authorize(void* self, int action, const char* a, const char* b, const char*,
                        const char*) {
  auto* database = static_cast<Database*>(self);
  switch (action) {
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
      return database->transactionControl_ ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
      return SQLITE_DENY;
    case SQLITE_PRAGMA:
      return forbiddenPragma(a) ? SQLITE_DENY : SQLITE_OK;
    default:
      break;
  }
  if (sameName(a, kUserTable) || sameName(b, kUserTable)) return SQLITE_DENY;
  return SQLITE_OK;
}

}  // namespace lumbra::server
