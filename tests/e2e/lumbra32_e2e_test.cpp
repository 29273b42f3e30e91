// lumbra32 against the real lumbra-server: sessions, settings, batches, rows, errors, binary inserts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "client/lumbra32.h"
#include "tests/support/server_process.h"
#if LUMBRA_E2E_POSTGRES
#  include <unistd.h>

#  include "server/postgres/libpq.h"
#  include "tests/support/postgres_uri.h"
#endif

#ifndef LUMBRA_E2E_SERVER
#  error "LUMBRA_E2E_SERVER must name the server program"
#endif

namespace {

using suite_test::ServerProcess;

constexpr char kUser[] = "E2EUSER";
constexpr char kPassword[] = "SENHA1";
constexpr int kLoginMessageLength = 32000;  // what the server announces at login

// Room for any reply text or row of these tests (the largest message length is 1,000,000).
constexpr std::size_t kMessageRoom = 1100000;

std::string digits(long long value, std::size_t width) {
  std::string text = std::to_string(value);
  return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() < width ? text + std::string(width - text.size(), ' ') : text;
}

// An SQL string literal for `value`.
std::string literal(const std::string& value) {
  std::string out = "'";
  for (char c : value) {
    out.push_back(c);
    if (c == '\'') out.push_back('\'');
  }
  return out + "'";
}

// The five-digit row length at the head of a SELECT answer.
std::string lengthField(std::size_t length) {
  char field[16];
  std::snprintf(field, sizeof field, "%05zu", length);
  return field;
}

constexpr char kNoRowText[] = "LBX610 - NAO HA REGISTROS SELECIONADOS PARA LEITURA";
constexpr char kTooLongText[] = "LBX606 - TAMANHO DO COMANDO EXCEDIDO";

// The database the server of a test serves from.
enum class Engine { Sqlite, Postgres };

// What the SQL of the tests says differently on each engine.
struct Dialect {
  const char* blob;    // the type of a column of bytes
  const char* typeOf;  // the function that names a value's type, and the name it gives a blob
  const char* blobName;
  const char* emptyBlob;     // an expression of an empty blob
  const char* missingTable;  // the server's text for the table "nenhuma" that does not exist
};

const Dialect& dialect(Engine engine) {
  static const Dialect kSqlite{"BLOB", "typeof", "blob", "zeroblob(0)", "NO SUCH TABLE: NENHUMA"};
  static const Dialect kPostgres{"BYTEA", "pg_typeof", "bytea", "''::bytea",
                                 "RELATION \"NENHUMA\" DOES NOT EXIST"};
  return engine == Engine::Sqlite ? kSqlite : kPostgres;
}

#if LUMBRA_E2E_POSTGRES
// A schema of its own on the run's PostgreSQL, dropped with the object.
class Schema {
 public:
  explicit Schema(const std::string& owner) : owner_(owner) {
    static int counter = 0;
    name_ = "lumbra_e2e_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    run("DROP SCHEMA IF EXISTS " + name_ + " CASCADE; CREATE SCHEMA " + name_);
  }
  ~Schema() { run("DROP SCHEMA " + name_ + " CASCADE"); }
  std::string uri() const {
    return owner_ + (owner_.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + name_;
  }

 private:
  void run(const std::string& sql) {
    std::string error;
    lumbra::server::pg::Connection conn = lumbra::server::pg::connect(owner_, error);
    if (!conn) return;
    PQsetNoticeProcessor(
        conn.get(), [](void*, const char*) {}, nullptr);
    lumbra::server::pg::exec(conn.get(), sql);
  }
  std::string owner_;
  std::string name_;
};
#endif

class EndToEnd : public ::testing::Test {
 protected:
  virtual Engine engine() const { return Engine::Sqlite; }
  const Dialect& sql() const { return dialect(engine()); }

