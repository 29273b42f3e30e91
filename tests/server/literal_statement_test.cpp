// Literal statements run from prepared statements of their shape: which texts are taken apart, and that
// what they store, read and the errors they give are those of compiling each text.
#include "server/sqlite/literal_statement.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

namespace lumbra::server {
namespace {

using Kind = LiteralValue::Kind;

// A value as the test writes it: kind, and the integer or the text.
struct Expected {
  Kind kind;
  long long integer = 0;
  std::string text;
};

Expected integer(long long v) { return {Kind::Integer, v, ""}; }
Expected text(std::string t) { return {Kind::Text, 0, std::move(t)}; }
Expected null() { return {Kind::Null, 0, ""}; }

TEST(LiteralInsert, TakesApartTheFormOfALoad) {
  struct Case {
    std::string sql;
    std::string shape;
    std::vector<Expected> values;
  } cases[] = {
      {"INSERT INTO T VALUES (1000000001, 'CLIENTE  A', 'X')",
       "INSERT INTO T VALUES (?, ?, ?)",
       {integer(1000000001), text("CLIENTE  A"), text("X")}},
      {"  insert\tinto t(id,name)\nvalues(007,'It''s')  ;  ",
       "  insert\tinto t(id,name)\nvalues(?,?)  ;  ",
       {integer(7), text("It's")}},
      {"INSERT INTO T ( A , B ) VALUES ( NULL , '' )",
       "INSERT INTO T ( A , B ) VALUES ( ? , ? )",
       {null(), text("")}},
      {"INSERT INTO T VALUES ('''', '\xE1\xE3\xE7', 999999999999999999)",
       "INSERT INTO T VALUES (?, ?, ?)",
       {text("'"), text("\xE1\xE3\xE7"), integer(999999999999999999LL)}},
      {"INSERT INTO T VALUES ('a;b)', 'c--d')", "INSERT INTO T VALUES (?, ?)", {text("a;b)"), text("c--d")}},
  };
  LiteralStatement out;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    ASSERT_TRUE(takeApartInsert(c.sql, out));
    EXPECT_EQ(out.shape, c.shape);
    ASSERT_EQ(out.values.size(), c.values.size());
    for (std::size_t i = 0; i < c.values.size(); ++i) {
      EXPECT_EQ(out.values[i].kind, c.values[i].kind) << i;
      if (c.values[i].kind == Kind::Integer) {
        EXPECT_EQ(out.values[i].integer, c.values[i].integer) << i;
      }
      if (c.values[i].kind == Kind::Text) {
        EXPECT_EQ(out.texts.substr(out.values[i].offset, out.values[i].length), c.values[i].text) << i;
      }
    }
  }
}

TEST(LiteralInsert, LeavesEveryOtherTextToTheOrdinaryPath) {
  const std::string cases[] = {
      "INSERT INTO T VALUES (-1)",   // a sign is an operator
      "INSERT INTO T VALUES (1.5)",  // reals
      "INSERT INTO T VALUES (1e5)",
      "INSERT INTO T VALUES (1234567890123456789)",  // 19 digits may not fit
      "INSERT INTO T VALUES (12abc)",
      "INSERT INTO T VALUES (X'00')",  // blobs
      "INSERT INTO T VALUES (\"A\")",  // a quoted name
      "INSERT INTO T VALUES (:P)",     // parameters
      "INSERT INTO T VALUES (?)",
      "INSERT INTO T VALUES (1 + 1)",
      "INSERT INTO T VALUES ('a' || 'b')",
      "INSERT INTO T VALUES (1), (2)",  // several rows
      "INSERT INTO T VALUES ()",
      "INSERT INTO T VALUES ('open",
      "INSERT INTO T VALUES (1",
      "INSERT INTO T VALUES (1) RETURNING ID",
      "INSERT INTO T VALUES (1); INSERT INTO T VALUES (2)",
      "INSERT INTO T VALUES (1) -- a comment",
      "INSERT INTO T VALUES (1) /* a comment */",
      "INSERT OR REPLACE INTO T VALUES (1)",
      "REPLACE INTO T VALUES (1)",
      "INSERT INTO main.T VALUES (1)",
      "INSERT INTO T SELECT 1",
      "INSERT INTO T DEFAULT VALUES",
      "INSERT INTO VALUES VALUES (1)",
      "INSERTINTO T VALUES (1)",
      "INSERT\vINTO T VALUES (1)",  // no blank to SQLite
      "INSERT INTO T VALUESX (1)",
      "WITH X AS (SELECT 1) INSERT INTO T VALUES (1)",
      "UPDATE T SET A = 1",
      std::string("INSERT INTO T VALUES ('a\0b')", 28),
      "",
  };
  LiteralStatement out;
  for (const std::string& sql : cases) EXPECT_FALSE(takeApartInsert(sql, out)) << sql;
}

TEST(LiteralKeyed, TakesApartPointQueriesAndUpdates) {
  struct Case {
    std::string sql;
    bool query;
    std::string shape;
    std::vector<Expected> values;
  } cases[] = {
      {"SELECT ID, NAME, CITY FROM BENCH WHERE ID = 1000000017",
       true,
       "SELECT ID, NAME, CITY FROM BENCH WHERE ID = ?",
       {integer(1000000017)}},
      {"select * from t where a>=1 and b<>'x''y' or c==NULL;",
       true,
       "select * from t where a>=? and b<>? or c==?;",
       {integer(1), text("x'y"), null()}},
      {"UPDATE BENCH SET CITY = 'NOVA', N = 2 WHERE ID = 17 ",
       false,
       "UPDATE BENCH SET CITY = ?, N = ? WHERE ID = ? ",
       {text("NOVA"), integer(2), integer(17)}},
      {"DELETE FROM T WHERE K<5 AND K!=''",
       false,
       "DELETE FROM T WHERE K<? AND K!=?",
       {integer(5), text("")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    LiteralStatement out;
    bool query = !c.query;
    ASSERT_TRUE(takeApartKeyed(c.sql, out, query));
    EXPECT_EQ(query, c.query);
    EXPECT_EQ(out.shape, c.shape);
    ASSERT_EQ(out.values.size(), c.values.size());
    for (std::size_t i = 0; i < c.values.size(); ++i) {
      EXPECT_EQ(out.values[i].kind, c.values[i].kind) << i;
      if (c.values[i].kind == Kind::Integer) EXPECT_EQ(out.values[i].integer, c.values[i].integer) << i;
      if (c.values[i].kind == Kind::Text) {
        EXPECT_EQ(out.texts.substr(out.values[i].offset, out.values[i].length), c.values[i].text) << i;
      }
    }
  }
  const std::string others[] = {
      "SELECT ID FROM T",                // no WHERE
      "SELECT ID FROM T WHERE ID = -1",  // a sign
      "SELECT ID FROM T WHERE ID = 1 ORDER BY ID",
      "SELECT ID FROM T WHERE ID = 1 LIMIT 1",
      "SELECT ID, 1 FROM T WHERE ID = 1",  // a literal among the columns names one
      "SELECT ID AS K FROM T WHERE ID = 1",
      "SELECT COUNT(*) FROM T WHERE ID = 1",
      "SELECT DISTINCT ID FROM T WHERE ID = 1",
      "SELECT ID FROM T, U WHERE ID = 1",
      "SELECT ID FROM T WHERE ID IN (1, 2)",
      "SELECT ID FROM T WHERE ID BETWEEN 1 AND 2",
      "SELECT ID FROM T WHERE NAME LIKE 'A%'",
      "SELECT ID FROM T WHERE ID IS NULL",
      "SELECT ID FROM T WHERE NOT ID = 1",
      "SELECT ID FROM T WHERE (ID = 1)",
      "SELECT ID FROM T WHERE ID = 1.5",
      "SELECT ID FROM T WHERE ID = :K",
      "SELECT ID FROM T WHERE 1 = ID",
      "SELECT ID FROM T WHERE ID = 1; SELECT 2",
      "SELECT ID FROM main.T WHERE ID = 1",
      "UPDATE T SET A = 1",  // every row
      "UPDATE T SET A = A + 1 WHERE ID = 1",
      "UPDATE OR REPLACE T SET A = 1 WHERE ID = 1",
      "UPDATE T SET A = 1 WHERE ID = 1 RETURNING A",
      "DELETE FROM T",
      "DELETE FROM T WHERE ID = 1 RETURNING ID",
      "INSERT INTO T VALUES (1)",  // the INSERT form is taken apart on its own
      std::string("SELECT ID FROM T WHERE ID = 'a\0b'", 32),
  };
  LiteralStatement out;
  bool query = false;
  for (const std::string& sql : others) EXPECT_FALSE(takeApartKeyed(sql, out, query)) << sql;
}

// Two in-memory databases of the same schema: one takes each statement
// compiled from its text, the other through the cache.
class TwoDatabases : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &plain_), SQLITE_OK);
    ASSERT_EQ(sqlite3_open(":memory:", &cached_), SQLITE_OK);
    cache_ = std::make_unique<LiteralStatementCache>(cached_);
  }
  void TearDown() override {
    cache_.reset();
    sqlite3_close(plain_);
    sqlite3_close(cached_);
  }
  void both(const char* sql) {
    ASSERT_EQ(sqlite3_exec(plain_, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(plain_);
    ASSERT_EQ(sqlite3_exec(cached_, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(cached_);
  }
  // Runs `sql` both ways, the cache as a batch does (the ordinary path for a
  // text it does not take): the same result code and error text. A statement
  // that stores a row is always taken.
  void insert(const std::string& sql) {
    SCOPED_TRACE(sql);
    const int plain = sqlite3_exec(plain_, sql.c_str(), nullptr, nullptr, nullptr);
    int cached = cache_->run(sql);
    if (plain == SQLITE_OK) {
      EXPECT_EQ(cached, SQLITE_DONE);
    }
    if (cached == LiteralStatementCache::kNotTaken)
      cached = sqlite3_exec(cached_, sql.c_str(), nullptr, nullptr, nullptr);
    if (cached == SQLITE_DONE) cached = SQLITE_OK;
    EXPECT_EQ(cached, plain);
    if (plain != SQLITE_OK) {
      EXPECT_STREQ(sqlite3_errmsg(cached_), sqlite3_errmsg(plain_));
    }
  }
  // Every value of a table with its type, as quote() shows it.
  static std::vector<std::string> dump(sqlite3* db, const char* table) {
    std::vector<std::string> rows;
    sqlite3_stmt* stmt = nullptr;
    const std::string sql = std::string("SELECT * FROM ") + table + " ORDER BY rowid";
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        static const char* const kTypes[] = {"?", "integer", "real", "text", "blob", "null"};
        row += kTypes[sqlite3_column_type(stmt, i)];
        row += ':';
        row.append(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)
                                                     ? sqlite3_column_text(stmt, i)
                                                     : reinterpret_cast<const unsigned char*>("")),
                   static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)));
        row += '|';
      }
      rows.push_back(row);
    }
    sqlite3_finalize(stmt);
    return rows;
  }
  void expectSameTable(const char* table) { EXPECT_EQ(dump(cached_, table), dump(plain_, table)) << table; }

  sqlite3* plain_ = nullptr;
  sqlite3* cached_ = nullptr;
  std::unique_ptr<LiteralStatementCache> cache_;
};

