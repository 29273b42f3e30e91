// lumbra-server on PostgreSQL via lumbra32: set-up, two servers on one database, a kill mid-batch.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "client/lumbra32.h"
#include "server/postgres/libpq.h"
#include "tests/support/server_process.h"
#include "tests/support/postgres_database.h"

#ifndef LUMBRA_E2E_SERVER
#  error "LUMBRA_E2E_SERVER must name the server program"
#endif

namespace {

using suite_test::ServerProcess;
using lumbra::testing::ScratchDatabase;
using lumbra::testing::ScratchRole;
namespace pg = lumbra::server::pg;
using Clock = std::chrono::steady_clock;

constexpr char kUser[] = "PGUSER";
constexpr char kPassword[] = "SENHA1";
constexpr std::size_t kMessageRoom = 40000;

std::string value(PGconn* conn, const std::string& sql) {
  pg::Result result = pg::exec(conn, sql);
  if (!pg::ok(result.get())) return "ERROR " + pg::errorText(result.get());
  if (PQntuples(result.get()) != 1) return "ROWS " + std::to_string(PQntuples(result.get()));
  return PQgetvalue(result.get(), 0, 0);
}

// One session of lumbra32, closed when it goes away.
class Session {
 public:
  explicit Session(const ServerProcess& server) : message_(kMessageRoom, '\0') {
    handle_ =
        static_cast<int16_t>(LBConnect(kUser, kPassword, "", server.address().c_str(), message_.data()));
  }
  ~Session() {
    if (handle_ >= 0) LBDisconn(handle_, message_.data());
  }
  bool open() const { return handle_ >= 0; }
  int32_t command(const std::string& text) { return LBCommand(handle_, text.c_str(), message_.data()); }
  // The first row of a SELECT (trailing blanks removed), or "ERROR <text>".
  std::string first(const std::string& select) {
    int32_t count = command(select);
    if (count < 1) return "ERROR " + std::to_string(count) + " " + text();
    int32_t n = LBGetNext(handle_, message_.data());
    if (n < 0) return "ERROR " + text();
    std::string row(message_.data(), static_cast<std::size_t>(n));
    while (!row.empty() && row.back() == ' ') row.pop_back();
    while (!row.empty() && row.front() == ' ') row.erase(0, 1);
    return row;
  }
  std::string text() const { return message_.data(); }

 private:
  std::vector<char> message_;
  int32_t handle_ = -1;
};

class PostgresServers : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string uri;
    LUMBRA_REQUIRE_POSTGRES(uri);
    if (!suite_test::isExecutable(LUMBRA_E2E_SERVER)) {
      GTEST_SKIP() << "the reference server is not built: " << LUMBRA_E2E_SERVER;
    }
    database_ = std::make_unique<ScratchDatabase>();
    ASSERT_TRUE(database_->ready()) << database_->error();
  }
  void TearDown() override {
    for (ServerProcess* server : {&first_, &second_}) {
      if (HasFailure() && server->running()) std::printf("server log:\n%s\n", server->log().c_str());
      server->stop();
    }
    database_.reset();
  }

  // Both servers on the test's database (the first adds the user).
  void startBoth(const std::vector<std::string>& extra = {}) {
    first_.useDatabase(database_->ownerUri(), true);
    ASSERT_TRUE(first_.start(LUMBRA_E2E_SERVER, kUser, kPassword, extra)) << first_.error();
    second_.useDatabase(database_->ownerUri(), false);
    ASSERT_TRUE(second_.start(LUMBRA_E2E_SERVER, kUser, kPassword, extra)) << second_.error();
  }

  std::unique_ptr<ScratchDatabase> database_;
  ServerProcess first_;
  ServerProcess second_;
};