  void SetUp() override {
    message_.assign(kMessageRoom, '\x55');
    if (!suite_test::isExecutable(LUMBRA_E2E_SERVER)) {
      GTEST_SKIP() << "the reference server is not built: " << LUMBRA_E2E_SERVER;
    }
    if (engine() == Engine::Postgres) {
#if LUMBRA_E2E_POSTGRES
      std::string uri;
      LUMBRA_REQUIRE_POSTGRES(uri);
      schema_ = std::make_unique<Schema>(uri);
      server_.servePostgres(schema_->uri());
#else
      GTEST_SKIP() << "this build has no libpq for the PostgreSQL cases";
#endif
    }
    ASSERT_TRUE(server_.start(LUMBRA_E2E_SERVER, kUser, kPassword)) << server_.error();
  }

  void TearDown() override {
    std::vector<char> scratch(kMessageRoom);
    for (int32_t handle : open_) LBDisconn(handle, scratch.data());
    open_.clear();
    if (HasFailure() && server_.running()) std::printf("server log:\n%s\n", server_.log().c_str());
    server_.stop();
#if LUMBRA_E2E_POSTGRES
    schema_.reset();
#endif
  }

  char* msg() { return message_.data(); }
  std::string text() const { return std::string(message_.data()); }

  // LBConnect with the result's low 16 bits, as the host reads them.
  int32_t connect(const char* id = kUser, const char* first = kPassword, const char* second = "") {
    int32_t handle = static_cast<int16_t>(LBConnect(id, first, second, server_.address().c_str(), msg()));
    if (handle >= 0) open_.insert(handle);
    return handle;
  }

  int32_t disconnect(int32_t handle) {
    open_.erase(handle);
    return LBDisconn(handle, msg());
  }

  int32_t command(int32_t handle, const std::string& text) { return LBCommand(handle, text.c_str(), msg()); }

  struct Result {
    int32_t count = 0;  // LBCommand's result for the SELECT
    std::string head;   // its message: row length and column description
    std::vector<std::string> rows;
    int32_t end = 0;  // the LBGetNext result that ended the reading
    std::string endText;
  };

  // Runs a SELECT and reads rows until LBGetNext fails (at most count + 1 calls).
  Result select(int32_t handle, const std::string& sql) {
    Result result;
    result.count = command(handle, sql);
    result.head = text();
    if (result.count < 0) return result;
    for (int32_t i = 0; i <= result.count; ++i) {
      int32_t n = LBGetNext(handle, msg());
      if (n < 0) {
        result.end = n;
        result.endText = text();
        break;
      }
      if (msg()[n] != '\0') ADD_FAILURE() << "row " << i << " not terminated";
      result.rows.emplace_back(msg(), static_cast<std::size_t>(n));
    }
    return result;
  }

  // The longest command is the message length - 20 characters; one more is
  // refused before anything is sent, and the session goes on.
  void expectCommandBoundary(int32_t handle, int messageLength) {
    std::string longest = padded("SELECT 1", static_cast<std::size_t>(messageLength - 20));
    EXPECT_EQ(command(handle, longest), 1) << text();
    EXPECT_EQ(command(handle, longest + " "), -6);
    EXPECT_EQ(text(), kTooLongText);
    EXPECT_EQ(command(handle, "SELECT 2"), 1) << text();
  }

