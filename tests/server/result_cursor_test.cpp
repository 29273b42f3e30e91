// Result cursor: the blocks are the same bytes whether rows were kept in memory or a file, stepped again or laid out ahead.
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
#include "tests/support/temp_dir.h"

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
  long long keptRows = 0;
  bool spilled = false;
};

// Where a cursor keeps the rows of its counting pass: `memory` bytes, then
// `file` bytes in a scratch file in `folder`.
struct Keeping {
  std::size_t memory = 0;
  std::uint64_t file = 0;
  std::string folder;
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
Blocks readAll(sqlite3* db, const char* sql, const Keeping& keeping, std::size_t limit, Ahead ahead) {
  Blocks out;
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), SQLITE_OK);
  std::unique_ptr<Rows> rows = sqliteRows(stmt);
  ResultCursor cursor(keeping.memory, keeping.file, keeping.folder);
  EXPECT_EQ(cursor.count(*rows), kDone);
  out.total = cursor.total();
  out.rowLength = cursor.rowLength();
  out.keptBytes = cursor.keptBytes();
  out.keptRows = cursor.keptRows();
  out.spilled = cursor.spilled();
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
  EXPECT_EQ(cursor.state(), ResultCursor::State::Ended);
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
  suite_test::TempDir folder("lumbra-cursor-test");
  for (std::size_t limit : {300u, 1900u, 31999u, 999999u}) {
    SCOPED_TRACE(limit);
    const Blocks stepped = readAll(table.db(), sql, Keeping{}, limit, Ahead::No);
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
    EXPECT_EQ(stepped.keptRows, 0);
    const Keeping all{kResultBudget, 0, ""}, some{20000, 0, ""}, none{};
    // Some rows in memory, the rest in the file; all in the file; the file
    // full before the end (the rest stepped again).
    const Keeping spilled{20000, kResultFileBudget, folder.path().string()},
        filed{0, kResultFileBudget, folder.path().string()}, filedInPart{0, 30000, folder.path().string()};
    struct Way {
      const char* name;
      Keeping keeping;
      Ahead ahead;
      long long keptRows;  // -1: some, not all
      bool spilled;
    };
    for (const Way& way :
         {Way{"all kept", all, Ahead::No, 700, false}, Way{"all kept, ahead", all, Ahead::Kept, 700, false},
          Way{"some kept", some, Ahead::No, -1, false}, Way{"some kept, ahead", some, Ahead::Kept, -1, false},
          Way{"none kept, ahead", none, Ahead::Kept, 0, false},
          Way{"some kept, stepped ahead", some, Ahead::Stepped, -1, false},
          Way{"none kept, stepped ahead", none, Ahead::Stepped, 0, false},
          Way{"some kept, stepped ahead in pieces", some, Ahead::Pieces, -1, false},
          Way{"none kept, stepped ahead in pieces", none, Ahead::Pieces, 0, false},
          Way{"some kept, stepped ahead on a thread", some, Ahead::Threaded, -1, false},
          Way{"none kept, stepped ahead on a thread", none, Ahead::Threaded, 0, false},
          Way{"kept in memory and a file", spilled, Ahead::No, 700, true},
          Way{"kept in memory and a file, ahead", spilled, Ahead::Kept, 700, true},
          Way{"kept in a file, ahead", filed, Ahead::Kept, 700, true},
          Way{"kept in part in a file, stepped ahead in pieces", filedInPart, Ahead::Pieces, -1, true}}) {
      SCOPED_TRACE(way.name);
      const Blocks other = readAll(table.db(), sql, way.keeping, limit, way.ahead);
      EXPECT_LE(other.keptBytes, way.keeping.memory);
      if (way.keptRows >= 0) {
        EXPECT_EQ(other.keptRows, way.keptRows);
      } else {
        EXPECT_GT(other.keptRows, 0);
        EXPECT_LT(other.keptRows, 700);
      }
      EXPECT_EQ(other.spilled, way.spilled);
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
  const Blocks stepped = readAll(table.db(), "SELECT * FROM T", Keeping{}, 999999, Ahead::No);
  const Blocks kept =
      readAll(table.db(), "SELECT * FROM T", Keeping{kResultBudget, 0, ""}, 999999, Ahead::Kept);
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
      const Blocks blocks = readAll(table.db(), "SELECT A FROM T", Keeping{budget, 0, ""}, 1900, ahead);
      EXPECT_EQ(blocks.rowLength, 0u);
      const std::vector<std::string> expected = {"LBX0000000HEAD.LBXEOB", "LBX001LBXEOB", "LBX002LBXEOB",
                                                 "LBX003LBXEOB"};
      EXPECT_EQ(blocks.blocks, expected);
    }
  }
}

