// INSERTs of literal values, the statements a load sends by the thousand, run
// from a few prepared statements instead of being compiled one by one.
//
// A load's INSERTs differ only in their values: "INSERT INTO T VALUES (1, 'A')",
// "INSERT INTO T VALUES (2, 'B')". Each is taken apart into its shape (the same
// text with every literal replaced by '?': "INSERT INTO T VALUES (?, ?)") and
// its values; the statement of that shape, compiled once, is bound and
// stepped. Compiling is most of what SQLite spends on such an INSERT.
//
// Only one form is taken apart, and only where a bound value is the literal
// exactly (the same type and bytes, the same affinity then applied):
//   INSERT INTO name [(name, ...)] VALUES (literal, ...) [;]
// with blanks anywhere between the parts, keywords in any case, names plain
// (letters, digits, '_', not starting with a digit), and each literal one of
//   - up to 18 decimal digits: an integer;
//   - a quoted text '...' ('' inside is one quote): a text;
//   - NULL.
// Anything else (signs, reals, blobs, quoted names, comments, several rows,
// OR REPLACE, RETURNING, a NUL byte, ...) is left to the ordinary path.
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

// An INSERT taken apart: its shape, its values in order, and the bytes of its
// texts (quotes undone).
struct LiteralInsert {
  std::string shape;
  std::vector<LiteralValue> values;
  std::string texts;
};

// Takes `sql` apart into `out` (its buffers reused); false when `sql` is not
// of the form above.
bool takeApartInsert(std::string_view sql, LiteralInsert& out);

// The statements of the shapes a connection met last, each prepared once. The
// statements are finalized with the cache, which must go before its
// connection.
class LiteralInsertCache {
 public:
  // Outcome of run(): not of the form (or not bindable as such), the ordinary
  // path runs it; or SQLite's result code of stepping it (SQLITE_DONE when the
  // row went in).
  static constexpr int kNotTaken = -1;

  explicit LiteralInsertCache(sqlite3* db) : db_(db) {}
  ~LiteralInsertCache();
  LiteralInsertCache(const LiteralInsertCache&) = delete;
  LiteralInsertCache& operator=(const LiteralInsertCache&) = delete;

  // Runs `sql` from the statement of its shape: kNotTaken, or the result of
  // sqlite3_step (the statement reset afterwards, its error text left on the
  // connection as finalizing a statement leaves it).
  int run(std::string_view sql);

 private:
  struct Entry {
    std::string shape;
    sqlite3_stmt* stmt = nullptr;
  };
  static constexpr std::size_t kEntries = 8;

  sqlite3_stmt* statementOf(const std::string& shape);
  bool bind(sqlite3_stmt* stmt);

  sqlite3* db_;
  LiteralInsert parts_;
  // Most recently used first.
  std::vector<Entry> entries_;
};

}  // namespace lumbra::server