  ServerProcess server_;
  std::vector<char> message_;
  std::set<int32_t> open_;
#if LUMBRA_E2E_POSTGRES
  std::unique_ptr<Schema> schema_;
#endif
};

// The cases of the database's contract, on each engine.
class EngineEndToEnd : public EndToEnd, public ::testing::WithParamInterface<Engine> {
 protected:
  Engine engine() const override { return GetParam(); }
};

TEST_F(EndToEnd, ConnectsAndDisconnects) {
  int32_t handle = connect();
  ASSERT_EQ(handle, 0) << text();
  EXPECT_NE(text().find("SESSAO ABERTA PARA E2EUSER"), std::string::npos) << text();
  EXPECT_NE(text().find(",ML=32000"), std::string::npos) << text();

  EXPECT_EQ(command(handle, "SELECT 1"), 1) << text();
  EXPECT_EQ(disconnect(handle), 0) << text();
  EXPECT_EQ(text(), "SESSAO ENCERRADA");
  EXPECT_EQ(disconnect(handle), -13);
  EXPECT_EQ(command(handle, "SELECT 1"), -13);
  EXPECT_EQ(text(), "LBX613 - CONEXAO NAO INICIALIZADA");
}

TEST_F(EndToEnd, WrongCredentialsAreRefusedAndFreeTheSlot) {
  struct Case {
    const char* name;
    const char* id;
    const char* first;
  };
  const Case cases[] = {
      {"wrong password", kUser, "ERRADA"},
      {"empty password", kUser, ""},
      {"unknown user", "NINGUEM", kPassword},
      {"identification in another case", "e2euser", kPassword},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(connect(c.id, c.first), -102);
    EXPECT_EQ(text(), "USUARIO OU SENHA INVALIDOS");
  }
  // Every refusal released its slot: the next session is the first.
  EXPECT_EQ(connect(), 0) << text();
}

TEST_F(EndToEnd, SecondCredentialChangesThePassword) {
  int32_t handle = connect(kUser, kPassword, "NOVA22");
  ASSERT_GE(handle, 0) << text();
  EXPECT_NE(text().find("(SENHA ALTERADA)"), std::string::npos) << text();
  EXPECT_EQ(disconnect(handle), 0);

  struct Case {
    const char* first;
    int32_t expected;  // the handle, or the refusal
  };
  // Credentials travel upper-cased, so the case of the new password does not matter.
  const Case cases[] = {{kPassword, -102}, {"NOVA22", 0}, {"nova22", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first);
    int32_t result = connect(kUser, c.first);
    EXPECT_EQ(result, c.expected) << text();
    if (result >= 0) {
      EXPECT_EQ(disconnect(result), 0);
    }
  }
}

TEST_F(EndToEnd, ServerInformationThroughGetset) {
  int32_t handle = connect();
  ASSERT_GE(handle, 0) << text();

  // Answered locally (nothing is sent, so a pending batch stays pending) or by the server.
  ASSERT_EQ(command(handle, "EXEC CREATE TABLE t (k INTEGER)"), 1) << text();
  ASSERT_EQ(command(handle, "INSERT INTO t VALUES (1)"), 0) << text();
  EXPECT_EQ(command(handle, "GETSET CLIENTID"), 15);
  EXPECT_EQ(text(), "127.000.000.001");
  EXPECT_EQ(command(handle, "GETSET CLIENTID SERVERINFO"), 15);
  EXPECT_EQ(text(), "127.000.000.001");
  int32_t length = command(handle, "GETSET SERVERINFO");
  EXPECT_EQ(length, static_cast<int32_t>(text().size()));
  EXPECT_EQ(text().rfind("Vers\xE3o 1.0.0, Sistema Operacional ", 0), 0u) << text();
  EXPECT_NE(text().find("Monitor de Teleprocessamento  LMBR 1.0.0"), std::string::npos) << text();
  EXPECT_NE(text().find(", Comunica\xE7\xE3o TCP/IP IBM  1.0.0"), std::string::npos) << text();
  EXPECT_EQ(command(handle, "COMMIT"), 1) << "the INSERT was kept pending through the local answers";

  struct Case {
    const char* command;
    const char* answer;
  };
  const Case sent[] = {
      {"GETSET MESSAGE_LENGTH", "32000"},
      {"GETSET USER", kUser},
      {"GETSET TRANSACTION", "FECHADA"},
  };
  for (const Case& c : sent) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(command(handle, c.command), static_cast<int32_t>(std::strlen(c.answer)));
    EXPECT_EQ(text(), c.answer);
  }
  EXPECT_EQ(command(handle, "GETSET NO_SUCH_SETTING"), -160);
  EXPECT_EQ(text(), "PARAMETRO DE CONFIGURACAO DESCONHECIDO: NO_SUCH_SETTING");
}

TEST_F(EndToEnd, MessageLengthFromLoginAndSetBoundsCommandsAndBlocks) {
  int32_t handle = connect();
  ASSERT_GE(handle, 0) << text();
  {
    SCOPED_TRACE("announced at login");
    expectCommandBoundary(handle, kLoginMessageLength);
  }

  struct Case {
    int messageLength;
    int rows;  // 90-character texts behind a number: one block at 1,000,000, many below
  };
  // At 256 two rows fill a block, so the continuation numbers pass 999.
  const Case cases[] = {{256, 2200}, {1901, 2500}, {32000, 2500}, {1000000, 6000}};
  for (const Case& c : cases) {
    SCOPED_TRACE("message length " + std::to_string(c.messageLength));
    const std::string ml = std::to_string(c.messageLength);
    ASSERT_EQ(command(handle, "SET MESSAGE_LENGTH=" + ml), 0) << text();
    EXPECT_EQ(text(), ",ML=" + ml);
    expectCommandBoundary(handle, c.messageLength);

    Result result =
        select(handle,
               "SELECT i, printf('%-90s', 'linha ' || i || ' @ B LBX' || 'EOB') FROM (WITH RECURSIVE "
               "n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                   std::to_string(c.rows) + ") SELECT i FROM n)");
    ASSERT_EQ(result.count, c.rows) << result.head;
    const std::size_t numberWidth = std::to_string(c.rows).size();
    const std::size_t rowLength = numberWidth + 90;
    EXPECT_EQ(result.head.substr(0, 5), lengthField(rowLength));
    EXPECT_EQ(result.head.back(), '.');
    ASSERT_EQ(result.rows.size(), static_cast<std::size_t>(c.rows)) << result.endText;
    for (int i = 1; i <= c.rows; ++i) {
      std::string expected =
          digits(i, numberWidth) + padded("linha " + std::to_string(i) + " @ B LBXEOB", 90);
      ASSERT_EQ(result.rows[static_cast<std::size_t>(i - 1)], expected) << "row " << i;
    }
    EXPECT_EQ(result.end, -10);
    EXPECT_EQ(result.endText, kNoRowText);
  }
}

