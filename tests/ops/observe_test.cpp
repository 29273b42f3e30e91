// The running server seen from outside: `status` and `trace` over the control socket, the
// control socket's and the metrics' refusals at the start, the metrics' text.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "server/metrics.h"
#include "server/status.h"
#include "tests/ops/ops_support.h"
#include "tests/server/server_harness.h"

namespace lumbra::server::testing {
namespace {

// The row of `status` whose user is `user` ("-": not logged in), split into its columns.
std::vector<std::string> statusRow(const std::string& table, const std::string& user) {
  std::size_t start = 0;
  while (start < table.size()) {
    std::size_t end = table.find('\n', start);
    std::string line = table.substr(start, end - start);
    start = end == std::string::npos ? table.size() : end + 1;
    std::vector<std::string> columns;
    std::size_t at = 0;
    while (at < line.size()) {
      std::size_t from = line.find_first_not_of(' ', at);
      if (from == std::string::npos) break;
      std::size_t to = line.find(' ', from);
      columns.push_back(line.substr(from, to - from));
      at = to == std::string::npos ? line.size() : to;
    }
    if (columns.size() >= 3 && columns[2] == user) return columns;
  }
  return {};
}

TEST(Observe, StatusListsEverySessionAndTraceFollowsAUserWithoutTheirPassword) {
  TempDir folder;
  for (const char* id : {"ALICE", "BOB"}) {
    Outcome add = runProgram({"user", "add", id, "--database", "team.db", "--iterations", "10"}, folder.path(),
                             "secret\n");
    ASSERT_EQ(add.status, 0) << add.err;
  }
  ServerProcess server(LUMBRA_SERVER_PROGRAM, {"--database", "team.db", "--log", "server.log", "--message-length", "300"}, folder.path());
  ASSERT_GT(server.port(), 0) << readFile(folder / "server.log");
  struct stat info {};
  ASSERT_EQ(stat((folder / "team.db.control").c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const auto port = static_cast<std::uint16_t>(server.port());
  RawClient alice(port);
  ASSERT_EQ(statusOf(logIn(alice, "ALICE", "SECRET")), "0000");
  for (const char* text : {"EXEC CREATE TABLE T (K INTEGER, V TEXT)",
                           "EXEC WITH RECURSIVE S(N) AS (SELECT 1 UNION ALL SELECT N + 1 FROM S WHERE N < 500) "
                           "INSERT INTO T SELECT N, 'row ' || N FROM S",
                           "SELECT K, V FROM T ORDER BY K"}) {
    ASSERT_EQ(statusOf(alice.exchange(text)), "0000") << text;
  }
  RawClient stranger(port);
  stranger.exchange("LUMT");

  Outcome status = runProgram({"status", "--database", "team.db"}, folder.path());
  ASSERT_EQ(status.status, 0) << status.err;
  std::vector<std::string> row = statusRow(status.out, "ALICE");
  ASSERT_EQ(row.size(), 10u) << status.out;
  EXPECT_EQ(row[1].substr(0, 10), "127.0.0.1:");
  EXPECT_EQ(row[3], "idle");
  EXPECT_EQ(row[4], "SELECT");
  EXPECT_EQ(row[7], "open") << status.out;  // the INSERT's transaction, never committed
  EXPECT_GT(std::stoll(row[8]), 400) << status.out;  // a block of the 500 rows sent
  EXPECT_EQ(row[9], "-");
  row = statusRow(status.out, "-");
  ASSERT_EQ(row.size(), 10u) << status.out;
  EXPECT_EQ(row[3], "login");
  EXPECT_EQ(row[4], "LUMT");

  // ALICE's sessions traced, the one open and one that logs in later; BOB's not.
  Outcome trace = runProgram({"trace", "--user", "ALICE", "on", "--database", "team.db"}, folder.path());
  ASSERT_EQ(trace.status, 0) << trace.err;
  EXPECT_NE(trace.out.find("1 open now"), std::string::npos) << trace.out;
  std::string traced = alice.exchange("EXEC SELECT 'traced one'");
  EXPECT_EQ(statusOf(traced), "0000") << traced;
  RawClient later(port);
  ASSERT_EQ(statusOf(logIn(later, "ALICE", "SECRET", "NEWSECRET")), "0000");  // and a new password
  EXPECT_EQ(statusOf(later.exchange("EXEC SELECT 2 + 2")), "0000");
  RawClient bob(port);
  ASSERT_EQ(statusOf(logIn(bob, "BOB", "SECRET")), "0000");
  EXPECT_EQ(statusOf(bob.exchange("EXEC SELECT 'not traced'")), "0000");
  trace = runProgram({"trace", "--user", "ALICE", "off", "--database", "team.db"}, folder.path());
  ASSERT_EQ(trace.status, 0) << trace.err;
  EXPECT_EQ(statusOf(later.exchange("EXEC SELECT 'after off'")), "0000");
  // One session by its number.
  std::string bobSession = statusRow(runProgram({"status", "--database", "team.db"}, folder.path()).out, "BOB")[0];
  trace = runProgram({"trace", "--session", bobSession, "on", "--database", "team.db"}, folder.path());
  ASSERT_EQ(trace.status, 0) << trace.err;
  EXPECT_EQ(statusOf(bob.exchange("EXEC SELECT 'bob traced'")), "0000");

  std::string log = readFile(folder / "server.log");
  EXPECT_NE(log.find("user ALICE: <- 24 bytes EXEC \"EXEC SELECT 'traced one'\", -> "), std::string::npos) << log;
  EXPECT_NE(log.find("user ALICE: <- login, -> "), std::string::npos) << log;
  EXPECT_NE(log.find("\"EXEC SELECT 2 + 2\", -> 17 bytes status 0000 in "), std::string::npos) << log;
  EXPECT_NE(log.find("user BOB: <- 24 bytes EXEC \"EXEC SELECT 'bob traced'\", -> "), std::string::npos) << log;
  for (const char* absent : {"not traced", "after off", "SECRET"}) {
    EXPECT_EQ(log.find(absent), std::string::npos) << absent << "\n" << log;
  }

  // Refusals: a session that is not there; no server on the socket (nothing made).
  trace = runProgram({"trace", "--session", "999", "on", "--database", "team.db"}, folder.path());
  EXPECT_EQ(trace.status, 1);
  EXPECT_EQ(trace.err, "lumbra-server: no session 999\n");
  TempDir empty;
  status = runProgram({"status", "--database", "team.db"}, empty.path());
  EXPECT_EQ(status.status, 1);
  EXPECT_NE(status.err.find("no server answers on team.db.control"), std::string::npos) << status.err;
  EXPECT_TRUE(listing(empty).empty());
}

TEST(Observe, ATakenControlSocketOrMetricsPortIsRefusedAtTheStartAndNothingWritten) {
  TempDir folder;
  Outcome add = runProgram({"user", "add", "ALICE", "--database", "team.db", "--iterations", "10"}, folder.path(),
                           "secret\n");
  ASSERT_EQ(add.status, 0) << add.err;
  writeFile(folder / "plain.txt", "not a socket\n");
  // A port taken by another program.
  int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  socklen_t length = sizeof address;
  getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string takenPort = std::to_string(ntohs(address.sin_port));
  ServerProcess running(LUMBRA_SERVER_PROGRAM, {"--database", "team.db", "--control", "live.control", "--log", "running.log"},
                        folder.path());
  ASSERT_GT(running.port(), 0) << readFile(folder / "running.log");

  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{"--control", "plain.txt", "--log", "new.log"}, "--control plain.txt: a file that is no socket is there"},
      {{"--control", "live.control"}, "--control live.control: another server answers on it"},
      {{"--control", "no/such/folder/c"}, "--control no/such/folder/c: No such file or directory"},
      {{"--metrics", "127.0.0.1:" + takenPort}, "--metrics 127.0.0.1:"},
  };
  const auto before = listing(folder);
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--database", "team.db"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome run = runProgram(args, folder.path());
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err.find("lumbra-server: " + std::string(c.says)), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(listing(folder), before) << c.says;
  }
  close(taken);
}

TEST(Observe, TheMetricsCountSessionsLoginsMessagesAndBytes) {
  RunningServer server;
  const std::string before = metrics().exposition();
  {
    RawClient client(server.port());
    ASSERT_EQ(statusOf(logIn(client)), "0000");
    RawClient wrong(server.port());
    EXPECT_EQ(statusOf(logIn(wrong, "ALICE", "WRONG")), "0102");
    EXPECT_EQ(statusOf(client.exchange("EXEC SELECT 1")), "0000");
    EXPECT_EQ(statusOf(client.exchange("SELECT 1")), "0000");
  }
  // Counted by the time the replies are out; the metrics are the process's.
  auto value = [](const std::string& text, const std::string& name) {
    std::size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1.0 : std::stod(text.substr(at + name.size() + 2));
  };
  const std::string after = metrics().exposition();
  struct Expectation {
    const char* name;
    double increase;
  };
  for (const Expectation& e : {Expectation{"lumbra_sessions_total", 2},
                               {"lumbra_logins_total{outcome=\"ok\"}", 1},
                               {"lumbra_logins_total{outcome=\"refused\"}", 1},
                               {"lumbra_messages_total{command=\"EXEC\"}", 1},
                               {"lumbra_messages_total{command=\"SELECT\"}", 1},
                               {"lumbra_messages_total{command=\"LUMT\"}", 2},
                               {"lumbra_message_duration_seconds_count", 6}}) {
    EXPECT_EQ(value(after, e.name) - value(before, e.name), e.increase) << e.name << "\n" << after;
  }
  EXPECT_GT(value(after, "lumbra_received_bytes_total"), value(before, "lumbra_received_bytes_total") + 2 * 118);
  EXPECT_GT(value(after, "lumbra_sent_bytes_total"), value(before, "lumbra_sent_bytes_total"));
}

TEST(Observe, TheOperationsPageListsEveryStatusWithItsText) {
  const std::string page = readFile(std::string(SUITE_SOURCE_DIR) + "/docs/operations.md");
  ASSERT_FALSE(page.empty());
  for (Status status : {Status::BadMessage, Status::BadCredentialBlock, Status::LoginRefused, Status::BadNewPassword,
                        Status::NotLoggedIn, Status::AlreadyLoggedIn, Status::DatabaseUnavailable,
                        Status::MessageTooLong, Status::UnknownCommand, Status::MultipleStatements,
                        Status::BadBinaryInsert, Status::NoOpenQuery, Status::BadContinuation, Status::RowTooLong,
                        Status::TooManyRows, Status::UnknownSetting, Status::BadSettingValue, Status::BadParameter,
                        Status::DatabaseBusy}) {
    char code[8];
    std::snprintf(code, sizeof code, "%04d", static_cast<int>(status));
    const std::string row = "| `" + std::string(code) + "` | `" + std::string(statusText(status)) + "` |";
    EXPECT_NE(page.find(row), std::string::npos) << row;
  }
}

}  // namespace
}  // namespace lumbra::server::testing
