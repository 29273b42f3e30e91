// The server over loopback with raw bytes: greeting, login, commands, batches, rows, settings, errors.
//
// Every contract point of the database runs on both backends (BackendSession,
// parametrized by the engine); the PostgreSQL cases are skipped when the run
// has no PostgreSQL (LUMBRA_TEST_POSTGRES_URI_FILE unset).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ebcdic.h"
#include "tests/server/server_harness.h"
#include "tests/support/postgres_uri.h"

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

// What the SQL of the tests says differently on each engine.
struct Dialect {
  const char* blob;       // the type of a column of bytes
  const char* typeOf;     // the function that names a value's type
  bool foldsNames;        // unquoted names come back in lower case
  const char* attach;     // the status of EXEC ATTACH (a SQLite statement)
  const char* userTable;  // the status of reading the old table of users
};

const Dialect& dialect(Engine engine) {
  static const Dialect kSqlite{"BLOB", "TYPEOF", false, "2023", "2023"};
  static const Dialect kPostgres{"BYTEA", "PG_TYPEOF", true, "2001", "2001"};
  return engine == Engine::Sqlite ? kSqlite : kPostgres;
}

class BackendSession : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    if (GetParam() == Engine::Postgres) {
      std::string uri;
      LUMBRA_REQUIRE_POSTGRES(uri);
    }
    server_ = std::make_unique<RunningServer>(GetParam(), [this](ServerOptions& options) {
      options.settings.busyTimeoutMs = 300;
      adjust(options);
    });
    client_ = std::make_unique<RawClient>(server_->port());
    ASSERT_TRUE(client_->connected());
    ASSERT_EQ(statusOf(logIn(*client_)), "0000");
  }
  virtual void adjust(ServerOptions&) {}

  std::string ok(const std::string& text) { return ok(*client_, text); }
  static std::string ok(RawClient& client, const std::string& text) {
    std::string reply = client.exchange(text);
    EXPECT_EQ(statusOf(reply), "0000") << text << " -> " << reply;
    return textOf(reply);
  }
  const Dialect& sql() const { return dialect(GetParam()); }
  // A column name as the engine gives it back.
  std::string name(std::string text) const {
    if (sql().foldsNames) {
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
  }
  std::unique_ptr<RunningServer> server_;
  std::unique_ptr<RawClient> client_;
};

std::string caseName(const ::testing::TestParamInfo<Engine>& info) { return engineName(info.param); }

TEST_P(BackendSession, BatchesCommitCountsAndRollback) {
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
  EXPECT_EQ(statusOf(refused), "2019") << refused;  // a constraint
  EXPECT_NE(textOf(refused).find("ERRO SQL NA ATUALIZACAO 2 DO LOTE: "), std::string::npos) << refused;
  EXPECT_EQ(ok("EXEC SELECT COUNT(*) FROM T"), "1");
  // ROLLBACK drops what was not committed; a refusal inside the open
  // transaction keeps what came before it.
  ok("UPDATE T SET V='y' ");
  EXPECT_EQ(statusOf(client_->exchange("EXEC SELECT * FROM NOWHERE")), "2001");
  EXPECT_EQ(statusOf(client_->exchange("INSERT INTO T VALUES (3,'dup') ")), "2019");
  EXPECT_EQ(ok("EXEC SELECT V FROM T"), "y");
  EXPECT_EQ(ok("GETSET TRANSACTION"), "ABERTA");
  EXPECT_EQ(ok("GETSET UPDATES"), "1");
  EXPECT_EQ(ok("ROLLBACK"), "TRANSACAO DESFEITA");
  EXPECT_EQ(ok("GETSET TRANSACTION"), "FECHADA");
  EXPECT_EQ(ok("EXEC SELECT V FROM T"), "x");
  EXPECT_EQ(ok("COMMIT"), "");
  // An entry of several statements is one update; EXEC writes join the transaction uncounted.
  EXPECT_EQ(ok("INSERT INTO T VALUES (4,'a');INSERT INTO T VALUES (5,'b') "), "1");
  EXPECT_EQ(ok("EXEC UPDATE T SET V = 'c' WHERE K >= 4"), "2");
  EXPECT_EQ(ok("COMMIT"), "0000000002 ");
  EXPECT_EQ(ok("EXEC SELECT COUNT(*) FROM T WHERE V = 'c'"), "2");
}