TEST_F(EndToEnd, RowWiderThanTheMessageNeedsALargerMessageLength) {
  int32_t handle = connect();
  ASSERT_GE(handle, 0) << text();
  // One row of 40,000 digits that no run shortens: wider than the 32,000 of the login.
  const std::string sql =
      "SELECT group_concat(printf('%05d', i), '') FROM "
      "(WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8000) SELECT i FROM n)";
  std::string expected;
  for (int i = 1; i <= 8000; ++i) {
    char field[8];
    std::snprintf(field, sizeof field, "%05d", i);
    expected += field;
  }

  Result narrow = select(handle, sql);
  EXPECT_EQ(narrow.count, 1) << narrow.head;
  EXPECT_TRUE(narrow.rows.empty());
  EXPECT_EQ(narrow.end, -150);
  EXPECT_EQ(narrow.endText.rfind("REGISTRO EXCEDE O TAMANHO DA MENSAGEM", 0), 0u) << narrow.endText;

  ASSERT_EQ(command(handle, "SET MESSAGE_LENGTH=100000"), 0) << text();
  Result wide = select(handle, sql);
  ASSERT_EQ(wide.count, 1) << wide.head;
  ASSERT_EQ(wide.rows.size(), 1u) << wide.endText;
  EXPECT_EQ(wide.rows[0], expected);
  EXPECT_EQ(wide.end, -10);
}

TEST_F(EndToEnd, FiveHundredSessionsThenTheNextIsRefused) {
  for (int32_t expected = 0; expected < 500; ++expected) {
    ASSERT_EQ(connect(), expected) << text();
  }
  EXPECT_EQ(connect(), -5);
  EXPECT_EQ(text(), "LBX605 - EXCESSO DE CONEXOES TCP/IP (500)");
  // Every session still talks to the server.
  EXPECT_EQ(command(0, "SELECT 1"), 1) << text();
  EXPECT_EQ(command(499, "SELECT 1"), 1) << text();
  for (int32_t handle = 0; handle < 500; ++handle) {
    ASSERT_EQ(disconnect(handle), 0) << "handle " << handle << ": " << text();
  }
  EXPECT_EQ(connect(), 0) << text();
}

