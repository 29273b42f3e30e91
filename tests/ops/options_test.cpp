// The command line and the configuration file: one parser, the command line over the file, and
// every wrong value refused at the start with one line naming the option, nothing written.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/ops/ops_support.h"
#include "tests/server/server_harness.h"

namespace lumbra::server::testing {
namespace {

TEST(Options, WrongValuesAreRefusedAtTheStartWithOneLineAndNothingWritten) {
  struct Case {
    std::vector<std::string> args;
    std::string config;  // written to server.toml when not empty
    int status;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{"--threads", "0"}, "", 2, "--threads: must be a number from 1 to 256, not '0'"},
      {{"--idle-timeout", "1h"}, "", 2, "--idle-timeout: must be seconds from 0 (never) to 604800, not '1h'"},
      {{"--listen", "localhost:3001"}, "", 2, "--listen: needs HOST:PORT with a numeric IPv4 address"},
      {{"--log-format", "xml"}, "", 2, "--log-format: must be text or json, not 'xml'"},
      {{"--nonsense"}, "", 2, "--nonsense: no such option or command"},
      {{"--config", "missing.toml"}, "", 2, "--config missing.toml: cannot be read"},
      {{"--config", "server.toml"}, "threds = 4\n", 2, "--config server.toml: unknown key 'threds'"},
      {{"--config", "server.toml"}, "threads = 0\n", 2, "--threads: must be a number from 1 to 256"},
      {{"--config", "server.toml"}, "[user]\niterations = 5\n", 2, "--config server.toml: unknown key 'user.iterations'"},
      {{"--database-password-file", "pw"}, "", 2, "--database-password-file: only for a postgresql:// database"},
      {{"--database", "postgresql://lumbra@127.0.0.1:1/x", "--database-password-file", "missing"}, "", 2,
       "--database-password-file missing: cannot be read"},
      {{"--log", "no/such/folder/server.log"}, "", 1, "--log no/such/folder/server.log: No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    TempDir folder;
    Outcome init = runProgram({"init", "--database", "team.db"}, folder.path());
    ASSERT_EQ(init.status, 0) << init.err;
    if (!c.config.empty()) writeFile(folder / "server.toml", c.config);
    const auto before = listing(folder);
    std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--database", "team.db"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome run = runProgram(args, folder.path());
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    // One line naming the option; a wrong command line adds the way to the help.
    const bool usage = c.status == 2;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), usage ? 2 : 1) << run.err;
    if (usage) {
      EXPECT_TRUE(run.err.ends_with("\nTry 'lumbra-server --help'.\n")) << run.err;
    }
    EXPECT_EQ(listing(folder), before);
  }
}

// The message length a server announces at login: the option the tests can see from outside.
std::string announcedLength(int port) {
  RawClient client(static_cast<std::uint16_t>(port));
  std::string reply = textOf(logIn(client, "ALICE", "SECRET"));
  std::size_t at = reply.find(",ML=");
  return at == std::string::npos ? reply : reply.substr(at + 4);
}

TEST(Options, TheConfigurationFileSetsEveryLongOptionAndTheCommandLineWins) {
  TempDir folder;
  Outcome add = runProgram({"user", "add", "ALICE", "--database", "team.db", "--iterations", "10"}, folder.path(),
                           "secret\n");
  ASSERT_EQ(add.status, 0) << add.err;
  writeFile(folder / "server.toml",
            "# a team's server\n"
            "listen = \"127.0.0.1:0\"\n"
            "database = \"team.db\"\n"
            "message-length = 4000\n"
            "idle-timeout = 600\n"
            "log = \"from-file.log\"\n"
            "log-format = \"json\"\n"
            "trace = true\n");
  {
    ServerProcess server(LUMBRA_SERVER_PROGRAM, {"--config", "server.toml", "--port-file", "port"}, folder.path(), true);
    for (int i = 0; i < 200 && readFile(folder / "port").empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    int port = std::atoi(readFile(folder / "port").c_str());
    ASSERT_GT(port, 0) << server.log() << readFile(folder / "from-file.log");
    EXPECT_EQ(announcedLength(port), "4000");
    std::string log = readFile(folder / "from-file.log");
    EXPECT_NE(log.find("{\"time\":\""), std::string::npos) << log;
    EXPECT_NE(log.find("<- login, -> "), std::string::npos) << log;  // trace = true
    EXPECT_NE(log.find("\"user\":\"ALICE\",\"message\":\"<- login, -> "), std::string::npos) << log;
  }
  // The user commands read the same file: its database.
  Outcome list = runProgram({"user", "list", "--config", "server.toml"}, folder.path());
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "ALICE\n");
  ServerProcess server(LUMBRA_SERVER_PROGRAM, {"--config", "server.toml", "--message-length", "5000", "--log-format", "text"},
                       folder.path());
  ASSERT_GT(server.port(), 0) << server.log();
  EXPECT_EQ(announcedLength(server.port()), "5000");
}

TEST(Options, SighupReopensTheLogFileAfterARotation) {
  TempDir folder;
  Outcome add = runProgram({"user", "add", "ALICE", "--database", "team.db", "--iterations", "10"}, folder.path(),
                           "secret\n");
  ASSERT_EQ(add.status, 0) << add.err;
  ServerProcess server(LUMBRA_SERVER_PROGRAM, {"--database", "team.db", "--log", "server.log"}, folder.path());
  ASSERT_GT(server.port(), 0) << readFile(folder / "server.log");
  ASSERT_EQ(std::rename((folder / "server.log").c_str(), (folder / "server.log.1").c_str()), 0);
  ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
  for (int i = 0; i < 100 && readFile(folder / "server.log").empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  announcedLength(server.port());
  EXPECT_EQ(server.stop(SIGTERM), 0);
  std::string old = readFile(folder / "server.log.1");
  std::string fresh = readFile(folder / "server.log");
  EXPECT_NE(old.find("listening on 127.0.0.1:"), std::string::npos) << old;
  EXPECT_NE(fresh.find("log file reopened"), std::string::npos) << fresh;
  EXPECT_NE(fresh.find("login of 'ALICE'"), std::string::npos) << fresh;
  EXPECT_NE(fresh.find("stopped"), std::string::npos) << fresh;
}

}  // namespace
}  // namespace lumbra::server::testing
