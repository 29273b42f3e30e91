// The database and its file of users as an operator handles them: made on purpose, never converted
// or created behind one's back, refused with the reason when they are not what they should be.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "server/layout.h"
#include "server/users.h"
#include "tests/ops/ops_support.h"
#include "tests/server/server_harness.h"

namespace lumbra::server::testing {
namespace {

void sql(const std::string& path, const std::string& text) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// A database of the oldest layout: its users in its own table, with data beside them.
void makeOldDatabase(const std::string& path) {
  sql(path,
      "PRAGMA journal_mode=WAL;"
      "CREATE TABLE lumbra_server_users (id TEXT PRIMARY KEY, hash TEXT NOT NULL, changed TEXT NOT NULL);"
      "INSERT INTO lumbra_server_users VALUES ('ALICE', '" + hashPassword("SECRET", 10) + "', '2024-01-01');"
      "INSERT INTO lumbra_server_users VALUES ('CAROL', '" + hashPassword("CAROLPW", 10) + "', '2024-01-01');"
      "CREATE TABLE DATA (K INTEGER); INSERT INTO DATA VALUES (42);");
}

void addUser(const TempDir& folder, const std::string& id, const std::string& database = "team.db") {
  Outcome run = runProgram({"user", "add", id, "--database", database, "--iterations", "10"}, folder.path(), "secret\n");
  ASSERT_EQ(run.status, 0) << run.err;
}

TEST(Files, WhatIsNotADatabaseOfTheServerIsRefusedWithTheReasonAndLeftAsItWas) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> make;
    std::string database;  // --database
    const char* says;
  };
  const std::vector<Case> cases = {
      {"missing", [](const TempDir&) {}, "tema.db", "no database at tema.db (lumbra-server init"},
      {"the users file given as the database",
       [](const TempDir& f) { addUser(f, "ALICE"); }, "team.db.users",
       "team.db.users is the file of users of the database team.db: give --database team.db"},
      {"a database of the oldest layout", [](const TempDir& f) { makeOldDatabase(f / "team.db"); },
       "team.db", "keeps its users inside, as older servers did: lumbra-server upgrade --database team.db"},
      {"not SQLite", [](const TempDir& f) { writeFile(f / "team.db", "name,city\nana,faro\n"); },
       "team.db", "team.db is not a lumbra-server database (not a SQLite database)"},
      {"an empty file", [](const TempDir& f) { writeFile(f / "team.db", ""); }, "team.db",
       "(an empty file)"},
      {"another program's database",
       [](const TempDir& f) { sql(f / "team.db", "PRAGMA application_id=1234; CREATE TABLE T (K);"); },
       "team.db", "a database of another program, application_id 0x000004d2"},
      {"a database of other tables", [](const TempDir& f) { sql(f / "team.db", "CREATE TABLE T (K);"); },
       "team.db", "(a SQLite database of other tables)"},
      {"a database without its users",
       [](const TempDir& f) {
         addUser(f, "ALICE");
         unlink((f / "team.db.users").c_str());
       },
       "team.db", "the database team.db has no file of users team.db.users (restore it from a backup"},
      {"a database as the users",
       [](const TempDir& f) {
         addUser(f, "ALICE");
         writeFile(f / "team.db.users", readFile(f / "team.db"));
       },
       "team.db", "team.db.users is a database, not the file of users of team.db"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    c.make(folder);
    const auto before = listing(folder);
    // Serving, listing and changing users: each refused, nothing written.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--listen", "127.0.0.1:0", "--database", c.database},
          {"user", "list", "--database", c.database},
          {"user", "passwd", "ALICE", "--database", c.database},
          {"user", "remove", "ALICE", "--database", c.database},
          {"backup", "copy.db", "--database", c.database}}) {
      Outcome run = runProgram(args, folder.path(), "other\n");
      EXPECT_EQ(run.status, 1) << args[0] << ": " << run.err;
      EXPECT_NE(run.err.find(c.says), std::string::npos) << args[0] << ": " << run.err;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
      EXPECT_EQ(listing(folder), before) << args[0];
    }
  }
}