// Values that exercise the run-length forms both ways: '@', runs of blanks and
// letters longer than one run, quotes (never part of a run), 'B' and the marker
// (which a command text cannot carry: the SQL joins it from two halves).
std::string valueFor(int i) {
  switch (i % 6) {
    case 0:
      return "simples " + std::to_string(i);
    case 1:
      return "arroba@" + std::to_string(i) + "@@";
    case 2:
      return "vao" + std::string(40, ' ') + "fim" + std::to_string(i);
    case 3:
      return std::string(static_cast<std::size_t>(4 + i % 70), 'Z');
    case 4:
      return "d'agua ''" + std::to_string(i) + "'";
    default:
      return "B LBXEOB " + std::to_string(i) + "    ";
  }
}

std::string sqlValueFor(int i) {
  std::string value = valueFor(i);
  std::size_t marker = value.find("LBXEOB");
  if (marker == std::string::npos) return literal(value);
  return literal(value.substr(0, marker + 3)) + " || " + literal(value.substr(marker + 3));
}

TEST_P(EngineEndToEnd, BatchedInsertsCommitAndEveryRowComesBack) {
  int32_t handle = connect();
  ASSERT_GE(handle, 0) << text();
  ASSERT_GE(command(handle, "EXEC CREATE TABLE t (k INTEGER PRIMARY KEY, v TEXT)"), 0) << text();

  // About 60 bytes each: the 32,000-byte buffer fills several times on the way.
  constexpr int kRows = 2500;
  std::size_t widest = 0;
  for (int i = 1; i <= kRows; ++i) {
    std::string value = valueFor(i);
    widest = std::max(widest, value.size());
    ASSERT_EQ(command(handle, "INSERT INTO t VALUES (" + std::to_string(i) + ", " + sqlValueFor(i) + ")"), 0)
        << "insert " << i << ": " << text();
    ASSERT_EQ(text(), "");
  }
  EXPECT_EQ(command(handle, "COMMIT"), kRows) << text().substr(0, 200);
  std::string items;
  for (int i = 0; i < kRows; ++i) items += "0000000001 ";
  EXPECT_EQ(text(), items);

  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE("pass " + std::to_string(pass));
    Result result = select(handle, "SELECT k, v FROM t ORDER BY k");
    ASSERT_EQ(result.count, kRows) << result.head;
    const std::size_t keyWidth = std::to_string(kRows).size();
    EXPECT_EQ(result.head.substr(0, 5), lengthField(keyWidth + widest));
    ASSERT_EQ(result.rows.size(), static_cast<std::size_t>(kRows)) << result.endText;
    for (int i = 1; i <= kRows; ++i) {
      ASSERT_EQ(result.rows[static_cast<std::size_t>(i - 1)],
                digits(i, keyWidth) + padded(valueFor(i), widest))
          << "row " << i;
    }
    EXPECT_EQ(result.end, -10);
    EXPECT_EQ(LBGetNext(handle, msg()), -10);
    EXPECT_EQ(text(), kNoRowText);
  }
}

TEST_P(EngineEndToEnd, RollbackDiscardsSentAndPendingBatches) {
  int32_t handle = connect();
  ASSERT_GE(handle, 0) << text();
  ASSERT_GE(command(handle, "EXEC CREATE TABLE t (k INTEGER, v TEXT)"), 0) << text();
  for (int i = 1; i <= 3; ++i) {
    ASSERT_EQ(command(handle, "INSERT INTO t VALUES (" + std::to_string(i) + ", 'kept')"), 0) << text();
  }
  ASSERT_EQ(command(handle, "COMMIT"), 3) << text();

  // Enough updates that full batches reach the server before the ROLLBACK.
  const std::string filler(200, 'x');
  for (int i = 100; i < 600; ++i) {
    ASSERT_EQ(command(handle, "INSERT INTO t VALUES (" + std::to_string(i) + ", '" + filler + "')"), 0)
        << text();
  }
  ASSERT_EQ(command(handle, "UPDATE t SET v = 'changed' WHERE k = 1"), 0) << text();
  ASSERT_EQ(command(handle, "DELETE FROM t WHERE k = 2"), 0) << text();
  EXPECT_EQ(command(handle, "ROLLBACK"), 0) << text();
  EXPECT_EQ(text(), "TRANSACAO DESFEITA");
  EXPECT_EQ(command(handle, "COMMIT"), 0) << "nothing is left to commit: " << text();

  Result result = select(handle, "SELECT k, v FROM t ORDER BY k");
  ASSERT_EQ(result.count, 3) << result.head;
  EXPECT_EQ(result.rows, (std::vector<std::string>{"1kept", "2kept", "3kept"}));
}

