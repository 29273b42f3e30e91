// One SQLite connection: opening in WAL mode, the guard that keeps sessions off the user table.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct sqlite3;

namespace lumbra::server {

// The table of users inside the database file; sessions can neither read nor change it.
inline constexpr char kUserTable[] = "lumbra_server_users";

class Database {
 public:
  enum class Role {
    Session,  // a client session: guarded, transaction statements only from the server
    Admin,    // the user store and the command line
  };

  // Opens (and creates) the database file; nullptr with `error` set on failure.
  static std::unique_ptr<Database> open(const std::string& path, Role role, std::string& error);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3* handle() const { return db_; }

  // Runs server-issued SQL (BEGIN, COMMIT, SAVEPOINT ...). Returns the SQLite result code.
  int run(const char* sql);

  // The connection's last error text.
  std::string errorText() const;

  // Whether the guard lets statements control transactions (only the server's own).
  void allowTransactionControl(bool allow) { transactionControl_ = allow; }

 private:
  explicit Database(sqlite3* db, Role role) : db_(db), role_(role) {}
  static int authorize(void* self, int action, const char* a, const char* b, const char*,
                       const char*);

  sqlite3* db_;
  Role role_;
  bool transactionControl_ = false;
};

}  // namespace lumbra::server
