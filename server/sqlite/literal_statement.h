// Statements of literal values, the ones sent by the thousand, run from a few prepared statements instead of
// being compiled one by one.
//
// A load's INSERTs differ only in their values: "INSERT INTO T VALUES (1, 'A')",
// "INSERT INTO T VALUES (2, 'B')"; so do the point queries and updates of an
// interactive application: "SELECT ID, NAME FROM T WHERE ID = 17",
// "UPDATE T SET CITY = 'X' WHERE ID = 17". Each is taken apart into its shape
// (the same text with every literal replaced by '?': "INSERT INTO T VALUES
// (?, ?)") and its values; the statement of that shape, compiled once, is
// bound and stepped. Compiling is most of what SQLite spends on such a
// statement.
//
// Only these forms are taken apart, and only where a bound value is the
// literal exactly (the same type and bytes, the same affinity then applied,
// a literal and a parameter both having none):
//   INSERT INTO name [(name, ...)] VALUES (literal, ...) [;]
//   SELECT * | name [, name ...] FROM name WHERE condition [;]
//   UPDATE name SET name = literal [, name = literal ...] WHERE condition [;]
//   DELETE FROM name WHERE condition [;]
// where a condition is
//   name op literal [AND | OR name op literal ...]   op: = == <> != < <= > >=
// with blanks anywhere between the parts, keywords in any case, names plain
// (letters, digits, '_', not starting with a digit), and each literal one of
//   - up to 18 decimal digits: an integer;
//   - a quoted text '...' ('' inside is one quote): a text;
//   - NULL.
// Anything else (signs, reals, blobs, quoted names, comments, several rows,
// OR REPLACE, RETURNING, ORDER BY, a NUL byte, ...) is left to the ordinary
// path. A literal stands only where any expression may, so the shape is
// parsed as the text is, with a parameter for each literal: the same plan
// (SQLite compiles a statement anew when a bound value could change its
// plan: a partial index, a LIKE), the same column names and types, the same
// errors (a shape that does not compile is left to the ordinary path, which
// reports the error for the text itself).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace lumbra::server {

struct LiteralValue {
  enum class Kind { Integer, Text, Null };
  Kind kind = Kind::Null;
  long long integer = 0;
  // A text's bytes: `length` bytes at `offset` in the texts buffer.
  std::size_t offset = 0;
  std::size_t length = 0;
};

// A statement taken apart: its shape, its values in order, and the bytes of
// its texts (quotes undone).
struct LiteralStatement {
  std::string shape;
  std::vector<LiteralValue> values;
  std::string texts;
};

// Takes the INSERT form of `sql` apart into `out` (its buffers reused);
// false when `sql` is not of that form.
bool takeApartInsert(std::string_view sql, LiteralStatement& out);
// The same for the SELECT, UPDATE and DELETE forms; `query` tells a SELECT.
bool takeApartKeyed(std::string_view sql, LiteralStatement& out, bool& query);

// The statements of the shapes a connection met last, each prepared once. The
// statements are finalized with the cache, which must go before its
// connection.
class LiteralStatementCache {
 public:
  // Outcome of run(): not of a form (or not bindable as such), the ordinary
  // path runs it; or SQLite's result code of stepping it (SQLITE_DONE when the
  // update is done).
  static constexpr int kNotTaken = -1;

  explicit LiteralStatementCache(sqlite3* db) : db_(db) {}
  ~LiteralStatementCache();
  LiteralStatementCache(const LiteralStatementCache&) = delete;
  LiteralStatementCache& operator=(const LiteralStatementCache&) = delete;

  // Runs the INSERT, UPDATE or DELETE `sql` from the statement of its shape:
  // kNotTaken, or the result of sqlite3_step (the statement reset afterwards,
  // its error text left on the connection as finalizing a statement leaves it).
  int run(std::string_view sql);
  // The statement of the shape of the SELECT `sql`, bound and ready to step
  // (its values copied: it may be stepped again later), or nullptr when not
  // taken. It stays the caller's until handed back with close().
  sqlite3_stmt* open(std::string_view sql);
  void close(sqlite3_stmt* stmt);

 private:
  struct Entry {
    std::string shape;
    sqlite3_stmt* stmt = nullptr;
    bool open = false;  // a query stepping it has not been closed yet
  };
  static constexpr std::size_t kEntries = 16;

  // The statement of parts_.shape; nullptr when it does not compile, or
  // compiles to something else than a statement of its form (`query`: one that only reads).
  sqlite3_stmt* statementOf(bool query);
  bool bind(sqlite3_stmt* stmt, bool copyTexts);

  sqlite3* db_;
  LiteralStatement parts_;
  // Most recently used first.
  std::vector<Entry> entries_;
};

}  // namespace lumbra::server