TEST_P(BackendSession, CommitAndRollbackTakeNothingBehindThem) {
  ok("EXEC CREATE TABLE T (K INTEGER PRIMARY KEY, V TEXT)");
  ok("COMMIT");
  // Blanks and one ';' may follow the word; anything else is refused, and the
  // transaction stays as it was, its updates neither committed nor dropped.
  struct Case {
    const char* text;
    const char* status;
  };
  const Case cases[] = {
      {"COMMIT", "0000"},
      {"COMMIT;", "0000"},
      {"COMMIT ;  ", "0000"},
      {"ROLLBACK ;", "0000"},
      {"COMMIT SELECT * FROM T WHERE K = 40", "0123"},
      {"COMMIT;;", "0123"},
      {"COMMIT; SELECT 1", "0123"},
      {"COMMITTED", "0123"},
      {"ROLLBACK SELEC * FROM T", "0123"},
      {"INSERT INTO T VALUES (9,'z') COMMIT SELECT 1", "0123"},
  };
  int key = 0;
  for (const Case& c : cases) {
    ok("INSERT INTO T VALUES (" + std::to_string(++key) + ",'a') ");
    std::string reply = client_->exchange(c.text);
    EXPECT_EQ(statusOf(reply), c.status) << c.text << " -> " << reply;
    if (std::string(c.status) == "0000") continue;
    EXPECT_TRUE(textOf(reply).starts_with("TEXTO APOS COMMIT OU ROLLBACK: ")) << reply;
    EXPECT_EQ(ok("GETSET TRANSACTION"), "ABERTA") << c.text;
    ok("ROLLBACK");
  }
  // The batch in front of a refused COMMIT ran and waits in the transaction.
  ok("INSERT INTO T VALUES (20,'b') COMMIT ; ");
  EXPECT_EQ(statusOf(client_->exchange("INSERT INTO T VALUES (21,'c') COMMIT WORK")), "0123");
  EXPECT_EQ(ok("GETSET UPDATES"), "1");
  ok("ROLLBACK");
  EXPECT_EQ(ok("EXEC SELECT COUNT(*), MAX(K) FROM T"), "4,20");
}

