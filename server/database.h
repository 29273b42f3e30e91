// One SQLite connection: opening in WAL mode, the hardening of session connections and their authorizer.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace lumbra::server {

// The table of users as older servers kept it inside the database file. The
// users now live in a file of their own (users.h); sessions may still neither
// name nor create a table of this name.
inline constexpr char kUserTable[] = "lumbra_server_users";

// The longest text or blob value and the longest table row a session may make:
// what one row of a SELECT reply can carry.
inline constexpr int kMaxValueLength = 99999;

class Database {
 public:
  enum class Role {
    Session,  // a client session: hardened, guarded, transaction statements only from the server
    Admin,    // the user store and the command line: triggers, views and foreign-key actions off
  };

  // Opens (and creates, with mode 0600) the database file; nullptr with `error`
  // set on failure, also when the file can only be read.
  static std::unique_ptr<Database> open(const std::string& path, Role role, std::string& error);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3* handle() const { return db_; }

  // Runs server-issued SQL (BEGIN, COMMIT, SAVEPOINT ...). Returns the SQLite result code.
  int run(const char* sql);
  // The same for the few statements a session runs again and again (BEGIN,
  // COMMIT, its savepoints): each compiled once for the connection's life.
  // `sql` is a string of the program's own that stays, not a built one.
  int runPrepared(const char* sql);

  // The connection's last error text.
  std::string errorText() const;

  // Whether the guard lets statements control transactions (only the server's own).
  void allowTransactionControl(bool allow) { transactionControl_ = allow; }

 private:
  explicit Database(sqlite3* db, Role role) : db_(db), role_(role) {}
  static int authorize(void* self, int action, const char* a, const char* b, const char*, const char*);

  sqlite3* db_;
  Role role_;
  bool transactionControl_ = false;
  std::vector<std::pair<const char*, sqlite3_stmt*>> prepared_;
};

}  // namespace lumbra::server