// `user add` on an empty database sets it up; the server then serves it,
// and the user commands see the users of the server.
TEST_F(PostgresServers, UserAddOnAnEmptyDatabaseThenServe) {
  first_.useDatabase(database_->ownerUri());
  ASSERT_TRUE(first_.start(LUMBRA_E2E_SERVER, kUser, kPassword)) << first_.error();
  Session session(first_);
  ASSERT_TRUE(session.open()) << session.text();
  EXPECT_GE(session.command("EXEC CREATE TABLE T (ID INTEGER PRIMARY KEY, NAME CHAR(8))"), 0)
      << session.text();
  EXPECT_EQ(session.command("INSERT INTO T VALUES (1, 'ONE')"), 0) << session.text();
  EXPECT_EQ(session.command("COMMIT"), 1) << session.text();
  EXPECT_EQ(session.first("SELECT NAME FROM T WHERE ID = 1"), "ONE");
  // The users are out of the session's reach.
  EXPECT_LT(session.command("SELECT hash FROM lumbra_server.users"), 0);

  // A wrong password is refused; the user commands change what logins see.
  std::vector<char> message(kMessageRoom);
  EXPECT_LT(static_cast<int16_t>(LBConnect(kUser, "WRONG", "", first_.address().c_str(), message.data())), 0);
  std::string program = LUMBRA_E2E_SERVER;
  std::string quoted = "'" + database_->ownerUri() + "'";
  EXPECT_EQ(std::system(("echo NEWPW | '" + program + "' user passwd " + kUser + " --database " + quoted +
                         " 2>/dev/null")
                            .c_str()),
            0);
  int16_t handle =
      static_cast<int16_t>(LBConnect(kUser, "NEWPW", "", first_.address().c_str(), message.data()));
  EXPECT_GE(handle, 0) << message.data();
  if (handle >= 0) LBDisconn(handle, message.data());
}

// PostgreSQL's list of clients names the user of each session, also on a
// pooled connection that another user had before.
TEST_F(PostgresServers, EachSessionShowsItsUserInTheApplicationName) {
  first_.useDatabase(database_->ownerUri());
  ASSERT_TRUE(first_.start(LUMBRA_E2E_SERVER, kUser, kPassword, {"--pool-size", "1"})) << first_.error();
  std::string program = LUMBRA_E2E_SERVER;
  ASSERT_EQ(std::system(("echo OTHERPW | '" + program + "' user add OTHER --database '" + database_->ownerUri() +
                         "' >/dev/null 2>&1")
                            .c_str()),
            0);
  const std::string shown = "SELECT current_setting('application_name')";
  {
    Session session(first_);
    ASSERT_TRUE(session.open()) << session.text();
    EXPECT_EQ(session.first(shown), "lumbra-server session: PGUSER");
    // While it holds the connection, others see the name too.
    ASSERT_GE(session.command("EXEC CREATE TABLE HELD (ID INTEGER)"), 0) << session.text();
    EXPECT_EQ(value(database_->superuser(),
                    "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'lumbra-server session: PGUSER'"),
              "1");
    EXPECT_GE(session.command("ROLLBACK"), 0) << session.text();
  }
  std::vector<char> message(kMessageRoom);
  int16_t other = static_cast<int16_t>(LBConnect("OTHER", "OTHERPW", "", first_.address().c_str(), message.data()));
  ASSERT_GE(other, 0) << message.data();
  ASSERT_GE(LBCommand(other, shown.c_str(), message.data()), 1) << message.data();
  int32_t n = LBGetNext(other, message.data());
  ASSERT_GT(n, 0) << message.data();
  std::string row(message.data(), static_cast<std::size_t>(n));
  EXPECT_EQ(row.substr(0, row.find_last_not_of(' ') + 1), "lumbra-server session: OTHER");
  LBDisconn(other, message.data());
}

