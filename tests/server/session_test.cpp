// The server over loopback with raw bytes: greeting, login, commands, batches, rows, settings, errors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/ebcdic.h"
#include "tests/server/server_harness.h"

namespace lumbra::server::testing {
namespace {

class ServerSession : public ::testing::Test {
 protected:
  void SetUp() override {
    client_ = std::make_unique<RawClient>(server_.port());
    ASSERT_TRUE(client_->connected());
  }
  // Sends `text` and expects status 0000; returns the text of the reply.
  std::string ok(const std::string& text) {
    std::string reply = client_->exchange(text);
    EXPECT_EQ(statusOf(reply), "0000") << text << " -> " << reply;
    return textOf(reply);
  }
  void loggedIn() { ASSERT_EQ(statusOf(logIn(*client_)), "0000"); }

  RunningServer server_;
  std::unique_ptr<RawClient> client_;
};

TEST_F(ServerSession, GreetingLoginServerInformationAndFarewell) {
  std::string greeting = client_->exchange("LUMT");
  EXPECT_TRUE(greeting.starts_with("LBX0000000")) << greeting;
  client_->sendBytes(loginMessage("ALICE", "secret"));  // the client upper-cases credentials
  std::string reply = client_->receiveReply();
  ASSERT_EQ(statusOf(reply), "0000") << reply;
  EXPECT_LE(reply.size(), 1900u);
  std::string text = textOf(reply);
  // Each keyword with its fixed-width value, as the client reads them.
  EXPECT_NE(text.find(",NN=7F000001"), std::string::npos) << text;
  EXPECT_NE(text.find(",SV=1.0.0"), std::string::npos);
  EXPECT_NE(text.find(",OS=UNIX"), std::string::npos);
  EXPECT_NE(text.find(",SK=TCP1.0.0"), std::string::npos);
  EXPECT_NE(text.find(",MR=LMBR1.0.0"), std::string::npos);
  EXPECT_TRUE(text.ends_with(",ML=32000")) << text;
  EXPECT_EQ(text.find(",BD=") + 4 + 5, text.find(",OS="));
  EXPECT_EQ(ok("GETSET CLIENTID"), "127.000.000.001");
  EXPECT_EQ(ok("GETSET USER"), "ALICE");
  std::string farewell = client_->exchange("FIM,Lumbra");
  EXPECT_EQ(statusOf(farewell), "0000");
  EXPECT_TRUE(client_->closedByPeer());
}

TEST_F(ServerSession, LoginRefusals) {
  struct Case {
    const char* name;
    std::string message;
    const char* status;
  };
  std::string garbled = loginMessage("ALICE", "SECRET");
  garbled[4] = '7';  // the block must begin with the digit zero
  std::string badHex = loginMessage("ALICE", "SECRET");
  for (std::size_t i = 5; i < 114; ++i) {
    if (badHex[i] >= '0' && badHex[i] <= '9') {
      badHex[i] = 'g';
      break;
    }
  }
  std::vector<Case> cases = {
      {"wrong password", loginMessage("ALICE", "WRONG"), "0102"},
      {"unknown user", loginMessage("MALLORY", "SECRET"), "0102"},
      {"identification in the wrong case", loginMessage("alice", "SECRET"), "0102"},
      {"block not starting with zero", garbled, "0101"},
      {"digit outside hexadecimal", badHex, "0101"},
      {"new password of 25 characters", loginMessage("ALICE", "SECRET", "ABCDEFGHIJKLMNOPQRSTUVWXY"), "0103"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient client(server_.port());
    client.exchange("LUMT");
    client.sendBytes(c.message);
    std::string reply = client.receiveReply();
    EXPECT_EQ(statusOf(reply), c.status) << reply;
    EXPECT_EQ(textOf(reply).find(",ML="), std::string::npos);
    // Still not logged in: commands are refused, the session stays usable.
    EXPECT_EQ(statusOf(client.exchange("SELECT 1")), "0104");
  }
  // The refused new password left the old one in place.
  RawClient again(server_.port());
  EXPECT_EQ(statusOf(logIn(again)), "0000");
}

TEST_F(ServerSession, SecondCredentialChangesThePassword) {
  std::string reply = logIn(*client_, "BOB", "HUNTER2", "newpass");
  ASSERT_EQ(statusOf(reply), "0000") << reply;
  EXPECT_NE(textOf(reply).find("SENHA ALTERADA"), std::string::npos);
  RawClient oldPassword(server_.port());
  EXPECT_EQ(statusOf(logIn(oldPassword, "BOB", "HUNTER2")), "0102");
  RawClient newPassword(server_.port());
  EXPECT_EQ(statusOf(logIn(newPassword, "BOB", "NEWPASS")), "0000");
}

TEST_F(ServerSession, BatchesCommitCountsAndRollback) {
  loggedIn();
  ok("EXEC CREATE TABLE T (K INTEGER PRIMARY KEY, V TEXT)");
  ok("COMMIT");
  // The client's example batch: a run of four blanks inside a literal, then a
  // delete, sent with COMMIT: two updates, two items of 11 characters.
  EXPECT_EQ(ok("INSERT INTO T VALUES (2,'@3 ') INSERT INTO T VALUES (3,'x') "), "2");
  std::string items = ok("DELETE FROM T WHERE K=2 COMMIT");
  EXPECT_EQ(items, "0000000001 0000000001 0000000001 ");
  EXPECT_EQ(ok("EXEC SELECT COUNT(*), MIN(V) FROM T"), "1,x");
  // A refused batch changes nothing: the entries before the failing one are undone.
  std::string refused = client_->exchange("INSERT INTO T VALUES (10,'a') INSERT INTO T VALUES (3,'dup') ");
  EXPECT_EQ(statusOf(refused), "2019") << refused;  // SQLITE_CONSTRAINT
  EXPECT_NE(textOf(refused).find("ATUALIZACAO 2"), std::string::npos) << refused;
  EXPECT_EQ(ok("EXEC SELECT COUNT(*) FROM T"), "1");
  // ROLLBACK drops what was not committed.
  ok("UPDATE T SET V='y' ");
  EXPECT_EQ(ok("GETSET TRANSACTION"), "ABERTA");
  ok("ROLLBACK");
  EXPECT_EQ(ok("EXEC SELECT V FROM T"), "x");
  EXPECT_EQ(ok("COMMIT"), "");
}

TEST_F(ServerSession, CommitItemsNeverPassTheReplyLimit) {
  loggedIn();
  ok("SET MESSAGE_LENGTH=300");
  ok("EXEC CREATE TABLE T (K INTEGER)");
  std::string batch;
  for (int i = 0; i < 40; ++i) batch += "INSERT INTO T VALUES (" + std::to_string(i) + ") ";
  ok(batch);
  std::string reply = client_->exchange("COMMIT");
  ASSERT_EQ(statusOf(reply), "0000");
  EXPECT_LE(reply.size(), 299u);
  std::string items = textOf(reply);
  ASSERT_EQ(items.size() % 11, 0u);
  EXPECT_EQ(items.size() / 11, (299u - 16u) / 11u);
  EXPECT_TRUE(items.ends_with("+000000040 ")) << items;  // the total, in the last item
}

TEST_F(ServerSession, SelectStreamsBlocksWithContinuationTags) {
  loggedIn();
  ok("SET MESSAGE_LENGTH=256");
  ok("EXEC CREATE TABLE R (K INTEGER, NAME TEXT, DATA BLOB)");
  std::string batch;
  for (int i = 1; i <= 200; ++i) {
    batch += "INSERT INTO R VALUES (" + std::to_string(i) + ",'N" + std::to_string(i) + "',NULL) ";
    if (i % 20 == 0) {
      ok(batch);
      batch.clear();
    }
  }
  ok("COMMIT");
  std::string reply = client_->exchange("SELECT K, NAME, DATA FROM R ORDER BY K");
  ASSERT_EQ(statusOf(reply), "0000") << reply;
  EXPECT_EQ(reply.substr(10, 8), "00000200");
  EXPECT_EQ(reply.substr(18, 5), "00007");  // widths 3 + 4 + 0
  std::size_t dot = reply.find('.');
  EXPECT_EQ(reply.substr(23, dot - 23), "K=N(3),NAME=A(4),DATA=B(0)");
  std::vector<std::string> rows =
      decodeRows(std::string_view(reply).substr(dot + 1, reply.size() - dot - 7), 7);
  int cont = 100;
  while (rows.size() < 200) {
    ASSERT_LE(reply.size(), 255u);
    std::string number = std::to_string(cont++);
    reply = client_->exchange("CONT=" + number);
    ASSERT_TRUE(reply.starts_with("LBX" + number.substr(0, 3))) << reply;
    std::vector<std::string> more = decodeRows(std::string_view(reply).substr(6, reply.size() - 12), 7);
    ASSERT_FALSE(more.empty());
    rows.insert(rows.end(), more.begin(), more.end());
  }
  ASSERT_EQ(rows.size(), 200u);
  EXPECT_EQ(rows[0], "  1N1  ");
  EXPECT_EQ(rows[199], "200N200");
  EXPECT_GT(cont, 104);
  // The result is used up: a further continuation is a failure headed LBX000.
  std::string after = client_->exchange("CONT=" + std::to_string(cont));
  EXPECT_TRUE(after.starts_with("LBX0000140")) << after;
}

// A result of 3,000 rows of mixed values, and every reply of reading it whole
// at a message length: the SELECT's, then each continuation's.
void makeRows(RawClient& client) {
  ASSERT_EQ(statusOf(client.exchange("EXEC CREATE TABLE W (K INTEGER, NAME CHAR(40), DATA BLOB)")), "0000");
  std::string batch;
  for (int i = 1; i <= 3000; ++i) {
    batch += "INSERT INTO W VALUES (" + std::to_string(i * 7919 % 100003 - 50000) + ",'NOME " +
             std::string(static_cast<std::size_t>(i % 31), 'X') + "'," + (i % 5 == 0 ? "NULL" : "x'00ff40'") +
             ") ";
    if (i % 100 == 0) {
      ASSERT_EQ(statusOf(client.exchange(batch)), "0000");
      batch.clear();
    }
  }
  ASSERT_EQ(statusOf(client.exchange("COMMIT")), "0000");
}

std::vector<std::string> readWhole(RawClient& client, int messageLength) {
  std::vector<std::string> replies;
  EXPECT_EQ(statusOf(client.exchange("SET MESSAGE_LENGTH=" + std::to_string(messageLength))), "0000");
  replies.push_back(client.exchange("SELECT * FROM W ORDER BY K"));
  const long long total = std::atoll(replies[0].substr(10, 8).c_str());
  const std::size_t rowLength = static_cast<std::size_t>(std::atoll(replies[0].substr(18, 5).c_str()));
  std::size_t dot = replies[0].find('.');
  long long rows = static_cast<long long>(
      decodeRows(std::string_view(replies[0]).substr(dot + 1, replies[0].size() - dot - 7), rowLength)
          .size());
  for (int cont = 100; rows < total && cont < 100000; ++cont) {
    replies.push_back(client.exchange("CONT=" + std::to_string(cont)));
    const std::string& reply = replies.back();
    std::vector<std::string> more =
        decodeRows(std::string_view(reply).substr(6, reply.size() - 12), rowLength);
    if (more.empty()) break;
    rows += static_cast<long long>(more.size());
  }
  EXPECT_EQ(rows, total);
  return replies;
}

TEST(ServerResults, RowsSteppedAheadArriveAsKeptRowsDo) {
  RunningServer keeping;
  RunningServer stepping([](ServerOptions& options) { options.settings.resultBudget = 0; });
  RawClient a(keeping.port()), b(stepping.port());
  ASSERT_EQ(statusOf(logIn(a)), "0000");
  ASSERT_EQ(statusOf(logIn(b)), "0000");
  makeRows(a);
  makeRows(b);
  for (int length : {300, 1901, 32000}) {
    SCOPED_TRACE(length);
    const std::vector<std::string> kept = readWhole(a, length);
    const std::vector<std::string> stepped = readWhole(b, length);
    EXPECT_GT(kept.size(), 2u);
    ASSERT_EQ(kept.size(), stepped.size());
    for (std::size_t i = 0; i < kept.size(); ++i) ASSERT_EQ(kept[i], stepped[i]) << "reply " << i;
  }
}

TEST(ServerResults, AnyOtherMessageStopsTheSteppingAheadAndIsServed) {
  RunningServer server([](ServerOptions& options) { options.settings.resultBudget = 0; });
  RawClient client(server.port());
  ASSERT_EQ(statusOf(logIn(client)), "0000");
  makeRows(client);
  ASSERT_EQ(statusOf(client.exchange("SET MESSAGE_LENGTH=300")), "0000");
  // While rows of the open result are stepped ahead: an update (which lets
  // the result go, as any message but a continuation does), its commit, a
  // query.
  ASSERT_EQ(statusOf(client.exchange("SELECT * FROM W ORDER BY K")), "0000");
  ASSERT_TRUE(client.exchange("CONT=100").starts_with("LBX100"));
  ASSERT_EQ(statusOf(client.exchange("INSERT INTO W VALUES (999999,'LAST',NULL)")), "0000");
  EXPECT_EQ(statusOf(client.exchange("CONT=101")), "0140");
  ASSERT_EQ(statusOf(client.exchange("SELECT * FROM W ORDER BY K")), "0000");
  ASSERT_TRUE(client.exchange("CONT=100").starts_with("LBX100"));
  EXPECT_EQ(textOf(client.exchange("COMMIT")), "0000000001 ");
  EXPECT_EQ(textOf(client.exchange("EXEC SELECT COUNT(*) FROM W")), "3001");
  // A client that leaves in the middle of a result leaves the server serving others.
  {
    RawClient leaving(server.port());
    ASSERT_EQ(statusOf(logIn(leaving)), "0000");
    ASSERT_EQ(statusOf(leaving.exchange("SELECT * FROM W")), "0000");
    ASSERT_TRUE(leaving.exchange("CONT=100").starts_with("LBX100"));
  }
  EXPECT_GT(readWhole(client, 1901).size(), 3u);
}

TEST_F(ServerSession, SelectHeadsAndFailures) {
  loggedIn();
  ok("EXEC CREATE TABLE E (A TEXT)");
  std::string empty = client_->exchange("SELECT A FROM E");
  EXPECT_EQ(empty, "LBX00000000000000000000A=A(0).LBXEOB");
  struct Case {
    const char* command;
    const char* status;
  };
  for (const Case& c : std::vector<Case>{{"SELECT * FROM NOWHERE", "2001"},
                                         {"SELECT 1; DELETE FROM E", "0121"},
                                         {"SELECT * FROM lumbra_server_users", "2023"},
                                         {"CONT=100", "0140"},
                                         {"CONT=1x0", "0141"},
                                         {"FROB 1", "0120"},
                                         {"ECT * FROM E", "0120"},
                                         {"EXEC BEGIN", "2023"},
                                         {"EXEC ATTACH '/tmp/x.db' AS X", "2023"},
                                         {"SET NOTHING=1", "0160"},
                                         {"SET MESSAGE_LENGTH=12", "0161"},
                                         {"GETSET NOTHING", "0160"},
                                         {"PARM 1X=2", "0170"}}) {
    std::string reply = client_->exchange(c.command);
    EXPECT_EQ(statusOf(reply), c.status) << c.command << " -> " << reply;
    EXPECT_TRUE(reply.starts_with("LBX000")) << c.command;
    EXPECT_FALSE(textOf(reply).empty()) << c.command;
  }
  EXPECT_EQ(ok(""), "");  // an empty command is answered
  // Texts are C strings on the client's side: a zero byte inside one is refused whole.
  EXPECT_EQ(statusOf(client_->exchange(std::string("EXEC SELECT 1\0; DROP TABLE E", 28))), "0100");
  EXPECT_EQ(ok("EXEC SELECT COUNT(*) FROM E"), "0");
}

TEST_F(ServerSession, RowsOfLengthZeroComeOnePerContinuation) {
  // The client reads a block as used up after a row of no bytes, and the
  // first block as empty, so each of these rows needs a continuation of its own.
  loggedIn();
  std::string reply = client_->exchange("SELECT NULL UNION ALL SELECT NULL");
  EXPECT_TRUE(reply.starts_with(std::string("LBX000") + "0000" + "00000002" + "00000")) << reply;
  EXPECT_TRUE(reply.ends_with(".LBXEOB")) << reply;
  EXPECT_EQ(client_->exchange("CONT=100"), "LBX100LBXEOB");
  EXPECT_EQ(client_->exchange("CONT=101"), "LBX101LBXEOB");
  EXPECT_EQ(statusOf(client_->exchange("CONT=102")), "0140");
}

TEST_F(ServerSession, BinaryInsertsInBothWireFormsKeepEveryByte) {
  loggedIn();
  ok("EXEC CREATE TABLE B (K INTEGER, DATA BLOB)");
  std::string data;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<char>(i));
  data += "LBXEOB";
  data += std::string(3, '\0');
  for (bool zero : {false, true}) {
    std::string prefix =
        zero ? "INSERT INTO B (K, DATA) VALUES (2, ?)=" : "INSERT INTO B (K, DATA) VALUES (1, =";
    client_->sendBytes(binaryInsert(prefix, data, zero));
    std::string reply = client_->receiveReply();
    EXPECT_EQ(statusOf(reply), "0000") << reply;
  }
  std::string items = ok("COMMIT");
  EXPECT_EQ(items, "0000000001 0000000001 ");
  EXPECT_EQ(
      ok("EXEC SELECT COUNT(*) FROM B WHERE DATA = (SELECT DATA FROM B WHERE K = 1) AND LENGTH(DATA) = 265"),
      "2");
  std::string reply = client_->exchange("SELECT DATA FROM B WHERE K = 2");
  ASSERT_EQ(statusOf(reply), "0000");
  EXPECT_EQ(reply.substr(18, 5), "00265");
  std::size_t dot = reply.find('.');
  std::vector<std::string> rows =
      decodeRows(std::string_view(reply).substr(dot + 1, reply.size() - dot - 7), 265);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], data);
  // A prefix that names no place for the data is refused with a clear text.
  client_->sendBytes(binaryInsert("INSERT INTO B (K, DATA) VALUES (3, 4)) WHERE=", "x", false));
  EXPECT_EQ(statusOf(client_->receiveReply()).substr(0, 2), "20");
}

