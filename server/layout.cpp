// The database and its file of users: what a file is, the checks before serving, init, upgrade, backup.
#include "server/layout.h"

#include <sqlite3.h>

#include <cstdio>
#include <memory>

#include "server/database.h"
#include "server/users.h"
#include "platform/system.h"

namespace lumbra::server {

namespace {

const std::string kReservedTableSql = std::string("CREATE TABLE IF NOT EXISTS main.") + kUserTable + " (reserved INTEGER)";

struct Closer {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Handle = std::unique_ptr<sqlite3, Closer>;

// A path as the file name of an SQLite URI.
std::string uriOf(const std::string& path) {
  std::string out = "file:";
  // "file://x" would name a host.
  if (path.starts_with("//")) out += "/";
  for (char c : path) {
    if (c == '%') {
      out += "%25";
    } else if (c == '?') {
      out += "%3f";
    } else if (c == '#') {
      out += "%23";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// A read-only connection that creates nothing: a file no connection has open
// (no -wal beside it) is read as immutable, which needs no -shm.
Handle openReading(const std::string& path, std::string& error) {
  std::string uri = uriOf(path) + "?mode=ro";
  if (!platform::fileExists(path + "-wal")) uri += "&immutable=1";
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  Handle handle(db);
  if (rc != SQLITE_OK) {
    error = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 2000);
  return handle;
}

// The first column of each row of `sql` as text; nothing with `error`.
std::optional<std::vector<std::string>> column(sqlite3* db, const std::string& sql, std::string& error) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return std::nullopt;
  }
  std::vector<std::string> values;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
  }
  if (rc != SQLITE_DONE) error = sqlite3_errmsg(db);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) return std::nullopt;
  return values;
}

std::optional<long long> number(sqlite3* db, const std::string& sql, std::string& error) {
  auto values = column(db, sql, error);
  if (!values) return std::nullopt;
  if (values->empty()) return 0;
  return std::atoll(values->front().c_str());
}

FileInspection other(std::string detail) {
  FileInspection inspection;
  inspection.kind = FileKind::Other;
  inspection.detail = std::move(detail);
  return inspection;
}

std::string hex(std::int64_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

// `path` minus its ".users", when it has one.
std::string databaseOfUsers(const std::string& path) {
  constexpr std::string_view kSuffix = ".users";
  if (path.size() > kSuffix.size() && path.ends_with(kSuffix)) return path.substr(0, path.size() - kSuffix.size());
  return {};
}

// Why a database path that is not a database is refused: one line, saying what to do.
std::string refusal(const std::string& path, const FileInspection& found) {
  switch (found.kind) {
    case FileKind::Missing:
      return "no database at " + path + " (lumbra-server init --database " + path + " makes a new one)";
    case FileKind::Users: {
      std::string database = databaseOfUsers(path);
      if (database.empty()) return path + " is a file of users, not a database; nothing changed";
      return path + " is the file of users of the database " + database + ": give --database " + database +
             "; nothing changed";
    }
    case FileKind::OldDatabase:
      return path + " keeps its users inside, as older servers did: lumbra-server upgrade --database " + path +
             " moves them to " + userStorePath(path) + " after writing a backup; nothing changed";
    case FileKind::Other:
      return path + " is not a lumbra-server database (" + found.detail + "); nothing changed";
    case FileKind::Database:
      break;
  }
  return {};
}

std::string usersRefusal(const std::string& databasePath, const FileInspection& found) {
  const std::string users = userStorePath(databasePath);
  switch (found.kind) {
    case FileKind::Missing:
      return "the database " + databasePath + " has no file of users " + users +
             " (restore it from a backup, or lumbra-server init --database " + databasePath +
             " makes an empty one)";
    case FileKind::Database:
    case FileKind::OldDatabase:
      return users + " is a database, not the file of users of " + databasePath + "; nothing changed";
    case FileKind::Other:
      return users + " is not a file of users of lumbra-server (" + found.detail + "); nothing changed";
    case FileKind::Users:
      break;
  }
  return {};
}

bool setMark(Database& db, std::int32_t mark, std::string& error) {
  std::string sql = "PRAGMA application_id=" + std::to_string(mark);
  if (db.run(sql.c_str()) != SQLITE_OK) {
    error = db.errorText();
    return false;
  }
  return true;
}

void removeWithCompanions(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) platform::removeFile(path + suffix);
}

// A new database: marked, with the reserved table.
bool makeDatabase(const std::string& path, std::string& error) {
  auto db = Database::open(path, Database::Role::Admin, error);
  if (!db) return false;
  if (db->run("BEGIN IMMEDIATE") != SQLITE_OK || db->run(kReservedTableSql.c_str()) != SQLITE_OK ||
      !setMark(*db, kDatabaseMark, error) || db->run("COMMIT") != SQLITE_OK) {
    if (error.empty()) error = db->errorText();
    return false;
  }
  return true;
}

// Copies the SQLite file `from` to the new file `to` (mode 0600) in one step
// of the online backup: one consistent snapshot, taken while others write.
bool copyFile(const std::string& from, const std::string& to, std::string& error) {
  Handle source = openReading(from, error);
  if (!source) return false;
  if (!platform::createPrivateFile(to, error)) return false;
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(to.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  Handle target(raw);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(raw, 2000);
    sqlite3_backup* backup = sqlite3_backup_init(raw, "main", source.get(), "main");
    if (backup == nullptr) {
      rc = sqlite3_errcode(raw);
    } else {
      rc = sqlite3_backup_step(backup, -1);
      if (rc == SQLITE_DONE) rc = SQLITE_OK;
      int finished = sqlite3_backup_finish(backup);
      if (rc == SQLITE_OK) rc = finished;
    }
  }
  if (rc != SQLITE_OK) {
    error = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    target.reset();
    removeWithCompanions(to);
    return false;
  }
  return true;
}

// Moves the users of a database of the oldest layout into the new file of
// users `usersPath`, then replaces the database's table by the reserved one
// and marks both. The connections run no triggers, views or foreign-key
// actions: nothing a session hung on the old table runs.
bool moveOldUsers(const std::string& databasePath, const std::string& usersPath, int& moved, std::string& error) {
  auto old = Database::open(databasePath, Database::Role::Admin, error);
  if (!old) return false;
  auto store = Database::open(usersPath, Database::Role::Admin, error);
  if (!store) return false;
  std::string create = std::string("CREATE TABLE IF NOT EXISTS ") + kUserTable +
                       " (id TEXT PRIMARY KEY, hash TEXT NOT NULL, changed TEXT NOT NULL)";
  if (store->run("BEGIN IMMEDIATE") != SQLITE_OK || store->run(create.c_str()) != SQLITE_OK) {
    error = store->errorText();
    return false;
  }
  sqlite3_stmt* read = nullptr;
  sqlite3_stmt* write = nullptr;
  std::string select = std::string("SELECT id, hash, changed FROM main.") + kUserTable;
  std::string insert = std::string("INSERT INTO ") + kUserTable + " (id, hash, changed) VALUES (?1, ?2, ?3)";
  bool ok = sqlite3_prepare_v2(old->handle(), select.c_str(), -1, &read, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(store->handle(), insert.c_str(), -1, &write, nullptr) == SQLITE_OK;
  int rc = SQLITE_DONE;
  moved = 0;
  while (ok && (rc = sqlite3_step(read)) == SQLITE_ROW) {
    for (int i = 0; i < 3; ++i) {
      const unsigned char* text = sqlite3_column_text(read, i);
      sqlite3_bind_text(write, i + 1, text != nullptr ? reinterpret_cast<const char*>(text) : "", -1,
                        SQLITE_TRANSIENT);
    }
    if (sqlite3_step(write) != SQLITE_DONE) {
      ok = false;
      break;
    }
    sqlite3_reset(write);
    ++moved;
  }
  if (ok && rc != SQLITE_DONE) ok = false;
  if (!ok) error = rc != SQLITE_DONE ? old->errorText() : store->errorText();
  sqlite3_finalize(read);
  sqlite3_finalize(write);
  if (!ok || store->run("PRAGMA user_version=1") != SQLITE_OK || !setMark(*store, kUsersMark, error) ||
      store->run("COMMIT") != SQLITE_OK) {
    if (error.empty()) error = store->errorText();
    store->run("ROLLBACK");
    return false;
  }
  std::string drop = std::string("DROP TABLE main.") + kUserTable;
  if (old->run("BEGIN IMMEDIATE") != SQLITE_OK || old->run(drop.c_str()) != SQLITE_OK ||
      old->run(kReservedTableSql.c_str()) != SQLITE_OK || !setMark(*old, kDatabaseMark, error) ||
      old->run("COMMIT") != SQLITE_OK) {
    if (error.empty()) error = old->errorText();
    old->run("ROLLBACK");
    return false;
  }
  return true;
}

bool markFile(const std::string& path, std::int32_t mark, std::string& error) {
  auto db = Database::open(path, Database::Role::Admin, error);
  return db && setMark(*db, mark, error);
}

}  // namespace

FileInspection inspectFile(const std::string& path) {
  if (!platform::fileExists(path)) return {};
  std::string error;
  Handle db = openReading(path, error);
  if (!db) return other("cannot be read: " + error);
  auto pages = number(db.get(), "PRAGMA page_count", error);
  if (!pages) {
    int code = sqlite3_errcode(db.get());
    return other(code == SQLITE_NOTADB ? "not a SQLite database" : "cannot be read: " + error);
  }
  if (*pages == 0) return other("an empty file");
  auto mark = number(db.get(), "PRAGMA application_id", error);
  auto version = number(db.get(), "PRAGMA user_version", error);
  auto columns = column(db.get(), std::string("SELECT name FROM pragma_table_info('") + kUserTable + "')", error);
  if (!mark || !version || !columns) return other("cannot be read: " + error);
  FileInspection found;
  found.marked = *mark != 0;
  const bool reserved = *columns == std::vector<std::string>{"reserved"};
  const bool users = *columns == std::vector<std::string>{"id", "hash", "changed"};
  if (users) {
    auto count = number(db.get(), std::string("SELECT COUNT(*) FROM ") + kUserTable, error);
    if (!count) return other("cannot be read: " + error);
    found.users = static_cast<int>(*count);
  }
  if (*mark == kDatabaseMark && reserved) {
    found.kind = FileKind::Database;
  } else if (*mark == kUsersMark && users) {
    found.kind = FileKind::Users;
  } else if (*mark != 0) {
    return other(*mark == kDatabaseMark || *mark == kUsersMark
                     ? "its table " + std::string(kUserTable) + " is not the server's"
                     : "a database of another program, application_id " + hex(*mark));
  } else if (reserved) {
    found.kind = FileKind::Database;
  } else if (users) {
    found.kind = *version == 1 ? FileKind::Users : FileKind::OldDatabase;
  } else if (!columns->empty()) {
    return other("its table " + std::string(kUserTable) + " is not the server's");
  } else {
    auto tables = number(db.get(), "SELECT COUNT(*) FROM sqlite_schema", error);
    return other(tables && *tables == 0 ? "an empty SQLite database" : "a SQLite database of other tables");
  }
  return found;
}

std::optional<int> checkDatabase(const std::string& databasePath, std::string& error) {
  if (databasePath == ":memory:") return 0;
  FileInspection database = inspectFile(databasePath);
  if (database.kind != FileKind::Database) {
    error = refusal(databasePath, database);
    return std::nullopt;
  }
  FileInspection users = inspectFile(userStorePath(databasePath));
  if (users.kind != FileKind::Users) {
    error = usersRefusal(databasePath, users);
    return std::nullopt;
  }
  return users.users;
}

bool createDatabase(const std::string& databasePath, std::string& report, std::string& error) {
  const std::string usersPath = userStorePath(databasePath);
  FileInspection database = inspectFile(databasePath);
  FileInspection users = inspectFile(usersPath);
  if (database.kind != FileKind::Missing && database.kind != FileKind::Database) {
    error = refusal(databasePath, database);
    return false;
  }
  if (users.kind != FileKind::Missing && users.kind != FileKind::Users) {
    error = usersRefusal(databasePath, users);
    return false;
  }
  if (database.kind == FileKind::Database && users.kind == FileKind::Users) {
    report = "the database " + databasePath + " and its users " + usersPath + " are there already (" +
             std::to_string(users.users) + " users): nothing changed";
    return true;
  }
  if (database.kind == FileKind::Missing) {
    if (!makeDatabase(databasePath, error)) {
      error = "cannot create the database " + databasePath + ": " + error;
      removeWithCompanions(databasePath);
      return false;
    }
  }
  if (users.kind == FileKind::Missing) {
    if (!UserStore::open(databasePath, error)) {
      error = "cannot create the file of users " + usersPath + ": " + error;
      removeWithCompanions(usersPath);
      if (database.kind == FileKind::Missing) removeWithCompanions(databasePath);
      return false;
    }
  }
  if (database.kind == FileKind::Missing && users.kind == FileKind::Missing) {
    report = "created the database " + databasePath + " and its file of users " + usersPath + " (no users yet)";
  } else if (database.kind == FileKind::Missing) {
    report = "created the database " + databasePath + " beside its users " + usersPath + " (" +
             std::to_string(users.users) + " users)";
  } else {
    report = "created an empty file of users " + usersPath + " for the database " + databasePath;
  }
  return true;
}

bool upgradeDatabase(const std::string& databasePath, std::string& report, std::string& error) {
  const std::string usersPath = userStorePath(databasePath);
  FileInspection database = inspectFile(databasePath);
  if (database.kind != FileKind::Database && database.kind != FileKind::OldDatabase) {
    error = refusal(databasePath, database);
    return false;
  }
  FileInspection users = inspectFile(usersPath);
  if (users.kind != FileKind::Missing && users.kind != FileKind::Users) {
    error = usersRefusal(databasePath, users);
    return false;
  }
  std::vector<std::string> steps;
  if (database.kind == FileKind::OldDatabase) {
    if (users.kind == FileKind::Users && users.users > 0) {
      error = usersPath + " holds " + std::to_string(users.users) + " users already, and " + databasePath +
              " another " + std::to_string(database.users) +
              ": move one of them aside first; nothing changed";
      return false;
    }
    const std::string backup = databasePath + ".before-upgrade";
    if (platform::fileExists(backup)) {
      error = "a backup " + backup + " is there already: move it aside first; nothing changed";
      return false;
    }
    if (!copyFile(databasePath, backup, error)) {
      error = "cannot write the backup " + backup + ": " + error + "; nothing changed";
      return false;
    }
    steps.push_back("backup of " + databasePath + " written to " + backup);
    int moved = 0;
    if (!moveOldUsers(databasePath, usersPath, moved, error)) {
      if (users.kind == FileKind::Missing) removeWithCompanions(usersPath);
      error = "cannot move the users of " + databasePath + ": " + error + " (the database is unchanged; its backup is " +
              backup + ")";
      return false;
    }
    steps.push_back(std::to_string(moved) + " users moved to " + usersPath + "; their table in " + databasePath + " replaced by an empty reserved one");
  } else {
    if (!database.marked) {
      if (!markFile(databasePath, kDatabaseMark, error)) {
        error = "cannot mark " + databasePath + ": " + error;
        return false;
      }
      steps.push_back(databasePath + " marked as a database of lumbra-server");
    }
    if (users.kind == FileKind::Users && !users.marked) {
      if (!markFile(usersPath, kUsersMark, error)) {
        error = "cannot mark " + usersPath + ": " + error;
        return false;
      }
      steps.push_back(usersPath + " marked as a file of users of lumbra-server");
    }
  }
  if (steps.empty()) {
    report = databasePath + " is a database of this server already: nothing to do";
    return true;
  }
  for (const std::string& step : steps) report += (report.empty() ? "" : "; ") + step;
  return true;
}

std::optional<std::vector<std::string>> readUsers(const std::string& databasePath, std::string& error) {
  if (!checkDatabase(databasePath, error)) return std::nullopt;
  Handle db = openReading(userStorePath(databasePath), error);
  if (!db) return std::nullopt;
  auto ids = column(db.get(), std::string("SELECT id FROM ") + kUserTable + " ORDER BY id", error);
  if (!ids) error = "cannot read the users of " + databasePath + ": " + error;
  return ids;
}

bool backupDatabase(const std::string& databasePath, const std::string& destination, std::string& report,
                    std::string& error) {
  if (!checkDatabase(databasePath, error)) return false;
  const std::string usersDestination = userStorePath(destination);
  for (const std::string& taken : {destination, usersDestination}) {
    if (platform::fileExists(taken)) {
      error = "the backup " + taken + " is there already; nothing written";
      return false;
    }
  }
  if (!copyFile(databasePath, destination, error)) {
    error = "cannot copy " + databasePath + " to " + destination + ": " + error;
    return false;
  }
  if (!copyFile(userStorePath(databasePath), usersDestination, error)) {
    error = "cannot copy " + userStorePath(databasePath) + " to " + usersDestination + ": " + error;
    removeWithCompanions(destination);
    return false;
  }
  report = "the database " + databasePath + " copied to " + destination + ", its users to " + usersDestination;
  return true;
}

}  // namespace lumbra::server