TEST(ResultCursor, MovesOnlyAsItsTableSays) {
  using S = ResultCursor::State;
  const S all[] = {S::Counting, S::Open, S::Ahead, S::Ready, S::Ended};
  // Rows: from; columns: to, in the order above.
  const bool table[5][5] = {
      {false, true, false, false, true},   {false, false, true, true, true},
      {false, true, false, true, false},   {false, true, false, false, true},
      {false, false, false, false, false},
  };
  for (int from = 0; from < 5; ++from) {
    for (int to = 0; to < 5; ++to) {
      EXPECT_EQ(ResultCursor::allowed(all[from], all[to]), table[from][to]) << from << " -> " << to;
    }
  }
}

// The states a read goes through: a block laid out ahead in part, put back
// by a request that comes too early, then one laid out whole and taken.
TEST(ResultCursor, ABlockAheadIsPutBackOrTaken) {
  Table table(
      "CREATE TABLE T (K INTEGER);"
      "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 300) "
      "INSERT INTO T SELECT i FROM c;");
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(table.db(), "SELECT K FROM T", -1, &stmt, nullptr), SQLITE_OK);
  std::unique_ptr<Rows> rows = sqliteRows(stmt);
  ResultCursor cursor(0, 0, "");  // nothing kept: the rows after the first block are stepped ahead
  EXPECT_EQ(cursor.state(), ResultCursor::State::Counting);
  ASSERT_EQ(cursor.count(*rows), kDone);
  EXPECT_EQ(cursor.state(), ResultCursor::State::Open);
  std::string block = "HEAD";
  long long added = 0;
  int rc = kOk;
  ASSERT_TRUE(cursor.fill(rows.get(), block, 100, 100, true, added, rc));
  std::atomic<bool> stop{false};
  // Rows for part of a block: laid out ahead, it waits for more.
  cursor.readAhead(*rows, 20, stop);
  const long long before = cursor.sent();
  cursor.prepareAhead(100, 100);
  EXPECT_EQ(cursor.state(), ResultCursor::State::Ahead);
  EXPECT_FALSE(cursor.answersAhead(100));
  // The request comes now: the block is put back and laid out by the request.
  EXPECT_FALSE(cursor.takeAhead("100", 100, block));
  EXPECT_EQ(cursor.state(), ResultCursor::State::Open);
  EXPECT_EQ(cursor.sent(), before);
  block = "LBX100";
  ASSERT_TRUE(cursor.fill(rows.get(), block, 100, 100, false, added, rc));
  // Enough rows for a whole block: it is laid out and taken unchanged.
  cursor.readAhead(*rows, 1000, stop);
  cursor.prepareAhead(100, 100);
  EXPECT_EQ(cursor.state(), ResultCursor::State::Ready);
  EXPECT_TRUE(cursor.answersAhead(100));
  EXPECT_FALSE(cursor.answersAhead(200));
  std::string ahead;
  EXPECT_TRUE(cursor.takeAhead("101", 100, ahead));
  EXPECT_TRUE(ahead.starts_with("LBX101"));
  EXPECT_EQ(cursor.state(), ResultCursor::State::Open);
  // To the end: the last block ends the cursor.
  while (cursor.state() != ResultCursor::State::Ended) {
    block = "LBX102";
    ASSERT_TRUE(cursor.fill(rows.get(), block, 100, 100, false, added, rc));
    ASSERT_GT(added, 0);
  }
  EXPECT_EQ(cursor.sent(), 300);
}

}  // namespace
}  // namespace lumbra::server