TEST_F(ServerSession, SetGetsetAndParm) {
  loggedIn();
  EXPECT_EQ(ok("SET MESSAGE_LENGTH=1000"), ",ML=1000");
  EXPECT_EQ(ok("GETSET MESSAGE_LENGTH"), "1000");
  EXPECT_EQ(ok("SET BUSY_TIMEOUT 250"), "BUSY_TIMEOUT=250");
  ok("EXEC CREATE TABLE P (K INTEGER, S TEXT)");
  EXPECT_EQ(ok("PARM K=7"), "K=7");
  EXPECT_EQ(ok("PARM S='0042'"), "S='0042'");
  ok("INSERT INTO P VALUES (:K, :S) ");
  EXPECT_EQ(ok("EXEC SELECT K + 1, S, TYPEOF(S) FROM P WHERE K = :k"), "8,0042,text");
  EXPECT_EQ(ok("PARM"), "K=7;S='0042'");
  EXPECT_EQ(ok("PARM K"), "K");
  EXPECT_EQ(ok("EXEC SELECT COUNT(*) FROM P WHERE K = :K"), "0");  // unbound: NULL
  // A message longer than the session accepts is refused and the session goes on.
  std::string reply = client_->exchange("EXEC SELECT '" + std::string(5000, 'x') + "'");
  EXPECT_EQ(statusOf(reply), "0110");
  EXPECT_EQ(ok("GETSET VERSION"), "1.0.0");
  // After SET the replies fit the new size.
  EXPECT_LE(client_->exchange("EXEC SELECT '" + std::string(1500, 'y') + "'").size(), 999u);
}

