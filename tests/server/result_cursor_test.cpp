// Result cursor: the blocks are the same bytes whether rows were kept in memory, stepped again or laid out ahead.
#include "server/result_cursor.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <string>
#include <vector>

#include "protocol/wire.h"
#include "server/rows.h"
#include "server/sqlite/backend.h"

namespace lumbra::server {
namespace {

class Table {
 public:
  explicit Table(const std::string& script) {
    EXPECT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db_, script.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
  }
  ~Table() { sqlite3_close(db_); }
  sqlite3* db() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

struct Blocks {
  long long total = 0;
  std::size_t rowLength = 0;
  std::vector<std::string> blocks;  // each with its head and marker
  std::size_t keptBytes = 0;
};

// How the blocks after the first are made: each laid out when asked for;
// laid out ahead from kept rows; with the rows beyond the kept ones stepped
// ahead first (a few rows at a time); stepped ahead in pieces smaller than a
// block, the block ahead laid out on after each piece (and now and then left
// unfinished, or begun for another limit, when the request comes); or
// stepped ahead on another thread while the blocks are handed out, as the
// server does.
enum class Ahead { No, Kept, Stepped, Pieces, Threaded };

// Every block of `sql` for a reply limit, as the session lays them out: the
// first after a head, each later one after "LBX" and three digits.
Blocks readAll(sqlite3* db, const char* sql, std::size_t budget, std::size_t limit, Ahead ahead) {
  Blocks out;
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), SQLITE_OK);
  std::unique_ptr<Rows> rows = sqliteRows(stmt);
  ResultCursor cursor(budget);
  EXPECT_EQ(cursor.count(*rows), kDone);
  out.total = cursor.total();
  out.rowLength = cursor.rowLength();
  out.keptBytes = cursor.keptBytes();
  std::string block = "LBX0000000HEAD.";
  long long added = 0;
  int rc = kOk;
  EXPECT_TRUE(cursor.fill(rows.get(), block, limit, limit, true, added, rc));
  out.blocks.push_back(block + kEndOfBlock);
  // A few rows at a time, so that the queue runs dry and fills again often.
  const std::size_t stepBytes = 3 * limit / 2;
  std::atomic<bool> stop{false};
  std::thread producer;
  for (int number = 1; cursor.sent() < cursor.total() && number < 100000; ++number) {
    if (ahead == Ahead::Stepped && cursor.wantsReadAhead(stepBytes)) cursor.readAhead(*rows, stepBytes, stop);
    if (ahead == Ahead::Pieces) {
      const int pieces = number % 3 == 0 ? 2 : 1000;  // every third block is asked for unfinished
      for (int piece = 0; piece < pieces && !cursor.answersAhead(limit); ++piece) {
        if (cursor.wantsReadAhead(limit / 2)) cursor.readAhead(*rows, limit / 4, stop);
        // Now and then the block is laid out on for another limit in between.
        const std::size_t other = number % 5 == 0 && piece == 1 ? 2 * limit : limit;
        cursor.prepareAhead(other, other);
        if (!cursor.wantsReadAhead(limit / 2) && !cursor.answersAhead(limit)) break;
      }
    }
    if (ahead == Ahead::Threaded && !producer.joinable() && cursor.wantsReadAhead(stepBytes))
      producer = std::thread([&] { cursor.readAhead(*rows, stepBytes, stop); });
    if (ahead != Ahead::No && ahead != Ahead::Pieces) cursor.prepareAhead(limit, limit);
    // Only a block laid out for this very limit, with rows after it, answers
    // the request without SQL (the session then keeps it off the SQL threads).
    bool answersAhead = cursor.answersAhead(limit);
    if (!answersAhead && producer.joinable()) {
      producer.join();  // the statement is the producer's until it stops
      cursor.prepareAhead(limit, limit);
      answersAhead = cursor.answersAhead(limit);
    }
    EXPECT_FALSE(cursor.answersAhead(limit + 1));
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03d", number % 1000);
    const bool tookAhead = cursor.takeAhead(digits, limit, block);
    if (answersAhead) {
      EXPECT_TRUE(tookAhead);
    }
    if (tookAhead && !answersAhead) {
      EXPECT_EQ(cursor.sent(), cursor.total());
    }
    if (!tookAhead) {
      if (producer.joinable()) producer.join();
      block = std::string("LBX") + digits;
      EXPECT_TRUE(cursor.fill(rows.get(), block, limit, limit, false, added, rc));
      if (added == 0) break;
    }
    out.blocks.push_back(block + kEndOfBlock);
  }
  if (producer.joinable()) producer.join();
  EXPECT_FALSE(cursor.exhausted());
  return out;
}

TEST(ResultCursor, BlocksDoNotDependOnKeptRowsOrLayingOutAhead) {
  // Every kind of value: integers of every sign and size, reals, texts with
  // runs and escape bytes, blobs with NULs, NULLs, empty values.
  Table table(
      "CREATE TABLE T (K INTEGER, N NUMERIC, R REAL, S CHAR(40), B BLOB, E TEXT);"
      "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 700) "
      "INSERT INTO T SELECT CASE i % 7 WHEN 0 THEN -9223372036854775807 - 1 WHEN 1 THEN 9223372036854775807 "
      "ELSE i * (1 - 2 * (i % 2)) * 1000003 END, "
      "CASE WHEN i % 5 = 0 THEN NULL ELSE i * 7 END, i / 3.0, "
      "substr('CLIENTE     @@@ LBXEOB BBBBBB ' || i, 1 + i % 9), "
      "CASE WHEN i % 4 = 0 THEN NULL ELSE zeroblob(i % 13) || x'40424c' END, "
      "CASE WHEN i % 3 = 0 THEN '' ELSE NULL END FROM c;");
  const char* sql = "SELECT * FROM T";
  for (std::size_t limit : {300u, 1900u, 31999u, 999999u}) {
    SCOPED_TRACE(limit);
    const Blocks stepped = readAll(table.db(), sql, 0, limit, Ahead::No);
    ASSERT_EQ(stepped.total, 700);
    // Each column as wide as its longest value as SQLite renders it as text
    // (a blob: its bytes), asked value by value.
    sqlite3_stmt* each = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(table.db(), sql, -1, &each, nullptr), SQLITE_OK);
    std::vector<std::size_t> widths(static_cast<std::size_t>(sqlite3_column_count(each)), 0);
    while (sqlite3_step(each) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(each); ++c) {
        const int type = sqlite3_column_type(each, c);
        if (type == SQLITE_NULL) continue;
        if (type != SQLITE_BLOB) sqlite3_column_text(each, c);
        widths[c] = std::max(widths[c], static_cast<std::size_t>(sqlite3_column_bytes(each, c)));
      }
    }
    sqlite3_finalize(each);
    std::size_t rowLength = 0;
    for (std::size_t w : widths) rowLength += w;
    EXPECT_EQ(stepped.rowLength, rowLength);
    EXPECT_EQ(stepped.keptBytes, 0u);
    struct Way {
      const char* name;
      std::size_t budget;
      Ahead ahead;
    };
    for (const Way& way :
         {Way{"all kept", kResultBudget, Ahead::No}, Way{"all kept, ahead", kResultBudget, Ahead::Kept},
          Way{"some kept", 20000, Ahead::No}, Way{"some kept, ahead", 20000, Ahead::Kept},
          Way{"none kept, ahead", 0, Ahead::Kept}, Way{"some kept, stepped ahead", 20000, Ahead::Stepped},
          Way{"none kept, stepped ahead", 0, Ahead::Stepped},
          Way{"some kept, stepped ahead in pieces", 20000, Ahead::Pieces},
          Way{"none kept, stepped ahead in pieces", 0, Ahead::Pieces},
          Way{"some kept, stepped ahead on a thread", 20000, Ahead::Threaded},
          Way{"none kept, stepped ahead on a thread", 0, Ahead::Threaded}}) {
      SCOPED_TRACE(way.name);
      const Blocks other = readAll(table.db(), sql, way.budget, limit, way.ahead);
      EXPECT_LE(other.keptBytes, way.budget);
      EXPECT_EQ(other.rowLength, stepped.rowLength);
      ASSERT_EQ(other.blocks.size(), stepped.blocks.size());
      for (std::size_t i = 0; i < other.blocks.size(); ++i)
        ASSERT_EQ(other.blocks[i], stepped.blocks[i]) << i;
    }
  }
}