TEST_F(TwoDatabases, StoresWhatTheCompiledTextStoresAndFailsAsItFails) {
  both(
      "CREATE TABLE T (ID INTEGER PRIMARY KEY, I INT, N NUMERIC, R REAL, C CHAR(10) NOT NULL, B BLOB, X,"
      " UNIQUE (C))");
  const char* const statements[] = {
      "INSERT INTO T VALUES (1, 2, 3, 4, 'a', 5, 6)",
      "INSERT INTO T VALUES (2, '12', '12.50', '7', '0012', '0012', '0012')",  // affinities applied
      "INSERT INTO T VALUES ('3', 'x', '1e3', 'y', '\xE1\xE3\xE7', NULL, '')",
      "INSERT INTO T (C, ID) VALUES ('only two', 4)",
      "INSERT INTO T VALUES (5, 0, 000, 0, 'It''s', '''', NULL)",
      "INSERT INTO T VALUES (1, 0, 0, 0, 'dup key', 0, 0)",  // UNIQUE on ID
      "INSERT INTO T VALUES (6, 0, 0, 0, 'a', 0, 0)",        // UNIQUE on C
      "INSERT INTO T VALUES (7, 0, 0, 0, NULL, 0, 0)",       // NOT NULL
      "INSERT INTO T VALUES ('eight', 0, 0, 0, 'h', 0, 0)",  // no integer for the key
      "INSERT INTO T VALUES (9, 0, 0)",                      // too few values
      "INSERT INTO T (NOPE) VALUES (1)",                     // no such column
      "INSERT INTO U VALUES (1)",                            // no such table
      "INSERT INTO T VALUES (10, 0, 0, 0, 'j', 0, 0)",
  };
  for (const char* sql : statements) insert(sql);
  expectSameTable("T");
}