TEST(Files, TheUsersFileNamedByMistakeLosesNoUser) {
  TempDir folder;
  addUser(folder, "ALICE");
  addUser(folder, "BOB");
  ServerProcess mistaken(LUMBRA_SERVER_PROGRAM, {"--database", "team.db.users"}, folder.path());
  EXPECT_EQ(mistaken.port(), 0);
  EXPECT_EQ(mistaken.stop(0), -1) << mistaken.log();  // it has exited already
  Outcome list = runProgram({"user", "list", "--database", "team.db"}, folder.path());
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "ALICE\nBOB\n");
  ServerProcess server(LUMBRA_SERVER_PROGRAM, {"--database", "team.db"}, folder.path());
  ASSERT_GT(server.port(), 0) << server.log();
  RawClient client(static_cast<std::uint16_t>(server.port()));
  EXPECT_EQ(statusOf(logIn(client, "BOB", "SECRET")), "0000");
}

TEST(Files, ReadingCommandsCreateNothing) {
  TempDir folder;
  // No database at all: the default path, said in the error.
  Outcome list = runProgram({"user", "list"}, folder.path());
  EXPECT_EQ(list.status, 1);
  EXPECT_NE(list.err.find("no database at lumbra-server.db"), std::string::npos) << list.err;
  EXPECT_TRUE(listing(folder).empty());
  // A database no server has open: read as it is, not one byte or file more.
  addUser(folder, "ALICE");
  const auto before = listing(folder);
  EXPECT_EQ(before.size(), 2u);
  list = runProgram({"user", "list", "--database", "team.db"}, folder.path());
  EXPECT_EQ(list.out, "ALICE\n") << list.err;
  EXPECT_EQ(listing(folder), before);
  // While a server runs on it, changes made meanwhile are seen.
  ServerProcess server(LUMBRA_SERVER_PROGRAM, {"--database", "team.db"}, folder.path());
  ASSERT_GT(server.port(), 0) << server.log();
  addUser(folder, "BOB");
  list = runProgram({"user", "list", "--database", "team.db"}, folder.path());
  EXPECT_EQ(list.out, "ALICE\nBOB\n") << list.err;
}