TEST(ResultCursor, AValueTooLongToKeepEndsTheKeepingNotTheResult) {
  Table table(
      "CREATE TABLE T (K INTEGER, B BLOB);"
      "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 40) "
      "INSERT INTO T SELECT i, CASE i WHEN 17 THEN randomblob(70000) ELSE randomblob(i) END FROM c;");
  const Blocks stepped = readAll(table.db(), "SELECT * FROM T", 0, 999999, Ahead::No);
  const Blocks kept = readAll(table.db(), "SELECT * FROM T", kResultBudget, 999999, Ahead::Kept);
  EXPECT_EQ(stepped.rowLength, 70002u);
  EXPECT_LT(kept.keptBytes, 70000u);  // the rows before the long one
  EXPECT_EQ(kept.blocks, stepped.blocks);
}

TEST(ResultCursor, IntegersReadAsSqliteWritesThem) {
  Table table(
      "CREATE TABLE T (K INTEGER);"
      "INSERT INTO T VALUES (0), (7), (-7), (10), (-10), (99999), (1000000001), (-2147483648),"
      "(4294967296), (-9223372036854775807 - 1), (9223372036854775807), (-1);");
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(table.db(), "SELECT K, K FROM T", -1, &stmt, nullptr), SQLITE_OK);
  int rows = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    char text[24];
    const std::size_t length = integerText(sqlite3_column_int64(stmt, 0), text);
    EXPECT_EQ(std::string(text, length), reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)));
    ++rows;
  }
  EXPECT_EQ(rows, 12);
  sqlite3_finalize(stmt);
}

TEST(ResultCursor, RowsOfLengthZeroComeOnePerContinuation) {
  Table table("CREATE TABLE T (A TEXT); INSERT INTO T VALUES (NULL), (''), (NULL);");
  for (std::size_t budget : {std::size_t{0}, kResultBudget}) {
    for (Ahead ahead : {Ahead::Kept, Ahead::Stepped, Ahead::Pieces, Ahead::Threaded}) {
      const Blocks blocks = readAll(table.db(), "SELECT A FROM T", budget, 1900, ahead);
      EXPECT_EQ(blocks.rowLength, 0u);
      const std::vector<std::string> expected = {"LBX0000000HEAD.LBXEOB", "LBX001LBXEOB", "LBX002LBXEOB",
                                                 "LBX003LBXEOB"};
      EXPECT_EQ(blocks.blocks, expected);
    }
  }
}

}  // namespace
}  // namespace lumbra::server
