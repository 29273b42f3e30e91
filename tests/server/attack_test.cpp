// Attacks of a hostile client over loopback: SQL escapes, the user store, password guessing, held threads and snapshots.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "server/layout.h"
#include "server/users.h"
#include "tests/server/server_harness.h"

namespace lumbra::server::testing {
namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs `sql` on the file directly, as an operator's tool would; returns the first column of the first row.
std::string query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string out;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
      if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr) {
        out = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      }
    } else {
      out = std::string("error: ") + sqlite3_errmsg(db);
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return out;
}

TEST(Attack, SessionSqlCannotReachCodePointersTheFileOrTheConnectionLimits) {
  RunningServer server;
  RawClient client(server.port());
  ASSERT_EQ(statusOf(logIn(client)), "0000");
  ASSERT_EQ(statusOf(client.exchange("EXEC CREATE TABLE T (K INTEGER PRIMARY KEY, V TEXT)")), "0000");
  ASSERT_EQ(statusOf(client.exchange("EXEC CREATE INDEX TV ON T (V)")), "0000");
  ASSERT_EQ(statusOf(client.exchange("INSERT INTO T VALUES (1,'a') COMMIT")), "0000");
  struct Case {
    const char* sql;
    const char* status;
  };
  const std::vector<Case> refused = {
      {"EXEC SELECT hex(fts3_tokenizer('simple'))", "2001"},  // SQLite's "not authorized to use function"
      {"EXEC SELECT fts3_tokenizer('evil', x'4141414141414141')", "2001"},
      {"EXEC CREATE VIRTUAL TABLE F USING fts3(tokenize=evil)", "2001"},
      {"EXEC PRAGMA schema_version=4", "2023"},
      {"EXEC PRAGMA writable_schema=ON", "2023"},
      {"EXEC PRAGMA temp_store=MEMORY", "2023"},
      {"EXEC PRAGMA cache_size=-2000000", "2023"},
      {"EXEC PRAGMA mmap_size=1000000000", "2023"},
      {"EXEC PRAGMA journal_mode=DELETE", "2023"},
      {"EXEC PRAGMA foreign_keys=OFF", "2023"},
      {"EXEC PRAGMA trusted_schema=ON", "2023"},
      {"EXEC PRAGMA wal_checkpoint", "2023"},
      {"EXEC ATTACH 'other.db' AS O", "2023"},
      {"EXEC SELECT load_extension('libevil')", "2001"},
      {"EXEC CREATE VIEW HASHES AS SELECT * FROM lumbra_server_users", "0000"},  // a view of nothing
      {"EXEC SELECT * FROM HASHES", "2023"},
      {"EXEC WITH H AS (SELECT * FROM lumbra_server_users) SELECT * FROM H", "2023"},
      {"EXEC SELECT length(randomblob(900000000))", "2018"},
  };
  for (const Case& c : refused) {
    std::string reply = client.exchange(c.sql);
    EXPECT_EQ(statusOf(reply), c.status) << c.sql << " -> " << reply;
    if (std::string(c.sql).find("('") != std::string::npos && std::string(c.status) == "2001") {
      EXPECT_NE(textOf(reply).find("NOT AUTHORIZED TO USE FUNCTION"), std::string::npos) << reply;
    }
  }
  // Questions that change nothing are answered.
  for (const char* sql : {"EXEC PRAGMA integrity_check", "EXEC PRAGMA table_info(T)",
                          "EXEC PRAGMA schema_version", "EXEC PRAGMA foreign_keys"}) {
    EXPECT_EQ(statusOf(client.exchange(sql)), "0000") << sql;
  }
  EXPECT_EQ(textOf(client.exchange("EXEC PRAGMA integrity_check")), "ok");
  // Writes still go through the index, and the server is alive for everybody.
  EXPECT_EQ(statusOf(client.exchange("INSERT INTO T VALUES (2,'b') COMMIT")), "0000");
  RawClient other(server.port());
  EXPECT_EQ(statusOf(logIn(other, "BOB", "HUNTER2")), "0000");
  EXPECT_EQ(textOf(other.exchange("EXEC SELECT COUNT(*) FROM T WHERE V >= 'a'")), "2");
  EXPECT_EQ(query(server.databasePath(), "PRAGMA integrity_check"), "ok");
}