// The user commands through the PostgreSQL store: results, messages, the
// sorted list, and a login as each change leaves it.
TEST_F(PostgresServers, UserCommandsThroughThePostgresStore) {
  first_.useDatabase(database_->ownerUri());
  ASSERT_TRUE(first_.start(LUMBRA_E2E_SERVER, kUser, kPassword)) << first_.error();
  const suite_test::TempDir folder("lumbra-pg-cli");
  const std::string out = folder.file("out");
  auto run = [&](const std::string& arguments, const std::string& input, std::string& said) {
    std::string command = "printf '%s\\n' '" + input + "' | '" LUMBRA_E2E_SERVER "' user " + arguments +
                          " --database '" + database_->ownerUri() + "' >'" + out + "' 2>&1";
    int status = std::system(command.c_str());
    std::ifstream in(out);
    said.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  struct Case {
    std::string arguments;
    std::string input;
    int status;
    const char* says;
  } cases[] = {
      {"add CAROL", "carol1", 0, "user 'CAROL' added"},
      {"add CAROL", "other", 1, "exists already"},
      {"add DAVE", "has blank", 1, "may not hold blanks"},
      {"passwd NOBODY", "x", 1, "no user 'NOBODY'"},
      {"list", "", 0, "CAROL\nPGUSER\n"},
      {"passwd CAROL", "carol2", 0, "password changed"},
      {"remove NOBODY", "", 1, "no user 'NOBODY'"},
  };
  for (const Case& c : cases) {
    std::string said;
    EXPECT_EQ(run(c.arguments, c.input, said), c.status) << c.arguments << ": " << said;
    EXPECT_NE(said.find(c.says), std::string::npos) << c.arguments << ": " << said;
  }
  std::vector<char> message(kMessageRoom);
  auto login = [&](const char* id, const char* password) {
    int16_t handle =
        static_cast<int16_t>(LBConnect(id, password, "", first_.address().c_str(), message.data()));
    if (handle >= 0) LBDisconn(handle, message.data());
    return handle >= 0;
  };
  EXPECT_TRUE(login("CAROL", "CAROL2"));
  EXPECT_FALSE(login("CAROL", "CAROL1"));
  std::string said;
  EXPECT_EQ(run("remove CAROL", "", said), 0) << said;
  EXPECT_FALSE(login("CAROL", "CAROL2"));
  EXPECT_EQ(run("list", "", said), 0);
  EXPECT_EQ(said, "PGUSER\n");
}

// A database whose owner may not create roles: the server refuses to start
// and says why; after the operator's script it starts and serves.
TEST_F(PostgresServers, ScriptThenServeForAnOwnerThatMayNotCreateRoles) {
  ScratchRole role(database_->superuser(), "lumbra_e2e_plain_" + std::to_string(getpid()), "plainpw");
  ASSERT_TRUE(role.created()) << role.error();
  const std::string& plain = role.name();
  {
    ScratchDatabase database(plain);
    ASSERT_TRUE(database.ready()) << database.error();
    const std::string uri = database.uriAs(plain, "plainpw");

    first_.useDatabase(uri);
    EXPECT_FALSE(first_.start(LUMBRA_E2E_SERVER, kUser, kPassword));
    EXPECT_NE(first_.error().find("setup.sql"), std::string::npos) << first_.error();

    std::string command = "psql -X -q -v ON_ERROR_STOP=1 -d '" + database.superuserUri() +
                          "' -c 'SET lumbra.owner = " + plain +
                          "' -f '" SUITE_SOURCE_DIR "/server/postgres/setup.sql' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ASSERT_TRUE(first_.start(LUMBRA_E2E_SERVER, kUser, kPassword)) << first_.error();
    Session session(first_);
    ASSERT_TRUE(session.open()) << session.text();
    EXPECT_EQ(session.first("SELECT 40 + 2"), "42");
    first_.stop();
  }
}

// PostgreSQL lets a role change its own password and its own defaults, so a
// session can change the sessions' role's. New session connections then fail
// to log in, or would start with the session's settings: the server takes
// the settings back, gives the role a new password (the other server takes
// it up) and goes on.
TEST_F(PostgresServers, ASessionThatChangesItsRolesPasswordOrSettingsHarmsNoOther) {
  ASSERT_NO_FATAL_FAILURE(startBoth());
  const std::string role = database_->sessionRole();
  {
    Session setup(first_);
    ASSERT_TRUE(setup.open()) << setup.text();
    ASSERT_GE(setup.command("EXEC CREATE TABLE KEPT (ID INTEGER)"), 0) << setup.text();
    ASSERT_GE(setup.command("EXEC INSERT INTO KEPT VALUES (42)"), 0) << setup.text();
    ASSERT_GE(setup.command("COMMIT"), 0) << setup.text();
  }
  struct Attack {
    std::vector<std::string> sql;
    bool newPassword;
  } attacks[] = {
      // Defaults of every later connection of the role: tables not found, bytes in another form.
      {{"EXEC ALTER ROLE CURRENT_USER SET search_path = nowhere",
        "EXEC ALTER ROLE CURRENT_USER IN DATABASE " + database_->name() + " SET bytea_output = escape"},
       false},
      {{"EXEC ALTER ROLE CURRENT_USER SET search_path = nowhere",
        "EXEC ALTER ROLE CURRENT_USER PASSWORD 'mine'"},
       true},
  };
  for (const Attack& attack : attacks) {
    SCOPED_TRACE(attack.sql.back());
    {
      Session attacker(first_);
      ASSERT_TRUE(attacker.open()) << attacker.text();
      for (const std::string& sql : attack.sql)
        ASSERT_GE(attacker.command(sql), 0) << sql << ": " << attacker.text();
      ASSERT_GE(attacker.command("COMMIT"), 0) << attacker.text();
    }
    if (attack.newPassword) {
      std::string uri = database_->ownerUri(), why;
      uri.replace(uri.find("lumbra_owner:"), uri.find('@') - uri.find("lumbra_owner:"), role + ":mine");
      EXPECT_TRUE(pg::connect(uri, why)) << "the attack did not take: " << why;
    }
    // Every pooled connection goes, so that each server must log in anew.
    bool gone = false;
    for (auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end && !gone;) {
      gone = value(database_->superuser(),
                   "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                   "WHERE usename = '" +
                       role + "'") == "0";
      if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(gone);
    for (ServerProcess* server : {&first_, &second_}) {
      Session session(*server);
      ASSERT_TRUE(session.open()) << session.text();
      // A pooled connection the termination has not reached yet may fail one
      // message (2010, and it is let go); the next logs in anew.
      std::string answer = session.first("SELECT ID FROM KEPT");
      for (int attempt = 0; attempt < 20 && answer.starts_with("ERROR -2010"); ++attempt) {
        answer = session.first("SELECT ID FROM KEPT");
      }
      EXPECT_EQ(answer, "42") << server->log();
      EXPECT_EQ(session.first("SELECT current_setting('bytea_output')"), "hex");
    }
    EXPECT_EQ(value(database_->superuser(),
                    "SELECT count(*) FROM pg_db_role_setting WHERE setrole = '" + role + "'::regrole"),
              "0");
  }
  std::string error;
  pg::Connection super = pg::connect(database_->superuserUri(), error);
  ASSERT_TRUE(super) << error;
  EXPECT_NE(value(super.get(), "SELECT password FROM lumbra_server.session_login"), "mine");
  EXPECT_NE(first_.log().find("the sessions' login renewed"), std::string::npos) << first_.log();
}

// Two servers on one database, 1,000 sessions open on each at once; every
// session commits a row through its server and reads one committed through
// the other. The sessions run in four child processes (lumbra32 holds 500
// handles), held together by pipes: all open, then all read.
TEST_F(PostgresServers, TwoServersServeAThousandSessionsEach) {
  ASSERT_NO_FATAL_FAILURE(startBoth({"--login-delay", "0", "--quiet"}));
  {
    Session setup(first_);
    ASSERT_TRUE(setup.open()) << setup.text();
    ASSERT_GE(setup.command("EXEC CREATE TABLE R (ID INTEGER PRIMARY KEY, SERVER CHAR(1))"), 0)
        << setup.text();
    ASSERT_GE(setup.command("COMMIT"), 0) << setup.text();
  }
  constexpr int kChildren = 4;
  constexpr int kPerChild = 500;
  constexpr int kTotal = kChildren * kPerChild;
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  const auto started = Clock::now();
  std::vector<pid_t> children;
  for (int child = 0; child < kChildren; ++child) {
    const ServerProcess& mine = child < kChildren / 2 ? first_ : second_;
    const char tag = child < kChildren / 2 ? 'A' : 'B';
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Exit codes: 0 done, 10 login, 11 insert, 12 read, 13 pipe.
      int code = 0;
      {
        std::vector<std::unique_ptr<Session>> sessions;
        for (int i = 0; i < kPerChild && code == 0; ++i) {
          sessions.push_back(std::make_unique<Session>(mine));
          const int id = child * kPerChild + i;
          if (!sessions.back()->open()) {
            std::fprintf(stderr, "session %d: %s\n", id, sessions.back()->text().c_str());
            code = 10;
          } else if (sessions.back()->command("INSERT INTO R VALUES (" + std::to_string(id) + ", '" + tag +
                                              "')") < 0 ||
                     sessions.back()->command("COMMIT") < 1) {
            std::fprintf(stderr, "session %d: %s\n", id, sessions.back()->text().c_str());
            code = 11;
          }
        }
        char byte = code == 0 ? 'r' : 'x';
        if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) code = 13;
        for (int i = 0; i < kPerChild && code == 0; ++i) {
          const int partner = (child * kPerChild + i + kTotal / 2) % kTotal;
          const std::string other(1, tag == 'A' ? 'B' : 'A');
          std::string row = sessions[i]->first("SELECT SERVER FROM R WHERE ID = " + std::to_string(partner));
          if (row != other) {
            std::fprintf(stderr, "session %d read row %d: %s\n", child * kPerChild + i, partner, row.c_str());
            code = 12;
          }
        }
      }
      _exit(code);
    }
    children.push_back(pid);
  }
  close(ready[1]);
  close(go[0]);
  int readyCount = 0;
  char byte = 0;
  while (readyCount < kChildren && read(ready[0], &byte, 1) == 1) readyCount += byte == 'r' ? 1 : 0;
  const double openSeconds = std::chrono::duration<double>(Clock::now() - started).count();
  // Every child holds its 500 sessions open now (or has failed).
  const std::string open = value(database_->superuser(), "SELECT 1");  // the cluster answers meanwhile
  for (int i = 0; i < kChildren; ++i) {
    byte = 'g';
    EXPECT_EQ(write(go[1], &byte, 1), 1);
  }
  close(go[1]);
  close(ready[0]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  EXPECT_EQ(readyCount, kChildren);
  EXPECT_EQ(open, "1");
  pg::Connection check;
  std::string error;
  check = pg::connect(database_->superuserUri(), error);
  ASSERT_TRUE(check) << error;
  EXPECT_EQ(value(check.get(), "SELECT count(*) || ' ' || count(*) FILTER (WHERE server = 'A') FROM r"),
            std::to_string(kTotal) + " " + std::to_string(kTotal / 2));
  std::printf(
      "two servers: %d sessions (%d on each) open, logged in and committed in %.1f s; all read in %.1f s\n",
      kTotal, kTotal / 2, openSeconds, seconds);
}

// A server killed (SIGKILL) while it runs a batch that ends in COMMIT: what
// was committed before stays, none of the batch is left, and the other
// server goes on with the same rows.
TEST_F(PostgresServers, AServerKilledMidBatchLosesNothingCommittedAndLeavesNoPartialBatch) {
  ASSERT_NO_FATAL_FAILURE(startBoth());
  Session before(first_);
  ASSERT_TRUE(before.open()) << before.text();
  ASSERT_GE(before.command("EXEC CREATE TABLE K (ID INTEGER PRIMARY KEY, TAG CHAR(8))"), 0) << before.text();
  ASSERT_GE(before.command("COMMIT"), 0) << before.text();
  for (int id = 1; id <= 100; ++id) {
    ASSERT_EQ(before.command("INSERT INTO K VALUES (" + std::to_string(id) + ", 'KEPT')"), 0)
        << before.text();
  }
  ASSERT_EQ(before.command("COMMIT"), 100) << before.text();

  // Three entries and a COMMIT in one message (lumbra32 holds the entries
  // until the COMMIT); the second entry takes a while.
  Session victim(first_);
  ASSERT_TRUE(victim.open()) << victim.text();
  for (const char* entry : {"INSERT INTO K VALUES (1001, 'BATCH')",
                            "INSERT INTO K SELECT G, 'BATCH' FROM generate_series(2000, 3000000) G",
                            "INSERT INTO K VALUES (1002, 'BATCH')"}) {
    ASSERT_EQ(victim.command(entry), 0) << victim.text();
  }
  int32_t outcome = 0;
  std::thread running([&] { outcome = victim.command("COMMIT"); });
  bool seen = false;
  for (auto end = Clock::now() + std::chrono::seconds(30); Clock::now() < end && !seen;) {
    seen =
        value(
            database_->superuser(),
            "SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND query LIKE '%generate_series%'"
            " AND usename = '" +
                database_->sessionRole() + "'") == "1";
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(kill(first_.pid(), SIGKILL), 0);
  running.join();
  first_.stop();
  EXPECT_TRUE(seen) << "the batch was not seen running";
  EXPECT_LT(outcome, 0) << "the batch of a killed server reported success";

  // The dead server's PostgreSQL session ends once its statement does.
  bool gone = false;
  for (auto end = Clock::now() + std::chrono::seconds(60); Clock::now() < end && !gone;) {
    gone = value(database_->superuser(),
                 "SELECT count(*) FROM pg_stat_activity WHERE query LIKE "
                 "'%generate_series(2000%' AND pid <> pg_backend_pid()") == "0";
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(gone);

  Session after(second_);
  ASSERT_TRUE(after.open()) << after.text();
  EXPECT_EQ(after.first("SELECT COUNT(*) FROM K WHERE TAG = 'KEPT'"), "100");
  EXPECT_EQ(after.first("SELECT COUNT(*) FROM K WHERE ID > 1000"), "0");
  // Nothing of the dead transaction holds a row: the batch's keys are free.
  EXPECT_GE(after.command("INSERT INTO K VALUES (1001, 'AFTER') COMMIT"), 0) << after.text();
  EXPECT_EQ(after.first("SELECT TAG FROM K WHERE ID = 1001"), "AFTER");
}

}  // namespace
