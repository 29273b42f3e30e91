// Fuzz target: literal INSERTs, UPDATEs and DELETEs run from the statement of their shape store
// what the text compiled on its own stores, and fail with the same code and text.
//
// The input is one SQL text. Texts the shape path does not take are dropped (no query is ever
// run). Two in-memory databases of one schema take each text: one compiles it, the other runs it
// as a batch does (the cache, the text itself when not taken); their results and then their
// tables must be the same.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/scratch_dir.h"
#include "server/sqlite/literal_statement.h"

namespace {

using fuzzing::check;
using lumbra::server::LiteralStatement;
using lumbra::server::LiteralStatementCache;

constexpr char kSchema[] =
    "CREATE TABLE T (ID INTEGER PRIMARY KEY, I INT, N NUMERIC, R REAL, C CHAR(10) NOT NULL DEFAULT '',"
    " B BLOB, X, UNIQUE (C));"
    "CREATE TABLE U (A TEXT, B INTEGER CHECK (B < 1000))";

struct Databases {
  Databases() {
    check(sqlite3_open(":memory:", &plain) == SQLITE_OK && sqlite3_open(":memory:", &cached) == SQLITE_OK,
          "open");
    check(sqlite3_exec(plain, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_exec(cached, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK,
          "schema");
    // Long texts take the ordinary path on the cached side; the limit keeps both equal.
    sqlite3_limit(plain, SQLITE_LIMIT_LENGTH, 64);
    sqlite3_limit(cached, SQLITE_LIMIT_LENGTH, 64);
    cache = std::make_unique<LiteralStatementCache>(cached);
  }
  sqlite3* plain = nullptr;
  sqlite3* cached = nullptr;
  std::unique_ptr<LiteralStatementCache> cache;
};

std::string dump(sqlite3* db) {
  std::string all;
  for (const char* sql :
       {"SELECT quote(ID), quote(I), quote(N), quote(R), quote(C), quote(B), quote(X) FROM T "
        "ORDER BY rowid",
        "SELECT quote(A), quote(B) FROM U ORDER BY rowid"}) {
    sqlite3_stmt* stmt = nullptr;
    check(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK, "dump");
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        all.append(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)));
        all.push_back('|');
      }
      all.push_back('\n');
    }
    sqlite3_finalize(stmt);
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Databases dbs;
  if (size > 4096) return 0;
  const std::string sql(reinterpret_cast<const char*>(data), size);
  LiteralStatement parts;
  bool query = false;
  if (!lumbra::server::takeApartInsert(sql, parts) &&
      (!lumbra::server::takeApartKeyed(sql, parts, query) || query))
    return 0;

  const int plain = sqlite3_exec(dbs.plain, sql.c_str(), nullptr, nullptr, nullptr);
  int cached = dbs.cache->run(sql);
  if (cached == LiteralStatementCache::kNotTaken) {
    cached = sqlite3_exec(dbs.cached, sql.c_str(), nullptr, nullptr, nullptr);
  } else if (cached == SQLITE_DONE) {
    cached = SQLITE_OK;
  }
  check(cached == plain, "the same result code");
  if (plain != SQLITE_OK)
    check(std::string(sqlite3_errmsg(dbs.plain)) == sqlite3_errmsg(dbs.cached), "the same error text");
  check(dump(dbs.plain) == dump(dbs.cached), "the same rows");
  sqlite3_exec(dbs.plain, "DELETE FROM T; DELETE FROM U", nullptr, nullptr, nullptr);
  sqlite3_exec(dbs.cached, "DELETE FROM T; DELETE FROM U", nullptr, nullptr, nullptr);
  return 0;
}