TEST(Files, InitMakesPrivateMarkedFilesOnceAndAStartWithoutUsersWarns) {
  TempDir folder;
  Outcome init = runProgram({"init", "--database", "team.db"}, folder.path());
  ASSERT_EQ(init.status, 0) << init.err;
  EXPECT_NE(init.err.find("created the database team.db and its file of users team.db.users"), std::string::npos)
      << init.err;
  for (const auto& [name, kind] : {std::pair{"team.db", FileKind::Database}, {"team.db.users", FileKind::Users}}) {
    FileInspection found = inspectFile(folder / name);
    EXPECT_EQ(found.kind, kind) << name;
    EXPECT_TRUE(found.marked) << name;
    struct stat info {};
    ASSERT_EQ(stat((folder / name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
  }
  const auto before = listing(folder);
  init = runProgram({"init", "--database", "team.db"}, folder.path());
  EXPECT_EQ(init.status, 0);
  EXPECT_NE(init.err.find("nothing changed"), std::string::npos) << init.err;
  EXPECT_EQ(listing(folder), before);
  init = runProgram({"init", "--database", "team.db.users"}, folder.path());
  EXPECT_EQ(init.status, 1);
  EXPECT_EQ(listing(folder), before);

  ServerProcess server(LUMBRA_SERVER_PROGRAM, {"--database", "team.db"}, folder.path());
  ASSERT_GT(server.port(), 0) << server.log();
  EXPECT_NE(server.log().find("warning: no users in team.db.users: every login is refused"), std::string::npos)
      << server.log();
}

TEST(Files, UpgradeWritesABackupFirstThenMovesTheUsersAndSaysSo) {
  TempDir folder;
  makeOldDatabase(folder / "team.db");
  Outcome upgrade = runProgram({"upgrade", "--database", "team.db"}, folder.path());
  ASSERT_EQ(upgrade.status, 0) << upgrade.err;
  EXPECT_NE(upgrade.err.find("backup of team.db written to team.db.before-upgrade; 2 users moved to team.db.users"),
            std::string::npos)
      << upgrade.err;
  FileInspection backup = inspectFile(folder / "team.db.before-upgrade");
  EXPECT_EQ(backup.kind, FileKind::OldDatabase);
  EXPECT_EQ(backup.users, 2);
  EXPECT_EQ(inspectFile(folder / "team.db").kind, FileKind::Database);
  Outcome again = runProgram({"upgrade", "--database", "team.db"}, folder.path());
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.err.find("nothing to do"), std::string::npos) << again.err;

  ServerProcess server(LUMBRA_SERVER_PROGRAM, {"--database", "team.db"}, folder.path());
  ASSERT_GT(server.port(), 0) << server.log();
  RawClient client(static_cast<std::uint16_t>(server.port()));
  ASSERT_EQ(statusOf(logIn(client, "CAROL", "CAROLPW")), "0000");
  EXPECT_EQ(textOf(client.exchange("EXEC SELECT K FROM DATA")), "42");

  // Users on both sides: nothing is merged, nothing changed.
  TempDir both;
  addUser(both, "BOB");
  unlink((both / "team.db").c_str());
  makeOldDatabase(both / "team.db");
  const auto before = listing(both);
  upgrade = runProgram({"upgrade", "--database", "team.db"}, both.path());
  EXPECT_EQ(upgrade.status, 1);
  EXPECT_NE(upgrade.err.find("team.db.users holds 1 users already"), std::string::npos) << upgrade.err;
  EXPECT_EQ(listing(both), before);
}

TEST(Files, BackupWhileServingCopiesWhatIsCommittedAndTheUsers) {
  TempDir folder;
  addUser(folder, "ALICE");
  {
    ServerProcess server(LUMBRA_SERVER_PROGRAM, {"--database", "team.db"}, folder.path());
    ASSERT_GT(server.port(), 0) << server.log();
    RawClient client(static_cast<std::uint16_t>(server.port()));
    ASSERT_EQ(statusOf(logIn(client, "ALICE", "SECRET")), "0000");
    for (const char* text : {"EXEC CREATE TABLE T (K INTEGER)", "INSERT INTO T VALUES (1) ", "COMMIT",
                             "INSERT INTO T VALUES (2) "}) {
      ASSERT_EQ(statusOf(client.exchange(text)), "0000") << text;
    }
    Outcome backup = runProgram({"backup", "copy.db", "--database", "team.db"}, folder.path());
    ASSERT_EQ(backup.status, 0) << backup.err;
    EXPECT_NE(backup.err.find("copied to copy.db, its users to copy.db.users"), std::string::npos) << backup.err;
    const auto before = listing(folder);
    backup = runProgram({"backup", "copy.db", "--database", "team.db"}, folder.path());
    EXPECT_EQ(backup.status, 1);
    EXPECT_NE(backup.err.find("the backup copy.db is there already"), std::string::npos) << backup.err;
    EXPECT_EQ(listing(folder).count("copy.db"), 1u);
    EXPECT_EQ(listing(folder).at("copy.db"), before.at("copy.db"));
  }
  for (const char* name : {"copy.db", "copy.db.users"}) {
    struct stat info {};
    ASSERT_EQ(stat((folder / name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
  }
  ServerProcess restored(LUMBRA_SERVER_PROGRAM, {"--database", "copy.db"}, folder.path());
  ASSERT_GT(restored.port(), 0) << restored.log();
  RawClient client(static_cast<std::uint16_t>(restored.port()));
  ASSERT_EQ(statusOf(logIn(client, "ALICE", "SECRET")), "0000");
  EXPECT_EQ(textOf(client.exchange("EXEC SELECT GROUP_CONCAT(K) FROM T")), "1");
}

}  // namespace
}  // namespace lumbra::server::testing