TEST(ServerLimits, RunawayQueryIsInterruptedAndTheSessionGoesOn) {
  RunningServer server(kDefaultMessageLength, 300, 1);
  RawClient client(server.port());
  ASSERT_EQ(statusOf(logIn(client)), "0000");
  std::string reply = client.exchange(
      "SELECT COUNT(*) FROM (WITH RECURSIVE C(X) AS (SELECT 1 UNION ALL SELECT X + 1 FROM C) SELECT X FROM "
      "C)");
  EXPECT_EQ(statusOf(reply), "2009") << reply;  // SQLITE_INTERRUPT
  EXPECT_EQ(textOf(client.exchange("EXEC SELECT 1")), "1");
}

TEST_F(ServerSession, WriterWaitsForTheLockThenGivesUp) {
  loggedIn();
  ok("EXEC CREATE TABLE W (K INTEGER)");
  ok("COMMIT");
  ok("INSERT INTO W VALUES (1) ");  // holds the write lock
  RawClient other(server_.port());
  ASSERT_EQ(statusOf(logIn(other, "BOB", "HUNTER2")), "0000");
  std::string reply = other.exchange("INSERT INTO W VALUES (2) ");
  EXPECT_EQ(statusOf(reply), "2005") << reply;
  // Readers are not blocked, and see only committed rows.
  EXPECT_EQ(textOf(other.exchange("EXEC SELECT COUNT(*) FROM W")), "0");
  ok("COMMIT");
  EXPECT_EQ(statusOf(other.exchange("INSERT INTO W VALUES (2) COMMIT")), "0000");
}

}  // namespace
}  // namespace lumbra::server::testing
