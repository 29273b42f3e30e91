// lumbra-server when its PostgreSQL restarts or stops under it: no error for what died idle in the pool,
// one clear error for a lost transaction, a login refusal of its own while it is down, service when it is back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "client/lumbra32.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

#ifndef LUMBRA_E2E_SERVER
#  error "LUMBRA_E2E_SERVER must name the server program"
#endif

extern char** environ;

namespace {

using suite_test::ServerProcess;

constexpr char kUser[] = "PGUSER";
constexpr char kPassword[] = "SENHA1";

// A PostgreSQL of the test's own (tests/support/postgres.sh), which it
// restarts and stops at will: the run's shared one serves other tests meanwhile.
class OwnPostgres {
 public:
  OwnPostgres() : folder_("lumbra-pg-restart") {
    if (!control("start")) return;
    std::ifstream in(folder_.file("uri"));
    std::getline(in, uri_);
  }
  ~OwnPostgres() { control("stop"); }
  const std::string& uri() const { return uri_; }
  // postgres.sh COMMAND DIR, waited for; as a child of this process, so that
  // its watchdog stops the cluster should this test die.
  bool control(const std::string& command) {
    const std::string script = std::string(SUITE_SOURCE_DIR) + "/tests/support/postgres.sh";
    std::vector<std::string> words{"bash", script, command, folder_.path().string()};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "bash", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  suite_test::TempDir folder_;
  std::string uri_;
};

// One session of lumbra32, closed when it goes away.
class Session {
 public:
  explicit Session(const ServerProcess& server) : message_(40000, '\0') {
    handle_ =
        static_cast<int16_t>(LBConnect(kUser, kPassword, "", server.address().c_str(), message_.data()));
  }
  ~Session() {
    if (handle_ >= 0) LBDisconn(handle_, message_.data());
  }
  int32_t handle() const { return handle_; }
  int32_t command(const std::string& text) { return LBCommand(handle_, text.c_str(), message_.data()); }
  // EXEC's reply text, or "ERROR <status> <text>".
  std::string exec(const std::string& sql) {
    const int32_t result = command("EXEC " + sql);
    return result < 0 ? "ERROR " + std::to_string(result) + " " + text() : text();
  }
  std::string text() const { return message_.data(); }

 private:
  std::vector<char> message_;
  int32_t handle_ = -1;
};

class PostgresRestart : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!suite_test::isExecutable(LUMBRA_E2E_SERVER)) {
      GTEST_SKIP() << "the reference server is not built: " << LUMBRA_E2E_SERVER;
    }
    ASSERT_FALSE(postgres_.uri().empty()) << "no PostgreSQL of the test's own (tests/support/postgres.sh)";
    server_.useDatabase(postgres_.uri());
    ASSERT_TRUE(server_.start(LUMBRA_E2E_SERVER, kUser, kPassword, {"--pool-size", "4"})) << server_.error();
  }

  OwnPostgres postgres_;
  ServerProcess server_;
};

TEST_F(PostgresRestart, IdleConnectionsAreNotHandedOutDeadAndALostTransactionSaysSoOnce) {
  Session writer(server_), reader(server_);
  ASSERT_GE(writer.handle(), 0) << writer.text();
  ASSERT_GE(reader.handle(), 0) << reader.text();
  ASSERT_EQ(writer.exec("CREATE TABLE R (K INTEGER)"), "0");
  ASSERT_GE(writer.command("COMMIT"), 0);
  ASSERT_EQ(writer.command("INSERT INTO R VALUES (1)"), 0);
  ASSERT_EQ(writer.command("COMMIT"), 1) << writer.text();
  ASSERT_EQ(reader.exec("SELECT COUNT(*) FROM R"), "1");
  // The writer's transaction holds a connection; the reader's went back to the pool.
  ASSERT_EQ(writer.command("INSERT INTO R VALUES (2)"), 0);
  ASSERT_EQ(writer.command("INSERT INTO R VALUES (3) "), 0);
  ASSERT_EQ(writer.command("COMMIT"), 2) << writer.text();
  ASSERT_EQ(writer.command("INSERT INTO R VALUES (4)"), 0);
  ASSERT_EQ(writer.exec("SELECT COUNT(*) FROM R"), "4");  // sends the batch: the transaction is open

  ASSERT_TRUE(postgres_.control("restart"));

  // What waited in the pool died with the restart: nobody gets it; the check
  // before a connection is handed out finds it closed (no message has to run
  // again for it).
  EXPECT_EQ(reader.exec("SELECT COUNT(*) FROM R"), "3");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(reader.exec("SELECT " + std::to_string(i)), std::to_string(i));
  EXPECT_EQ(server_.log().find("runs again on a new one"), std::string::npos) << server_.log();
  // The open transaction is lost: one clear error, and the next command works.
  const int32_t lost = writer.command("COMMIT");
  EXPECT_EQ(lost, -2010) << writer.text();
  EXPECT_NE(writer.text().find("TRANSACAO DESFEITA (1 ATUALIZACOES PERDIDAS)"), std::string::npos)
      << writer.text();
  EXPECT_EQ(writer.exec("SELECT COUNT(*) FROM R"), "3");
  EXPECT_EQ(writer.command("INSERT INTO R VALUES (5)"), 0);
  EXPECT_EQ(writer.command("COMMIT"), 1) << writer.text();
  // A session opened after the restart logs in (the users are read anew) and works.
  Session later(server_);
  ASSERT_GE(later.handle(), 0) << later.text();
  EXPECT_EQ(later.exec("SELECT COUNT(*) FROM R"), "4");
}

TEST_F(PostgresRestart, WhileItIsDownLoginsAreRefusedAsSuchAndServiceResumesWhenItIsBack) {
  Session before(server_);
  ASSERT_GE(before.handle(), 0) << before.text();
  ASSERT_EQ(before.exec("SELECT 1"), "1");

  ASSERT_TRUE(postgres_.control("halt"));
  {
    Session refused(server_);
    EXPECT_EQ(refused.handle(), -107);
    EXPECT_EQ(refused.text(), "BANCO DE DADOS INACESSIVEL, TENTE DE NOVO");
  }
  EXPECT_NE(server_.log().find("refused: the database of the users cannot be reached"), std::string::npos)
      << server_.log();
  // A session open before it stopped is told the database is unavailable.
  EXPECT_EQ(before.exec("SELECT 2").rfind("ERROR -106", 0), 0u) << before.exec("SELECT 2");

  ASSERT_TRUE(postgres_.control("resume"));
  Session after(server_);
  ASSERT_GE(after.handle(), 0) << after.text();
  EXPECT_EQ(after.exec("SELECT 3"), "3");
  EXPECT_EQ(before.exec("SELECT 4"), "4");
}

}  // namespace