TEST_P(EngineEndToEnd, DisconnectWithoutCommitLosesTheUpdates) {
  int32_t handle = connect();
  ASSERT_GE(handle, 0) << text();
  ASSERT_GE(command(handle, "EXEC CREATE TABLE t (k INTEGER)"), 0) << text();
  ASSERT_EQ(command(handle, "COMMIT"), 0) << text();
  for (int i = 1; i <= 400; ++i) {
    ASSERT_EQ(command(handle, "INSERT INTO t VALUES (" + std::to_string(i) + ")"), 0) << text();
  }
  EXPECT_EQ(command(handle, "SELECT count(*) FROM t"), 1) << "the SELECT flushes the batch";
  ASSERT_EQ(LBGetNext(handle, msg()), 3);
  EXPECT_EQ(text(), "400");
  EXPECT_EQ(disconnect(handle), 0) << text();

  handle = connect();
  ASSERT_GE(handle, 0) << text();
  ASSERT_EQ(command(handle, "SELECT count(*) FROM t"), 1) << text();
  ASSERT_EQ(LBGetNext(handle, msg()), 1);
  EXPECT_EQ(text(), "0");
}

TEST_P(EngineEndToEnd, SqlErrorsGiveAFourDigitStatusWithTheServerText) {
  int32_t handle = connect();
  ASSERT_GE(handle, 0) << text();
  ASSERT_GE(command(handle, "EXEC CREATE TABLE t (k INTEGER PRIMARY KEY)"), 0) << text();
  ASSERT_EQ(command(handle, "INSERT INTO t VALUES (1)"), 0);
  ASSERT_EQ(command(handle, "COMMIT"), 1) << text();

  struct Case {
    const char* name;
    std::vector<std::string> commands;  // the last one fails
    int32_t status;
    const char* text;  // part of the server's text
  };
  const Case cases[] = {
      {"SELECT of a missing table", {"SELECT * FROM nenhuma"}, -2001, sql().missingTable},
      {"EXEC with a syntax error", {"EXEC CREATE TABLE ("}, -2001, "SYNTAX ERROR"},
      {"batch into a missing table, refused at COMMIT",
       {"INSERT INTO nenhuma VALUES (1)", "COMMIT"},
       -2001,
       "NA ATUALIZACAO 1 DO LOTE"},
      {"duplicate key in the second entry of a batch",
       {"INSERT INTO t VALUES (2)", "INSERT INTO t VALUES (1)", "COMMIT"},
       -2019,
       "UNIQUE"},
      {"batch refused before a SELECT", {"DELETE FROM nenhuma", "SELECT 1"}, -2001, sql().missingTable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::size_t i = 0; i + 1 < c.commands.size(); ++i) {
      ASSERT_GE(command(handle, c.commands[i]), 0) << text();
    }
    int32_t result = command(handle, c.commands.back());
    EXPECT_EQ(result, c.status) << text();
    EXPECT_LE(result, -1000);
    EXPECT_GE(result, -9999);
    EXPECT_EQ(text().rfind("ERRO SQL", 0), 0u) << text();
    EXPECT_NE(text().find(c.text), std::string::npos) << text();
    // The session goes on, and the failed updates left nothing behind.
    EXPECT_EQ(command(handle, "ROLLBACK"), 0) << text();
    Result rows = select(handle, "SELECT k FROM t ORDER BY k");
    EXPECT_EQ(rows.rows, std::vector<std::string>{"1"});
  }
}