TEST_F(TwoDatabases, SchemaChangesAndManyShapesReachTheCachedStatements) {
  both("CREATE TABLE T (A, B)");
  insert("INSERT INTO T VALUES (1, 'one')");
  // A statement of the cache holds nothing that keeps the table from being
  // dropped, altered or made again.
  both("DROP TABLE T");
  insert("INSERT INTO T VALUES (2, 'two')");
  both("CREATE TABLE T (A, B, C DEFAULT 'c')");
  insert("INSERT INTO T VALUES (3, 'three')");
  insert("INSERT INTO T VALUES (4, 'four', 'x')");
  both("ALTER TABLE T ADD COLUMN D DEFAULT 'd'");
  insert("INSERT INTO T VALUES (5, 'five')");
  // More shapes than the cache keeps, one after the other, twice.
  for (int round = 0; round < 2; ++round) {
    for (int n = 1; n <= 12; ++n) {
      std::string sql = "INSERT INTO T (A";
      if (n % 2 == 0) sql += ", B";
      if (n % 3 == 0) sql += ", C";
      if (n % 4 == 0) sql += ", D";
      sql += ") VALUES (" + std::to_string(100 * round + n);
      for (int k = 2; k <= 4; ++k)
        if (n % k == 0) sql += ", 'v" + std::to_string(n) + "'";
      sql += ")" + std::string(static_cast<std::size_t>(n), ' ');  // a shape of its own each
      insert(sql);
    }
  }
  expectSameTable("T");
}