TEST_P(BackendSession, ALongBatchIsAppliedOrRefusedWholeWhereverItFails) {
  ok("SET MESSAGE_LENGTH=200000");
  ok("EXEC CREATE TABLE L (K INTEGER PRIMARY KEY, V TEXT)");
  ok("COMMIT");
  // Updates of a batch, as many as several pipelines of PostgreSQL hold.
  auto batch = [](int from, int count, int failing, const std::string& failure) {
    std::string text;
    for (int i = 0; i < count; ++i) {
      text += i + 1 == failing
                  ? failure + " "
                  : "INSERT INTO L VALUES (" + std::to_string(from + i) + ",'v" + std::to_string(i) + "') ";
    }
    return text;
  };
  EXPECT_EQ(ok(batch(1, 700, 0, "")), "700");
  EXPECT_EQ(ok("UPDATE L SET V = 'w' WHERE K > 650 COMMIT").substr(0, 22), "0000000001 0000000001 ");
  EXPECT_EQ(ok("EXEC SELECT COUNT(*), SUM(K) FROM L WHERE V = 'w'"), "50,33775");
  struct Case {
    int failing;          // the update that fails (1-based)
    std::string failure;  // its text
    const char* status;
  } cases[] = {
      {600, "INSERT INTO L VALUES (5,'dup')", "2019"},
      {1, "INSERT INTO L VALUES (6,'dup')", "2019"},
      {300, "UPDATE L SET V = 'x'; SAVEPOINT S", "2023"},
      {700, "INSERT INTO NOWHERE VALUES (1)", "2001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    std::string refused = client_->exchange(batch(1000, 700, c.failing, c.failure));
    EXPECT_EQ(statusOf(refused), c.status) << refused.substr(0, 300);
    EXPECT_NE(textOf(refused).find("NA ATUALIZACAO " + std::to_string(c.failing) + " DO LOTE"),
              std::string::npos)
        << refused.substr(0, 300);
    EXPECT_EQ(ok("EXEC SELECT COUNT(*) FROM L"), "700");
  }
  EXPECT_EQ(ok("GETSET UPDATES"), "0");
  EXPECT_EQ(ok(batch(2000, 300, 0, "") + "COMMIT").size(), 300u * 11);
  EXPECT_EQ(ok("EXEC SELECT COUNT(*) FROM L"), "1000");
}

TEST_P(BackendSession, CommitItemsNeverPassTheReplyLimit) {
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

TEST_P(BackendSession, SelectStreamsBlocksWithContinuationTags) {
  ok("SET MESSAGE_LENGTH=256");
  ok(std::string("EXEC CREATE TABLE R (K INTEGER, NAME TEXT, DATA ") + sql().blob + ")");
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
  EXPECT_EQ(reply.substr(23, dot - 23),
            name("K") + "=N(3)," + name("NAME") + "=A(4)," + name("DATA") + "=B(0)");
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

TEST_P(BackendSession, SelectReadsOneSnapshotWhileOthersWrite) {
  ok("SET MESSAGE_LENGTH=256");
  ok("EXEC CREATE TABLE S (K INTEGER)");
  std::string batch;
  for (int i = 1; i <= 60; ++i) batch += "INSERT INTO S VALUES (" + std::to_string(i) + ") ";
  ok(batch + "COMMIT");
  std::string reply = client_->exchange("SELECT K FROM S ORDER BY K");
  ASSERT_EQ(reply.substr(10, 8), "00000060") << reply;
  std::size_t dot = reply.find('.');
  std::vector<std::string> rows =
      decodeRows(std::string_view(reply).substr(dot + 1, reply.size() - dot - 7), 2);
  // Another session changes the table between the blocks: the result stays as it was.
  RawClient other(server_->port());
  ASSERT_EQ(statusOf(logIn(other, "BOB", "HUNTER2")), "0000");
  ok(other, "DELETE FROM S WHERE K > 10 INSERT INTO S VALUES (99) COMMIT");
  for (int cont = 100; rows.size() < 60 && cont < 200; ++cont) {
    reply = client_->exchange("CONT=" + std::to_string(cont));
    ASSERT_TRUE(reply.starts_with("LBX" + std::to_string(cont))) << reply;
    std::vector<std::string> more = decodeRows(std::string_view(reply).substr(6, reply.size() - 12), 2);
    rows.insert(rows.end(), more.begin(), more.end());
  }
  ASSERT_EQ(rows.size(), 60u);
  EXPECT_EQ(rows.back(), "60");
  // The next query sees the change.
  EXPECT_EQ(ok("EXEC SELECT COUNT(*), MAX(K) FROM S"), "11,99");
}

TEST_P(BackendSession, ResultsBeyondTheKeptBudgetAreReadAgain) {
  // 600 rows of 60000 bytes pass the 32 MiB a result keeps: the rows after
  // the kept ones are read a second time, from the same snapshot.
  ok("SET MESSAGE_LENGTH=2000");
  ok("EXEC CREATE TABLE BIG (K INTEGER, V TEXT)");
  ok(GetParam() == Engine::Sqlite
         ? "EXEC WITH RECURSIVE C(I) AS (SELECT 1 UNION ALL SELECT I + 1 FROM C WHERE I < 600) "
           "INSERT INTO BIG SELECT I, HEX(ZEROBLOB(30000)) FROM C"
         : "EXEC INSERT INTO BIG SELECT I, REPEAT('00', 30000) FROM GENERATE_SERIES(1, 600) AS G(I)");
  ok("COMMIT");
  std::string reply = client_->exchange("SELECT K, V FROM BIG ORDER BY K");
  ASSERT_EQ(statusOf(reply), "0000") << reply.substr(0, 200);
  EXPECT_EQ(reply.substr(10, 13),
            "00000600"
            "60003");
  std::size_t dot = reply.find('.');
  std::vector<std::string> rows =
      decodeRows(std::string_view(reply).substr(dot + 1, reply.size() - dot - 7), 60003);
  ASSERT_LT(rows.size(), 100u);
  // The rows read again come from the same snapshot, whatever others commit meanwhile.
  RawClient other(server_->port());
  ASSERT_EQ(statusOf(logIn(other, "BOB", "HUNTER2")), "0000");
  ok(other, "DELETE FROM BIG WHERE K > 200 COMMIT");
  for (int cont = 100; rows.size() < 600 && cont < 1000; ++cont) {
    reply = client_->exchange("CONT=" + std::to_string(cont));
    ASSERT_TRUE(reply.starts_with("LBX" + std::to_string(cont))) << reply.substr(0, 200);
    std::vector<std::string> more = decodeRows(std::string_view(reply).substr(6, reply.size() - 12), 60003);
    ASSERT_FALSE(more.empty());
    rows.insert(rows.end(), more.begin(), more.end());
  }
  ASSERT_EQ(rows.size(), 600u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    char key[24];
    std::snprintf(key, sizeof key, "%3zu", i + 1);
    ASSERT_EQ(rows[i], key + std::string(60000, '0')) << i;
  }
}

// A result of 3,000 rows of mixed values, and every reply of reading it whole
// at a message length: the SELECT's, then each continuation's.
void makeRows(RawClient& client, Engine engine) {
  const bool sqlite = engine == Engine::Sqlite;
  ASSERT_EQ(statusOf(client.exchange(std::string("EXEC CREATE TABLE W (K INTEGER, NAME CHAR(40), DATA ") +
                                     dialect(engine).blob + ")")),
            "0000");
  std::string batch;
  for (int i = 1; i <= 3000; ++i) {
    batch += "INSERT INTO W VALUES (" + std::to_string(i * 7919 % 100003 - 50000) + ",'NOME " +
             std::string(static_cast<std::size_t>(i % 31), 'X') + "'," +
             (i % 5 == 0 ? "NULL"
              : sqlite   ? "x'00ff40'"
                         : "'\\x00ff40'") +
             ") ";
    if (i % 100 == 0) {
      ASSERT_EQ(statusOf(client.exchange(batch)), "0000") << batch.substr(0, 200);
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

// Servers that keep no rows of a result (neither in memory nor in a scratch
// file): every row after the first block is stepped ahead while the blocks
// before it travel.
class SteppedAhead : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    if (GetParam() == Engine::Postgres) {
      std::string uri;
      LUMBRA_REQUIRE_POSTGRES(uri);
    }
  }
  std::unique_ptr<RunningServer> start(std::size_t resultBudget) {
    return std::make_unique<RunningServer>(GetParam(), [resultBudget](ServerOptions& options) {
      options.settings.resultBudget = resultBudget;
      if (resultBudget == 0) options.settings.resultFileBudget = 0;
    });
  }
};

TEST_P(SteppedAhead, RowsSteppedAheadArriveAsKeptRowsDo) {
  std::unique_ptr<RunningServer> keeping = start(kResultBudget), stepping = start(0);
  RawClient a(keeping->port()), b(stepping->port());
  ASSERT_EQ(statusOf(logIn(a)), "0000");
  ASSERT_EQ(statusOf(logIn(b)), "0000");
  makeRows(a, GetParam());
  makeRows(b, GetParam());
  for (int length : {300, 1901, 32000}) {
    SCOPED_TRACE(length);
    const std::vector<std::string> kept = readWhole(a, length);
    const std::vector<std::string> stepped = readWhole(b, length);
    EXPECT_GT(kept.size(), 2u);
    ASSERT_EQ(kept.size(), stepped.size());
    for (std::size_t i = 0; i < kept.size(); ++i) ASSERT_EQ(kept[i], stepped[i]) << "reply " << i;
  }
}

TEST_P(SteppedAhead, AnyOtherMessageStopsTheSteppingAheadAndIsServed) {
  std::unique_ptr<RunningServer> server = start(0);
  RawClient client(server->port());
  ASSERT_EQ(statusOf(logIn(client)), "0000");
  makeRows(client, GetParam());
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
    RawClient leaving(server->port());
    ASSERT_EQ(statusOf(logIn(leaving)), "0000");
    ASSERT_EQ(statusOf(leaving.exchange("SELECT * FROM W")), "0000");
    ASSERT_TRUE(leaving.exchange("CONT=100").starts_with("LBX100"));
  }
  EXPECT_GT(readWhole(client, 1901).size(), 3u);
}

TEST_P(BackendSession, SelectHeadsAndFailures) {
  ok("EXEC CREATE TABLE E (A TEXT)");
  std::string empty = client_->exchange("SELECT A FROM E");
  EXPECT_EQ(empty, "LBX00000000000000000000" + name("A") + "=A(0).LBXEOB");
  struct Case {
    const char* command;
    const char* status;
  };
  for (const Case& c : std::vector<Case>{{"SELECT * FROM NOWHERE", "2001"},
                                         {"SELECT 1; DELETE FROM E", "0121"},
                                         {"SELECT * FROM lumbra_server_users", sql().userTable},
                                         {"CONT=100", "0140"},
                                         {"CONT=1x0", "0141"},
                                         {"FROB 1", "0120"},
                                         {"ECT * FROM E", "0120"},
                                         {"EXEC BEGIN", "2023"},
                                         {"EXEC SAVEPOINT X", "2023"},
                                         {"EXEC SELECT 1; COMMIT", "2023"},
                                         {"EXEC ATTACH '/tmp/x.db' AS X", sql().attach},
                                         {"SET NOTHING=1", "0160"},
                                         {"SET MESSAGE_LENGTH=12", "0161"},
                                         {"GETSET NOTHING", "0160"},
                                         {"PARM 1X=2", "0170"}}) {
    std::string reply = client_->exchange(c.command);
    EXPECT_EQ(statusOf(reply), c.status) << c.command << " -> " << reply;
    EXPECT_TRUE(reply.starts_with("LBX000")) << c.command;
    EXPECT_FALSE(textOf(reply).empty()) << c.command;
  }
  // Transaction statements in session SQL are refused alike.
  EXPECT_EQ(textOf(client_->exchange("EXEC ROLLBACK")), "ERRO SQL NO EXEC: NOT AUTHORIZED");
  EXPECT_EQ(ok(""), "");  // an empty command is answered
  // Texts are C strings on the client's side: a zero byte inside one is refused whole.
  EXPECT_EQ(statusOf(client_->exchange(std::string("EXEC SELECT 1\0; DROP TABLE E", 28))), "0100");
  EXPECT_EQ(ok("EXEC SELECT COUNT(*) FROM E"), "0");
  // A text of several statements runs them one by one; the last rows answer.
  EXPECT_EQ(ok("EXEC INSERT INTO E VALUES ('a'); INSERT INTO E VALUES ('b;c'); SELECT COUNT(*) FROM E"), "2");
  EXPECT_EQ(ok("EXEC SELECT A FROM E WHERE A LIKE '%;%'"), "b;c");
}

TEST_P(BackendSession, CharColumnsComePaddedFromPostgres) {
  ok("EXEC CREATE TABLE C (K INTEGER, V CHAR(5), W VARCHAR(5))");
  ok("INSERT INTO C VALUES (7, 'ab', 'cd') ");
  std::string reply = client_->exchange("SELECT K, V, W FROM C");
  ASSERT_EQ(statusOf(reply), "0000") << reply;
  // SQLite keeps the value as written; PostgreSQL pads CHAR(n) to n characters.
  const std::string row = GetParam() == Engine::Sqlite ? "7abcd" : "7ab   cd";
  EXPECT_EQ(reply.substr(18, 5), "0000" + std::to_string(row.size()));
  EXPECT_TRUE(reply.ends_with("." + row + "LBXEOB")) << reply;
}

TEST_P(BackendSession, TextsKeepTheirWindows1252Bytes) {
  ok("EXEC CREATE TABLE X (V TEXT)");
  const std::string text = "S\xC3O JO\xC3O \xE1\xE7\xFA \x80\x9C";  // accents, the euro sign, a quote
  ok("INSERT INTO X VALUES ('" + text + "') COMMIT");
  std::string reply = client_->exchange("SELECT V FROM X");
  ASSERT_EQ(statusOf(reply), "0000") << reply;
  EXPECT_EQ(reply.substr(18, 5), "000" + std::to_string(text.size()));
  EXPECT_TRUE(reply.ends_with("." + text + "LBXEOB")) << reply;
}

TEST_P(BackendSession, RowsOfLengthZeroComeOnePerContinuation) {
  // The client reads a block as used up after a row of no bytes, and the
  // first block as empty, so each of these rows needs a continuation of its own.
  std::string reply = client_->exchange("SELECT NULL UNION ALL SELECT NULL");
  EXPECT_TRUE(reply.starts_with(std::string("LBX000") + "0000" + "00000002" + "00000")) << reply;
  EXPECT_TRUE(reply.ends_with(".LBXEOB")) << reply;
  EXPECT_EQ(client_->exchange("CONT=100"), "LBX100LBXEOB");
  EXPECT_EQ(client_->exchange("CONT=101"), "LBX101LBXEOB");
  EXPECT_EQ(statusOf(client_->exchange("CONT=102")), "0140");
}

TEST_P(BackendSession, BinaryInsertsInBothWireFormsKeepEveryByte) {
  ok(std::string("EXEC CREATE TABLE B (K INTEGER, DATA ") + sql().blob + ")");
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
  EXPECT_EQ(reply.substr(23, dot - 23), name("DATA") + "=B(265)");
  std::vector<std::string> rows =
      decodeRows(std::string_view(reply).substr(dot + 1, reply.size() - dot - 7), 265);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], data);
  // A prefix that names no place for the data is refused with a clear text;
  // a failing insert leaves the transaction's earlier work in place.
  ok("INSERT INTO B (K) VALUES (3) ");
  client_->sendBytes(binaryInsert("INSERT INTO B (K, DATA) VALUES (3, 4)) WHERE=", "x", false));
  EXPECT_EQ(statusOf(client_->receiveReply()).substr(0, 2), "20");
  client_->sendBytes(binaryInsert("INSERT INTO NOWHERE (DATA) VALUES (?)=", "x", false));
  EXPECT_EQ(statusOf(client_->receiveReply()), "2001");
  EXPECT_EQ(ok("COMMIT"), "0000000001 ");
  EXPECT_EQ(ok("EXEC SELECT COUNT(*) FROM B"), "3");
}

TEST_P(BackendSession, SetGetsetAndParm) {
  EXPECT_EQ(ok("SET MESSAGE_LENGTH=1000"), ",ML=1000");
  EXPECT_EQ(ok("GETSET MESSAGE_LENGTH"), "1000");
  EXPECT_EQ(ok("SET BUSY_TIMEOUT 250"), "BUSY_TIMEOUT=250");
  EXPECT_EQ(ok("GETSET BUSY_TIMEOUT"), "250");
  ok("EXEC CREATE TABLE P (K INTEGER, S TEXT, R NUMERIC)");
  EXPECT_EQ(ok("PARM K=7"), "K=7");
  EXPECT_EQ(ok("PARM S='0042'"), "S='0042'");
  EXPECT_EQ(ok("PARM R=2.5"), "R=2.5");
  ok("INSERT INTO P VALUES (:K, :S, :R) ");
  EXPECT_EQ(ok(std::string("EXEC SELECT K + 1, S, ") + sql().typeOf + "(S), R * 2 FROM P WHERE K = :k"),
            "8,0042,text,5.0");
  // PARM values bind in SELECT too, and inside a literal ':K' is no parameter.
  std::string reply = client_->exchange("SELECT S, ':K' FROM P WHERE K = :K");
  ASSERT_EQ(statusOf(reply), "0000") << reply;
  EXPECT_EQ(reply.substr(10, 8), "00000001");
  EXPECT_TRUE(
      reply.ends_with("0042:K"
                      "LBXEOB"))
      << reply;
  EXPECT_EQ(ok("PARM"), "K=7;R=2.5;S='0042'");
  EXPECT_EQ(ok("PARM K"), "K");
  EXPECT_EQ(ok("EXEC SELECT COUNT(*) FROM P WHERE K = :K"), "0");  // unbound: NULL
  // A message longer than the session accepts is refused and the session goes on.
  reply = client_->exchange("EXEC SELECT '" + std::string(5000, 'x') + "'");
  EXPECT_EQ(statusOf(reply), "0110");
  EXPECT_EQ(ok("GETSET VERSION"), "1.0.0");
  // After SET the replies fit the new size.
  EXPECT_LE(client_->exchange("EXEC SELECT '" + std::string(1500, 'y') + "'").size(), 999u);
}

class BackendLimits : public BackendSession {
  void adjust(ServerOptions& options) override {
    options.settings.statementTimeout = std::chrono::seconds(1);
  }
};

TEST_P(BackendLimits, RunawayQueryIsInterruptedAndTheSessionGoesOn) {
  ok("EXEC CREATE TABLE T (K INTEGER)");
  ok("INSERT INTO T VALUES (1) ");
  const char* runaway =
      "SELECT COUNT(*) FROM "
      "(WITH RECURSIVE C(X) AS (SELECT 1 UNION ALL SELECT X + 1 FROM C) SELECT X FROM C) AS Y";
  std::string reply = client_->exchange(runaway);
  EXPECT_EQ(reply, "LBX0002009ERRO SQL: INTERRUPTEDLBXEOB");
  // The same inside EXEC; the transaction and its update stay.
  reply = client_->exchange(std::string("EXEC ") + runaway);
  EXPECT_EQ(reply, "LBX0002009ERRO SQL NO EXEC: INTERRUPTEDLBXEOB");
  EXPECT_EQ(ok("EXEC SELECT 1"), "1");
  EXPECT_EQ(ok("COMMIT"), "0000000001 ");
}

TEST_P(BackendSession, WriterWaitsForTheLockThenGivesUp) {
  ok("EXEC CREATE TABLE W (K INTEGER)");
  ok("INSERT INTO W VALUES (1) COMMIT");
  ok("UPDATE W SET K = 5 WHERE K = 1 ");  // holds the lock (the row's, or the database's)
  RawClient other(server_->port());
  ASSERT_EQ(statusOf(logIn(other, "BOB", "HUNTER2")), "0000");
  std::string reply = other.exchange("UPDATE W SET K = 6 WHERE K = 1 ");
  EXPECT_EQ(reply, "LBX0002005BANCO DE DADOS OCUPADO POR OUTRA SESSAOLBXEOB");
  EXPECT_EQ(textOf(other.exchange("GETSET TRANSACTION")), "FECHADA");
  // Readers are not blocked, and see only committed rows.
  EXPECT_EQ(textOf(other.exchange("EXEC SELECT COUNT(*) FROM W WHERE K = 1")), "1");
  ok("COMMIT");
  EXPECT_EQ(statusOf(other.exchange("UPDATE W SET K = 6 WHERE K = 5 COMMIT")), "0000");
  EXPECT_EQ(ok("EXEC SELECT K FROM W"), "6");
}

TEST(PostgresPool, IdleSessionsHoldNoConnectionAndAFullPoolIsWaitedFor) {
  std::string uri;
  LUMBRA_REQUIRE_POSTGRES(uri);
  RunningServer server(Engine::Postgres, [](ServerOptions& options) {
    options.poolSize = 2;
    options.settings.busyTimeoutMs = 300;
  });
  auto connections = [&] {
    return server.schema()->query("SELECT COUNT(*) FROM pg_stat_activity WHERE " +
                                  server.schema()->ownConnections());
  };
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 30; ++i) {
    clients.push_back(std::make_unique<RawClient>(server.port()));
    ASSERT_EQ(statusOf(logIn(*clients.back())), "0000");
  }
  RawClient& a = *clients[0];
  RawClient& b = *clients[1];
  RawClient& c = *clients[2];
  EXPECT_EQ(statusOf(a.exchange("EXEC CREATE TABLE T (K INTEGER)")), "0000");
  EXPECT_EQ(statusOf(a.exchange("COMMIT")), "0000");
  for (auto& client : clients) EXPECT_EQ(textOf(client->exchange("EXEC SELECT COUNT(*) FROM T")), "0");
  // Thirty sessions took turns on two connections (the owner's query is a third).
  EXPECT_LE(std::stoi(connections()), 3);
  // Open transactions hold theirs: with both taken, a third session waits its
  // busy timeout and is refused as for a lock, then goes on once one is free.
  EXPECT_EQ(statusOf(a.exchange("INSERT INTO T VALUES (1) ")), "0000");
  EXPECT_EQ(statusOf(b.exchange("INSERT INTO T VALUES (2) ")), "0000");
  EXPECT_EQ(c.exchange("EXEC SELECT COUNT(*) FROM T"),
            "LBX0002005BANCO DE DADOS OCUPADO POR OUTRA SESSAOLBXEOB");
  EXPECT_EQ(statusOf(a.exchange("COMMIT")), "0000");
  EXPECT_EQ(textOf(c.exchange("EXEC SELECT COUNT(*) FROM T")), "1");
  // A result held in memory whole holds no connection while its blocks are read.
  EXPECT_EQ(statusOf(c.exchange("INSERT INTO T VALUES (2) COMMIT")), "0000");
  ASSERT_EQ(statusOf(a.exchange("SET MESSAGE_LENGTH=256")), "0000");
  ASSERT_EQ(statusOf(a.exchange("INSERT INTO T SELECT G FROM GENERATE_SERIES(10, 200) AS G COMMIT")), "0000");
  std::string first = a.exchange("SELECT K FROM T ORDER BY K");
  ASSERT_EQ(first.substr(10, 8), "00000193") << first;
  EXPECT_EQ(statusOf(b.exchange("INSERT INTO T VALUES (5) ")), "0000");  // one connection taken
  EXPECT_EQ(textOf(c.exchange("EXEC SELECT COUNT(*) FROM T")), "193");   // the other one free
  EXPECT_TRUE(a.exchange("CONT=100").starts_with("LBX100"));
  EXPECT_EQ(statusOf(b.exchange("ROLLBACK")), "0000");
  EXPECT_EQ(statusOf(a.exchange("EXEC DELETE FROM T WHERE K <> 1 AND K <> 2")), "0000");
  EXPECT_EQ(statusOf(a.exchange("COMMIT")), "0000");
  // A session that goes away gives back its connection with its transaction rolled back.
  b.close();
  for (int i = 0; i < 100 && textOf(c.exchange("INSERT INTO T VALUES (3) COMMIT")) != "0000000001 "; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(textOf(c.exchange("EXEC SELECT SUM(K) FROM T")), "6");
}

TEST(PostgresPool, WhatASessionLeavesOnAConnectionGoesWithIt) {
  std::string uri;
  LUMBRA_REQUIRE_POSTGRES(uri);
  RunningServer server(Engine::Postgres, [](ServerOptions& options) { options.poolSize = 1; });
  RawClient a(server.port());
  RawClient b(server.port());
  ASSERT_EQ(statusOf(logIn(a)), "0000");
  ASSERT_EQ(statusOf(logIn(b, "BOB", "HUNTER2")), "0000");
  // One connection for both: a temporary table of A's is gone once A gives it back.
  EXPECT_EQ(statusOf(a.exchange("EXEC CREATE TEMP TABLE MINE (K INTEGER)")), "0000");
  EXPECT_EQ(statusOf(a.exchange("EXEC SELECT COUNT(*) FROM MINE")), "0000");
  EXPECT_EQ(statusOf(a.exchange("COMMIT")), "0000");
  EXPECT_EQ(statusOf(b.exchange("EXEC SELECT COUNT(*) FROM MINE")), "2001");
  // Settings are the server's: no SET, nor the same by set_config.
  for (const char* command : {"EXEC SET work_mem = '123kB'", "EXEC RESET ALL",
                              "EXEC SELECT set_config('default_transaction_read_only', 'off', false)",
                              "SELECT SET_CONFIG('statement_timeout', '0', false)"}) {
    EXPECT_EQ(a.exchange(command), std::string("LBX0002023ERRO SQL") + (command[0] == 'E' ? " NO EXEC" : "") +
                                       ": NOT AUTHORIZEDLBXEOB")
        << command;
  }
  // Session SQL cannot write outside the server's transaction, nor end it.
  EXPECT_EQ(statusOf(b.exchange("EXEC CREATE TABLE T (K INTEGER)")), "0000");
  EXPECT_EQ(statusOf(b.exchange("COMMIT")), "0000");
  EXPECT_EQ(statusOf(b.exchange("EXEC SELECT 1 FROM T; END")), "2023");
  EXPECT_EQ(statusOf(b.exchange("EXEC SET default_transaction_read_only = off")), "2023");
  EXPECT_EQ(textOf(b.exchange("EXEC WITH N AS (INSERT INTO T VALUES (1) RETURNING K) SELECT K FROM N")), "1");
  EXPECT_EQ(textOf(b.exchange("GETSET TRANSACTION")), "ABERTA");
  EXPECT_EQ(statusOf(b.exchange("ROLLBACK")), "0000");
  EXPECT_EQ(textOf(a.exchange("EXEC SELECT COUNT(*) FROM T")), "0");
}

TEST(PostgresPool, AHeldResultGivesItsConnectionBackAfterTheHold) {
  std::string uri;
  LUMBRA_REQUIRE_POSTGRES(uri);
  RunningServer server(Engine::Postgres, [](ServerOptions& options) {
    options.poolSize = 1;
    options.settings.busyTimeoutMs = 200;
    options.settings.resultHold = std::chrono::seconds(1);
    options.settings.resultFileBudget = 0;  // no scratch file: the rows beyond memory stay on the connection
  });
  RawClient reader(server.port());
  RawClient other(server.port());
  ASSERT_EQ(statusOf(logIn(reader)), "0000");
  ASSERT_EQ(statusOf(logIn(other, "BOB", "HUNTER2")), "0000");
  // More than a result keeps in memory: its rows stay open on the connection.
  ASSERT_EQ(statusOf(reader.exchange("SET MESSAGE_LENGTH=20000")), "0000");
  ASSERT_EQ(statusOf(reader.exchange("EXEC CREATE TABLE BIG AS SELECT I AS K, REPEAT('x', 60000) AS V "
                                     "FROM GENERATE_SERIES(1, 600) AS G(I)")),
            "0000");
  ASSERT_EQ(statusOf(reader.exchange("COMMIT")), "0000");
  std::string first = reader.exchange("SELECT K, V FROM BIG");
  ASSERT_EQ(first.substr(0, 23),
            "LBX0000000"
            "00000600"
            "60003")
      << first.substr(0, 100);
  EXPECT_EQ(statusOf(other.exchange("EXEC SELECT 1")), "2005");
  std::string reply;
  for (int i = 0; i < 40 && statusOf(reply) != "0000"; ++i) reply = other.exchange("EXEC SELECT 1");
  EXPECT_EQ(reply,
            "LBX0000000"
            "1LBXEOB");
  EXPECT_EQ(reader.exchange("CONT=100"),
            "LBX0000140NAO HA CONSULTA ABERTA: RESULTADO LIBERADO APOS 1 SLBXEOB");
}

TEST(PostgresPool, WaitsForRowLocksHoldNoSqlThread) {
  std::string uri;
  LUMBRA_REQUIRE_POSTGRES(uri);
  RunningServer server(Engine::Postgres, [](ServerOptions& options) {
    options.sqlThreads = 2;
    options.settings.busyTimeoutMs = 3000;
  });
  std::vector<std::unique_ptr<RawClient>> clients;
  for (const char* id : {"ALICE", "BOB", "ALICE", "BOB"}) {
    clients.push_back(std::make_unique<RawClient>(server.port()));
    ASSERT_EQ(statusOf(logIn(*clients.back(), id, id[0] == 'A' ? "SECRET" : "HUNTER2")), "0000");
  }
  RawClient& holder = *clients[0];
  ASSERT_EQ(statusOf(holder.exchange("EXEC CREATE TABLE W (K INTEGER, V INTEGER)")), "0000");
  ASSERT_EQ(statusOf(holder.exchange("INSERT INTO W VALUES (1, 0) INSERT INTO W VALUES (2, 0) COMMIT")),
            "0000");
  ASSERT_EQ(statusOf(holder.exchange("UPDATE W SET V = 1 ")), "0000");  // locks both rows
  // Two sessions wait for a row each, as many as there are SQL threads ...
  clients[1]->sendMessage("UPDATE W SET V = 2 WHERE K = 1 COMMIT");
  clients[2]->sendMessage("UPDATE W SET V = 3 WHERE K = 2 COMMIT");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // ... and a third is served meanwhile; once the rows are free both get them.
  EXPECT_EQ(textOf(clients[3]->exchange("EXEC SELECT SUM(V) FROM W")), "0");
  EXPECT_EQ(statusOf(holder.exchange("COMMIT")), "0000");
  EXPECT_EQ(statusOf(clients[1]->receiveReply()), "0000");
  EXPECT_EQ(statusOf(clients[2]->receiveReply()), "0000");
  EXPECT_EQ(textOf(clients[3]->exchange("EXEC SELECT SUM(V) FROM W")), "5");
}

TEST(PostgresPool, StoppingTheServerCancelsTheSqlItRuns) {
  std::string uri;
  LUMBRA_REQUIRE_POSTGRES(uri);
  auto server = std::make_unique<RunningServer>(Engine::Postgres, [](ServerOptions& options) {
    options.settings.statementTimeout = std::chrono::seconds(0);
  });
  const PostgresSchema& schema = *server->schema();
  RawClient client(server->port());
  ASSERT_EQ(statusOf(logIn(client)), "0000");
  client.sendMessage("SELECT COUNT(*) FROM GENERATE_SERIES(1, 1000000000000)");
  // The count runs in the cursor's first FETCH; the statements before it
  // (BEGIN, DECLARE) are active only for a moment.
  const std::string running =
      "SELECT COUNT(*) FROM pg_stat_activity WHERE state = 'active' AND pid <> pg_backend_pid() AND "
      "backend_type = 'client backend' AND query LIKE 'FETCH%' AND " + schema.ownConnections();
  for (int i = 0; i < 250 && schema.query(running) != "1"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(schema.query(running), "1");
  // Without the cancel the stop would wait for the query's end, hours away.
  server->server().stop();
  for (int i = 0; i < 500 && schema.query(running) != "0"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(schema.query(running), "0");
  server.reset();
}

INSTANTIATE_TEST_SUITE_P(Engines, BackendSession, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         caseName);
INSTANTIATE_TEST_SUITE_P(Engines, SteppedAhead, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         caseName);
INSTANTIATE_TEST_SUITE_P(Engines, BackendLimits, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         caseName);

}  // namespace
}  // namespace lumbra::server::testing