TEST_P(EngineEndToEnd, RefusedBatchKeepsTheEarlierUpdatesOfTheTransaction) {
  int32_t handle = connect();
  ASSERT_GE(handle, 0) << text();
  ASSERT_GE(command(handle, "EXEC CREATE TABLE t (k INTEGER PRIMARY KEY)"), 0) << text();
  ASSERT_EQ(command(handle, "COMMIT"), 0) << text();

  ASSERT_EQ(command(handle, "INSERT INTO t VALUES (1)"), 0);
  ASSERT_EQ(command(handle, "SELECT k FROM t"), 1) << "the SELECT sends the batch: " << text();
  // A batch whose second entry fails is refused whole, COMMIT included.
  ASSERT_EQ(command(handle, "INSERT INTO t VALUES (2)"), 0);
  ASSERT_EQ(command(handle, "INSERT INTO t VALUES (1)"), 0);
  EXPECT_EQ(command(handle, "COMMIT"), -2019) << text();
  EXPECT_EQ(command(handle, "GETSET TRANSACTION"), 6) << text();
  EXPECT_EQ(text(), "ABERTA");
  // What came before the refused batch is still there to commit.
  EXPECT_EQ(command(handle, "COMMIT"), 1) << text();
  EXPECT_EQ(text(), "0000000001 ");
  Result rows = select(handle, "SELECT k FROM t ORDER BY k");
  EXPECT_EQ(rows.rows, std::vector<std::string>{"1"});
}

TEST_P(EngineEndToEnd, BinaryInsertRoundTripsEveryByte) {
  int32_t handle = connect();
  ASSERT_GE(handle, 0) << text();
  ASSERT_GE(command(handle, std::string("EXEC CREATE TABLE bin (k INTEGER, b ") + sql().blob + ")"), 0)
      << text();

  std::string everyByte;
  for (int i = 0; i < 256; ++i) everyByte.push_back(static_cast<char>(i));
  std::string mixed;
  std::uint32_t seed = 12345;
  for (int i = 0; i < 30000; ++i) {
    seed = seed * 1103515245u + 12345u;
    mixed.push_back(static_cast<char>(seed >> 24));
  }
  mixed.replace(100, 6, "LBXEOB");
  mixed.replace(5000, 300, std::string(300, '\xFF'));
  mixed.replace(9000, 2000, std::string(2000, '\0'));

  struct Case {
    const char* name;
    std::string data;
  };
  const Case cases[] = {
      {"every byte value", everyByte},
      {"only NUL bytes", std::string(1000, '\0')},
      {"NUL and 0xFF at both ends", std::string("\0\xFF@B\xFF\0", 6)},
      {"the marker and the escape", "LBXEOB@@LBXEOB'"},
      {"30,000 mixed bytes", mixed},
  };
  int key = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ++key;
    const std::string prefix = "INSERT INTO bin (k, b) VALUES (" + std::to_string(key) + ", =";
    std::vector<char> buffer(prefix.size() + c.data.size() + 16);
    std::memcpy(buffer.data(), prefix.c_str(), prefix.size() + 1);
    ASSERT_EQ(LBInsertBin(handle, buffer.data(), c.data.data(), static_cast<int32_t>(c.data.size())), 0);
    ASSERT_EQ(LBCommand(handle, buffer.data(), msg()), 0) << text();
    EXPECT_EQ(text(), "");
    ASSERT_EQ(command(handle, "COMMIT"), 1) << text();

    const std::string where = " FROM bin WHERE k = " + std::to_string(key);
    Result kind = select(handle, std::string("SELECT ") + sql().typeOf + "(b), length(b)" + where);
    ASSERT_EQ(kind.rows.size(), 1u) << kind.head << kind.endText;
    const std::string name = sql().blobName;
    EXPECT_EQ(kind.rows[0],
              name + digits(static_cast<long long>(c.data.size()), kind.rows[0].size() - name.size()));

    Result back = select(handle, "SELECT b" + where);
    ASSERT_EQ(back.count, 1) << back.head;
    ASSERT_EQ(back.rows.size(), 1u) << back.endText;
    ASSERT_EQ(back.rows[0].size(), c.data.size());
    EXPECT_TRUE(back.rows[0] == c.data) << "bytes differ";
    EXPECT_EQ(back.end, -10);
  }
  // No second send of a prepared buffer: the binary insert was consumed.
  Result all = select(handle, "SELECT count(*) FROM bin");
  EXPECT_EQ(all.rows, std::vector<std::string>{std::to_string(key)});
}