TEST_F(TwoDatabases, AValueSqliteWillNotBindGoesToTheOrdinaryPath) {
  both("CREATE TABLE T (A)");
  sqlite3_limit(cached_, SQLITE_LIMIT_LENGTH, 10);
  EXPECT_EQ(cache_->run("INSERT INTO T VALUES ('short')"), SQLITE_DONE);
  EXPECT_EQ(cache_->run("INSERT INTO T VALUES ('longer than ten')"), LiteralStatementCache::kNotTaken);
  EXPECT_EQ(cache_->run("INSERT INTO T VALUES (-1)"), LiteralStatementCache::kNotTaken);
  // Nothing of the refused text stayed bound: the next row is its own.
  EXPECT_EQ(cache_->run("INSERT INTO T VALUES (NULL)"), SQLITE_DONE);
  EXPECT_EQ(dump(cached_, "T"), (std::vector<std::string>{"text:short|", "null:|"}));
}

TEST_F(TwoDatabases, UpdatesAndDeletesChangeWhatTheCompiledTextChanges) {
  both(
      "CREATE TABLE T (ID INTEGER PRIMARY KEY, I INT, C CHAR(10) NOT NULL, X, UNIQUE (C), CHECK (I < 1000));"
      "INSERT INTO T VALUES (1, 1, 'a', 1), (2, 2, 'b', 2), (3, 3, 'c', 3), (4, 4, 'd', 4)");
  const char* const statements[] = {
      "UPDATE T SET I = '12', X = 'twelve' WHERE ID = 1",  // affinity applied
      "UPDATE T SET C = 'b' WHERE ID = 1",                 // UNIQUE
      "UPDATE T SET C = NULL WHERE ID = 2",                // NOT NULL
      "UPDATE T SET I = 5000 WHERE ID = 2",                // CHECK
      "UPDATE T SET ID = 'x' WHERE ID = 2",                // no integer for the key
      "UPDATE T SET NOPE = 1 WHERE ID = 2",                // no such column
      "UPDATE T SET I = 7 WHERE C = 'c' OR ID = 4",
      "UPDATE T SET I = 8 WHERE ID > 100",  // no row
      "DELETE FROM T WHERE ID = 3",
      "DELETE FROM T WHERE C <> 'a' AND I < 100",
      "DELETE FROM U WHERE ID = 1",  // no such table
  };
  for (const char* sql : statements) {
    insert(sql);
    EXPECT_EQ(sqlite3_changes(cached_), sqlite3_changes(plain_)) << sql;
  }
  expectSameTable("T");
}