TEST(Attack, TriggersAndForeignKeysOfSessionsNeverTouchTheUsers) {
  RunningServer server;
  const std::string path = server.databasePath();
  std::string error;
  auto before = UserStore::open(path, error);
  ASSERT_TRUE(before) << error;
  std::string bobHash = before->storedHash("BOB").value_or("");
  before.reset();
  RawClient attacker(server.port());
  ASSERT_EQ(statusOf(logIn(attacker)), "0000");
  // Whatever of this a session is allowed, none of it may reach the users.
  for (const char* sql :
       {"EXEC CREATE TABLE LOOT (H TEXT)",
        "EXEC CREATE TABLE KEEP (ID TEXT REFERENCES lumbra_server_users(id) ON DELETE CASCADE)",
        "EXEC CREATE TABLE PIN (H TEXT REFERENCES lumbra_server_users(hash))",
        "EXEC CREATE TRIGGER STEAL AFTER DELETE ON KEEP BEGIN INSERT INTO LOOT SELECT hash FROM "
        "lumbra_server_users; UPDATE lumbra_server_users SET hash = 'x'; END",
        "EXEC CREATE TRIGGER STEAL2 AFTER INSERT ON PIN BEGIN INSERT INTO LOOT VALUES ('fired'); END",
        "EXEC INSERT INTO KEEP VALUES ('BOB')", "COMMIT"}) {
    attacker.exchange(sql);
  }
  // The operator removes a user and changes a password, as `lumbra-server user` does.
  auto users = UserStore::open(path, error);
  ASSERT_TRUE(users) << error;
  EXPECT_EQ(users->remove("ALICE"), UserStore::Result::Ok);
  EXPECT_EQ(users->setPassword("BOB", "NEWPASS", 10), UserStore::Result::Ok);
  EXPECT_NE(users->storedHash("BOB").value_or(""), bobHash);
  EXPECT_NE(users->storedHash("BOB").value_or(""), "x");
  RawClient bob(server.port());
  EXPECT_EQ(statusOf(logIn(bob, "BOB", "NEWPASS")), "0000");
  EXPECT_EQ(textOf(bob.exchange("EXEC SELECT COUNT(*) FROM LOOT")), "0");
  // The hashes are in a file the sessions never open.
  EXPECT_EQ(query(path, "SELECT COUNT(*) FROM sqlite_schema WHERE sql LIKE '%pbkdf2%'"), "0");
  EXPECT_EQ(query(path, "SELECT COUNT(*) FROM lumbra_server_users"), "0");
}

