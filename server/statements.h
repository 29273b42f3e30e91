// Running the statements of one SQL text, one after the other, on a session's connection.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace lumbra::server {

// What the caller of runStatements decides for each statement.
class StatementSteps {
 public:
  // Prepares the first statement of `sql` as sqlite3_prepare_v2 does (and binds its parameters).
  virtual int prepare(std::string_view sql, sqlite3_stmt** stmt, const char** tail) = 0;
  // Called before a prepared statement runs; anything but SQLITE_OK stops the run with that code.
  virtual int beforeStep(sqlite3_stmt* stmt);

 protected:
  ~StatementSteps() = default;
};

// Runs every statement of `sql`; `changes` gets the rows they changed, `firstRow`
// (when given) the first row of the last statement that gave rows, its columns
// joined by commas. Returns SQLITE_OK or the code that stopped the run.
int runStatements(sqlite3* db, std::string_view sql, StatementSteps& steps, long long& changes,
                  std::optional<std::string>* firstRow);

}  // namespace lumbra::server