// A query through the cache gives the rows, names and declared types the text compiled on its own gives.
TEST_F(TwoDatabases, PointQueriesReadWhatTheCompiledTextReads) {
  const char* schema =
      "CREATE TABLE T (ID INTEGER PRIMARY KEY, I INT, C TEXT, R REAL, B BLOB);"
      "CREATE INDEX TI ON T (I) WHERE I > 10;"
      "INSERT INTO T VALUES (1, 5, '5', 5.0, x'05'), (2, 12, 'doze', 1.5, NULL), (3, NULL, '', NULL, ''),"
      " (4, 40, '\xE1\xE3\xE7', 4e300, 'x'), (5, 12, '12', 12, '12')";
  both(schema);
  auto read = [](sqlite3_stmt* stmt) {
    std::string all;
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      const char* type = sqlite3_column_decltype(stmt, i);
      all += std::string(sqlite3_column_name(stmt, i)) + ":" + (type != nullptr ? type : "-") + " ";
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      all += "\n";
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        all += std::to_string(sqlite3_column_type(stmt, i)) + "=";
        const unsigned char* text = sqlite3_column_text(stmt, i);
        if (text != nullptr) all.append(reinterpret_cast<const char*>(text), sqlite3_column_bytes(stmt, i));
        all += "|";
      }
    }
    return all;
  };
  const char* const queries[] = {
      "SELECT * FROM T WHERE ID = 2",
      "SELECT ID, C FROM T WHERE I = '12'",  // text against an integer column: the column's affinity
      "SELECT ID FROM T WHERE C = 5",        // an integer against a text column
      "SELECT ID FROM T WHERE C = 12 OR R = 5",
      "SELECT ID FROM T WHERE I > 11",  // the partial index serves it
      "SELECT ID FROM T WHERE I = NULL",
      "SELECT ID FROM T WHERE C = ''",
      "SELECT ID FROM T WHERE C = '\xE1\xE3\xE7'",
      "SELECT ID FROM T WHERE B = '12'",
      "SELECT ID FROM T WHERE ID = 99",
  };
  for (const char* sql : queries) {
    SCOPED_TRACE(sql);
    sqlite3_stmt* plain = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(plain_, sql, -1, &plain, nullptr), SQLITE_OK);
    sqlite3_stmt* cached = cache_->open(sql);
    ASSERT_NE(cached, nullptr);
    // The same shape is not handed out twice while one query steps it.
    EXPECT_EQ(cache_->open(sql), nullptr);
    EXPECT_EQ(read(cached), read(plain));
    // Stepped again from the start (a result read a second time), it reads the same.
    sqlite3_reset(cached);
    sqlite3_reset(plain);
    EXPECT_EQ(read(cached), read(plain));
    cache_->close(cached);
    sqlite3_finalize(plain);
  }
  // A query that does not compile is left to the ordinary path, which tells why.
  EXPECT_EQ(cache_->open("SELECT NOPE FROM T WHERE ID = 1"), nullptr);
  EXPECT_EQ(cache_->open("SELECT ID FROM NOWHERE WHERE ID = 1"), nullptr);
  // Updates are not run as queries, nor queries as updates.
  EXPECT_EQ(cache_->open("UPDATE T SET I = 1 WHERE ID = 1"), nullptr);
  EXPECT_EQ(cache_->run("SELECT ID FROM T WHERE ID = 1"), LiteralStatementCache::kNotTaken);
}

}  // namespace
}  // namespace lumbra::server