TEST(Attack, UpgradeMovesTheUsersOfAnOlderDatabaseAndRunsNothing) {
  std::string aliceHash = hashPassword("SECRET", 10);
  std::string carolHash = hashPassword("CAROLPW", 10);
  auto legacy = [&](const std::string& path) {
    // The layout of older servers, with what a hostile session could have left.
    std::string sql =
        "CREATE TABLE lumbra_server_users (id TEXT PRIMARY KEY, hash TEXT NOT NULL, changed TEXT NOT NULL);"
        "INSERT INTO lumbra_server_users VALUES ('CAROL', '" +
        carolHash +
        "', '2024-01-01');"
        "INSERT INTO lumbra_server_users VALUES ('ALICE', '" +
        aliceHash +
        "', '2024-01-01');"
        "CREATE TABLE LOOT (H TEXT);"
        "CREATE TABLE KEEP (ID TEXT REFERENCES lumbra_server_users(id) ON DELETE CASCADE);"
        "INSERT INTO KEEP VALUES ('CAROL');"
        "CREATE TRIGGER STEAL AFTER DELETE ON KEEP BEGIN INSERT INTO LOOT SELECT hash FROM "
        "lumbra_server_users; END;"
        "CREATE TABLE DATA (K INTEGER); INSERT INTO DATA VALUES (42);";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    std::string report;
    std::string error;
    ASSERT_TRUE(upgradeDatabase(path, report, error)) << error;
  };
  RunningServer server([](ServerOptions&) {}, legacy);
  const std::string path = server.databasePath();
  for (auto [id, password] : {std::pair{"CAROL", "CAROLPW"}, {"ALICE", "SECRET"}, {"BOB", "HUNTER2"}}) {
    RawClient client(server.port());
    EXPECT_EQ(statusOf(logIn(client, id, password)), "0000") << id;
  }
  EXPECT_EQ(query(path, "SELECT COUNT(*) FROM LOOT"), "0");
  EXPECT_EQ(query(path, "SELECT COUNT(*) FROM KEEP"), "1");
  EXPECT_EQ(query(path, "SELECT K FROM DATA"), "42");
  EXPECT_EQ(query(path, "SELECT COUNT(*) FROM lumbra_server_users"), "0");
  EXPECT_EQ(query(userStorePath(path), "SELECT COUNT(*) FROM lumbra_server_users"), "3");
  struct stat info {};
  ASSERT_EQ(stat(userStorePath(path).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(Attack, NewFilesAreForTheOwnerOnly) {
  RunningServer server;
  RawClient client(server.port());
  ASSERT_EQ(statusOf(logIn(client)), "0000");
  ASSERT_EQ(statusOf(client.exchange("EXEC CREATE TABLE T (K INTEGER)")), "0000");
  ASSERT_EQ(statusOf(client.exchange("COMMIT")), "0000");
  const std::string path = server.databasePath();
  for (const std::string& file : {path, path + "-wal", userStorePath(path), userStorePath(path) + "-wal"}) {
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0) << file;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
  }
}

TEST(Attack, GuessingPasswordsIsCutOffAndSlowedDown) {
  RunningServer server([](ServerOptions& options) { options.loginDelay = std::chrono::milliseconds(100); });
  // One connection: three wrong passwords, then it is closed; the right one
  // never gets its turn there.
  RawClient guesser(server.port());
  guesser.exchange("LUMT");
  for (int i = 0; i < 3; ++i) {
    guesser.sendBytes(loginMessage("ALICE", "GUESS" + std::to_string(i)));
    EXPECT_EQ(statusOf(guesser.receiveReply()), "0102") << i;
  }
  EXPECT_TRUE(guesser.closedByPeer());
  // Four connections at once, for two seconds: the address's growing wait
  // holds them all back.
  std::atomic<int> attempts{0};
  Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      while (millisecondsSince(start) < 2000) {
        RawClient client(server.port());
        client.exchange("LUMT");
        for (int i = 0; i < 3 && millisecondsSince(start) < 2000; ++i) {
          client.sendBytes(loginMessage("ALICE", "WRONG" + std::to_string(t * 100 + i)));
          if (statusOf(client.receiveReply()) != "0102") break;
          ++attempts;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  double perSecond = attempts * 1000.0 / millisecondsSince(start);
  std::printf("wrong passwords answered: %d in 2 s on four connections (%.1f a second)\n", attempts.load(),
              perSecond);
  EXPECT_LT(perSecond, 10.0);
}

TEST(Attack, UnknownAndKnownUsersCostTheSameToRefuse) {
  auto addSlowUser = [](const std::string& path) {
    std::string error;
    auto users = UserStore::open(path, error);
    ASSERT_TRUE(users) << error;
    ASSERT_EQ(users->add("CAROL", "CAROLPW", kDefaultIterations), UserStore::Result::Ok);
  };
  RunningServer server(
      [](ServerOptions& options) {
        options.loginDelay = std::chrono::milliseconds(0);
        options.settings.loginFailures = 0;
      },
      addSlowUser);
  RawClient client(server.port());
  client.exchange("LUMT");
  auto refusal = [&](const char* id) {
    Clock::time_point start = Clock::now();
    client.sendBytes(loginMessage(id, "WRONG"));
    EXPECT_EQ(statusOf(client.receiveReply()), "0102");
    return millisecondsSince(start);
  };
  std::vector<double> known, unknown;
  for (int i = 0; i < 21; ++i) {
    // Taken in turns, each first every other time, so that a busy moment of
    // the machine weighs on both alike.
    if (i % 2 == 0) {
      known.push_back(refusal("CAROL"));
      unknown.push_back(refusal("NOBODY"));
    } else {
      unknown.push_back(refusal("NOBODY"));
      known.push_back(refusal("CAROL"));
    }
  }
  double k = median(known), u = median(unknown);
  std::printf("refusal, median of 21: known user %.2f ms, unknown user %.2f ms\n", k, u);
  EXPECT_LT(u, k * 1.5);
  EXPECT_LT(k, u * 1.5);
}

TEST(Attack, NewPasswordsFollowTheOneRule) {
  RunningServer server;
  struct Case {
    const char* name;
    const char* newPassword;  // as the client sends it (upper-cased, uncarried characters blank)
  };
  for (const Case& c :
       {Case{"a blank, as 'ab_c' arrives", "AB C"}, Case{"25 characters", "ABCDEFGHIJKLMNOPQRSTUVWXY"}}) {
    SCOPED_TRACE(c.name);
    RawClient client(server.port());
    EXPECT_EQ(statusOf(logIn(client, "BOB", "HUNTER2", c.newPassword)), "0103");
  }
  RawClient old(server.port());
  EXPECT_EQ(statusOf(logIn(old, "BOB", "HUNTER2")), "0000");
}

TEST(Attack, TwoEndlessQueriesHoldBackNobodysGreeting) {
  RunningServer server([](ServerOptions& options) {
    options.threads = 2;
    options.sqlThreads = 2;
    options.settings.statementTimeout = std::chrono::seconds(30);
  });
  const char* endless =
      "SELECT COUNT(*) FROM (WITH RECURSIVE C(X) AS (SELECT 1 UNION ALL SELECT X + 1 FROM C) SELECT X FROM "
      "C)";
  RawClient first(server.port());
  RawClient second(server.port());
  ASSERT_EQ(statusOf(logIn(first)), "0000");
  ASSERT_EQ(statusOf(logIn(second, "BOB", "HUNTER2")), "0000");
  first.sendMessage(endless);
  second.sendMessage(endless);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<double> greetings;
  for (int i = 0; i < 7; ++i) {
    RawClient third(server.port());
    Clock::time_point start = Clock::now();
    EXPECT_EQ(statusOf(third.exchange("LUMT")), "0000");
    greetings.push_back(millisecondsSince(start));
    if (i == 0) {
      third.sendBytes(loginMessage("ALICE", "SECRET"));
      EXPECT_EQ(statusOf(third.receiveReply()), "0000");  // logins proceed too
    }
  }
  double delay = median(greetings);
  std::printf("greeting under two endless queries, median of 7: %.2f ms\n", delay);
  EXPECT_LT(delay, 100.0);
}

TEST(Attack, AnOpenResultLetsGoOfItsSnapshot) {
  RunningServer server(
      [](ServerOptions& options) { options.settings.resultHold = std::chrono::milliseconds(1000); });
  RawClient reader(server.port());
  RawClient writer(server.port());
  ASSERT_EQ(statusOf(logIn(reader)), "0000");
  ASSERT_EQ(statusOf(logIn(writer, "BOB", "HUNTER2")), "0000");
  ASSERT_EQ(statusOf(writer.exchange("EXEC CREATE TABLE R (K INTEGER, V TEXT)")), "0000");
  std::string batch;
  for (int i = 0; i < 300; ++i) batch += "INSERT INTO R VALUES (" + std::to_string(i) + ",'row') ";
  ASSERT_EQ(statusOf(writer.exchange(batch + "COMMIT")), "0000");
  ASSERT_EQ(statusOf(reader.exchange("SET MESSAGE_LENGTH=256")), "0000");
  ASSERT_EQ(statusOf(reader.exchange("SELECT K, V FROM R")), "0000");  // many blocks left
  ASSERT_EQ(statusOf(writer.exchange("INSERT INTO R VALUES (1000,'new') COMMIT")), "0000");
  // While the result is open its snapshot keeps the log from being reset.
  const std::string path = server.databasePath();
  EXPECT_EQ(query(path, "PRAGMA wal_checkpoint(TRUNCATE)"), "1");
  // Once the hold has passed, the result is let go and the log can be reset.
  Clock::time_point start = Clock::now();
  std::string busy = "1";
  while (busy != "0" && millisecondsSince(start) < 6000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    busy = query(path, "PRAGMA wal_checkpoint(TRUNCATE)");
  }
  EXPECT_EQ(busy, "0");
  std::string reply = reader.exchange("CONT=100");
  EXPECT_EQ(statusOf(reply), "0140") << reply;
  EXPECT_NE(textOf(reply).find("LIBERADO"), std::string::npos) << reply;
  EXPECT_EQ(textOf(reader.exchange("EXEC SELECT COUNT(*) FROM R")), "301");
}

TEST(Attack, SilentAndIdleConnectionsAreClosed) {
  RunningServer server([](ServerOptions& options) {
    options.settings.preLoginTimeout = std::chrono::milliseconds(500);
    options.settings.idleTimeout = std::chrono::milliseconds(800);
  });
  RawClient silent(server.port());
  RawClient greeted(server.port());
  EXPECT_EQ(statusOf(greeted.exchange("LUMT")), "0000");
  RawClient idle(server.port());
  ASSERT_EQ(statusOf(logIn(idle)), "0000");
  RawClient busy(server.port());
  ASSERT_EQ(statusOf(logIn(busy, "BOB", "HUNTER2")), "0000");
  Clock::time_point start = Clock::now();
  while (millisecondsSince(start) < 1500) {
    EXPECT_EQ(statusOf(busy.exchange("EXEC SELECT 1")), "0000");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(silent.closedByPeer());
  EXPECT_TRUE(greeted.closedByPeer());
  EXPECT_TRUE(idle.closedByPeer());
  EXPECT_EQ(textOf(busy.exchange("EXEC SELECT 2")), "2");  // a session at work stays
}

}  // namespace
}  // namespace lumbra::server::testing