TEST_P(EngineEndToEnd, RowsOfLengthZeroAreDelivered) {
  int32_t handle = connect();
  ASSERT_GE(handle, 0) << text();
  struct Case {
    const char* name;
    std::string sql;
    int32_t rows;
  };
  const Case cases[] = {
      {"one empty text", "SELECT ''", 1},
      {"three NULLs", "SELECT NULL FROM (SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3) AS x", 3},
      {"an empty blob", std::string("SELECT ") + sql().emptyBlob, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result result = select(handle, c.sql);
    ASSERT_EQ(result.count, c.rows) << result.head;
    EXPECT_EQ(result.head.substr(0, 5), "00000");
    EXPECT_EQ(result.rows, std::vector<std::string>(static_cast<std::size_t>(c.rows), "")) << result.endText;
    EXPECT_EQ(result.end, -10) << result.endText;
  }
}

TEST_F(EndToEnd, CommandCarryingTheMarkerKeepsTheSessionInStep) {
  int32_t setup = connect();
  ASSERT_GE(setup, 0) << text();
  ASSERT_GE(command(setup, "EXEC CREATE TABLE t (v TEXT)"), 0) << text();
  ASSERT_EQ(command(setup, "COMMIT"), 0) << text();
  ASSERT_EQ(disconnect(setup), 0) << text();

  // A text holding "LBXEOB" on the wire would end the message early and leave
  // every later reply answering the wrong command: it is refused unsent, and
  // a batch pending in front of it stays pending.
  const char* const texts[] = {
      "SELECT 'LBXEOB'",
      "EXEC SELECT 'aLBXEOBb'",
      "INSERT INTO t VALUES ('LBXEOB')",
      // No marker in the text, but 22 B's become the run "@LB" on the wire.
      "INSERT INTO t VALUES ('BBBBBBBBBBBBBBBBBBBBBBXEOB')",
      // 58 B's: a full run of 36, then the 22 of "@LB".
      "DELETE FROM t WHERE v = 'BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBXEOB'",
  };
  for (const char* each : texts) {
    SCOPED_TRACE(each);
    int32_t handle = connect();
    ASSERT_GE(handle, 0) << text();
    ASSERT_EQ(command(handle, "INSERT INTO t VALUES ('antes')"), 0) << text();
    EXPECT_EQ(command(handle, each), -14);
    EXPECT_EQ(text(), "LBX614 - PARAMETROS INVALIDOS");
    EXPECT_EQ(command(handle, "COMMIT"), 1) << text();
    Result one = select(handle, "SELECT 7");
    EXPECT_EQ(one.count, 1) << one.head;
    EXPECT_EQ(one.rows, std::vector<std::string>{"7"});
    EXPECT_EQ(command(handle, "ROLLBACK"), 0) << text();
    EXPECT_EQ(text(), "TRANSACAO DESFEITA");
    disconnect(handle);
  }
  int32_t handle = connect();
  ASSERT_GE(handle, 0) << text();
  Result rows = select(handle, "SELECT v, count(*) FROM t GROUP BY v");
  EXPECT_EQ(rows.rows, std::vector<std::string>{"antes" + std::to_string(std::size(texts))});
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineEndToEnd, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         [](const ::testing::TestParamInfo<Engine>& info) {
                           return std::string(info.param == Engine::Sqlite ? "Sqlite" : "Postgres");
                         });

}  // namespace
