// The shell's session logic against a scripted client: what it sends, what it
// prints for rows, counts and failures, and the buffers it hands the client.
#include "tools/lumbra/shell.h"
#include "tools/lumbra/explanations.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace lumbra_shell {
namespace {

struct Reply {
  std::int32_t result = 0;
  std::string text;
};

// Plays replies in order and records every call. Writes its texts whole into
// the caller's buffers, so a buffer that is too small shows under the sanitizer.
class ScriptedClient final : public ClientApi {
 public:
  Reply login{0, ",SV=1.0.0,ML=1901"};
  std::deque<Reply> replies;
  std::deque<Reply> rows;
  std::int32_t insertBinResult = 0;
  std::vector<std::string> sent;
  std::string insertedData;
  int getNextCalls = 0;

  int32_t connect(const char*, const char*, const char*, const char* address, char* message) override {
    sent.push_back(std::string("connect ") + address);
    return write(login, message);
  }
  int32_t disconnect(int32_t, char* message) override {
    sent.push_back("disconnect");
    return write({0, "FIM"}, message);
  }
  int32_t command(int32_t, const char* command, char* message) override {
    sent.push_back(command);
    if (replies.empty()) return write({0, ""}, message);
    const Reply reply = replies.front();
    replies.pop_front();
    return write(reply, message);
  }
  int32_t getNext(int32_t, char* message) override {
    ++getNextCalls;
    if (rows.empty()) return write({-10, "LBX610 - NAO HA REGISTROS SELECIONADOS PARA LEITURA"}, message);
    const Reply row = rows.front();
    rows.pop_front();
    std::memcpy(message, row.text.data(), row.text.size());
    message[row.text.size()] = '\0';
    return row.result < 0 ? row.result : static_cast<int32_t>(row.text.size());
  }
  int32_t crc(int32_t length, const void*) override { return length == 9 ? 0x31C3 : 0; }
  int32_t asciiToEbcdic(char* text) override {
    for (; *text != '\0'; ++text) *text = static_cast<char>(0xC1 + (*text - 'A'));
    return 0;
  }
  int32_t insertBin(int32_t, char* command, const void* data, int32_t length) override {
    if (insertBinResult < 0) return insertBinResult;
    insertedData.assign(static_cast<const char*>(data), static_cast<std::size_t>(length));
    // The prepared form fills p + 9 + n + 2 bytes of the caller's buffer.
    const std::size_t p = std::strrchr(command, '=') - command;
    std::memset(command + p, 'x', 9 + length + 1);
    command[p + 9 + length + 1] = '\0';
    return 0;
  }

 private:
  static int32_t write(const Reply& reply, char* message) {
    std::memcpy(message, reply.text.c_str(), reply.text.size() + 1);
    return reply.result;
  }
};

class ShellTest : public ::testing::Test {
 protected:
  void connect() {
    std::string error;
    ASSERT_TRUE(shell.connect(*parseTarget("demo@127.0.0.1:4000", error), "pw", ""));
    client.sent.clear();
  }

  ScriptedClient client;
  std::ostringstream out;
  std::ostringstream err;
  Shell shell{client, out, err};
};

TEST_F(ShellTest, SelectRowsAsTableAndCsv) {
  struct Case {
    OutputFormat format;
    const char* expected;
  };
  const Case cases[] = {
      {OutputFormat::table, "ID  | NAME\n----+--------\n  1 | ALICE\n  2 | BOB\n(2 rows)\n"},
      {OutputFormat::csv, "ID,NAME\n1,ALICE\n2,BOB\n"},
      {OutputFormat::json, "[\n  {\"ID\": 1, \"NAME\": \"ALICE\"},\n  {\"ID\": 2, \"NAME\": \"BOB\"}\n]\n"},
      {OutputFormat::ndjson, "{\"ID\": 1, \"NAME\": \"ALICE\"}\n{\"ID\": 2, \"NAME\": \"BOB\"}\n"},
  };
  connect();
  for (const auto& c : cases) {
    out.str("");
    client.replies = {{2, "00010ID:3,NAME:7."}};
    client.rows = {{0, "  1ALICE  "}, {0, "  2BOB    "}};
    shell.setFormat(c.format);
    EXPECT_TRUE(shell.execute("SELECT ID, NAME FROM T"));
    EXPECT_EQ(out.str(), c.expected);
    EXPECT_EQ(client.sent.back(), "SELECT ID, NAME FROM T");
  }
  EXPECT_EQ(err.str(), "");
}

TEST_F(ShellTest, JsonTellsNumbersTextsAndBlanksApartAndExpandedShowsARowAsLines) {
  connect();
  const std::string answer = "00022ID=N(3),NAME=A(9),CODE=V(4),B=A(6).";
  shell.setFormat(OutputFormat::ndjson);
  client.replies = {{2, answer}};
  client.rows = {{0, std::string("  7Zo\xEB \"x\"\\ 007      ", 22)}, {0, std::string(22, ' ')}};
  EXPECT_TRUE(shell.execute("SELECT ID, NAME, CODE, B FROM T"));
  // 007 is no JSON number: it stays a text; blanks only are null.
  EXPECT_EQ(out.str(),
            "{\"ID\": 7, \"NAME\": \"Zo\u00eb \\\"x\\\"\\\\\", \"CODE\": \"007\", \"B\": null}\n"
            "{\"ID\": null, \"NAME\": null, \"CODE\": null, \"B\": null}\n");

  out.str("");
  shell.setFormat(OutputFormat::table);
  EXPECT_TRUE(shell.execute("\\x on"));
  client.replies = {{1, answer}};
  client.rows = {{0, std::string("  7Zo\xEB        12ab    ", 22)}};
  EXPECT_TRUE(shell.execute("SELECT ID, NAME, CODE, B FROM T"));
  EXPECT_EQ(out.str(),
            "expanded display on\n"
            "-[ RECORD 1 ]-\n"
            "ID   | 7\n"
            "NAME | Zo\u00eb\n"
            "CODE | 12\n"
            "B    | ab\n"
            "(1 row)\n");
}

TEST_F(ShellTest, FailuresAreShownAndReported) {
  connect();
  client.replies = {{-153, "0153 TABELA INEXISTENTE"}};
  EXPECT_FALSE(shell.execute("SELECT X FROM NADA"));
  EXPECT_EQ(err.str(), "error -153: 0153 TABELA INEXISTENTE\n  the server refused the command with status 153 (server/README.md lists them)\n");
  EXPECT_EQ(client.getNextCalls, 0);

  // A retrieval that breaks off: the rows so far, then the failure.
  err.str("");
  out.str("");
  client.replies = {{3, "00002A:2."}};
  client.rows = {{0, "ab"}, {-2, "LBX602 - ERRO NO RECEBIMENTO DA MENSAGEM (104)"}};
  EXPECT_FALSE(shell.execute("SELECT A FROM T"));
  EXPECT_EQ(out.str(), "A\n--\nab\n(1 row)\n");
  EXPECT_EQ(err.str(), "error -2: LBX602 - ERRO NO RECEBIMENTO DA MENSAGEM (104)\n  the reply could not be read; the session goes on\n");
}

TEST_F(ShellTest, BatchedUpdatesAndCommit) {
  connect();
  EXPECT_TRUE(shell.execute("INSERT INTO T VALUES (1)"));
  EXPECT_EQ(out.str(), "");  // nothing to say in scripts
  shell.setInteractive(true);
  EXPECT_TRUE(shell.execute("DELETE FROM T WHERE K=2"));
  EXPECT_EQ(out.str(), "(batched)\n");
  out.str("");
  client.replies = {{2, std::string(22, '0')}};
  EXPECT_TRUE(shell.execute("COMMIT"));
  EXPECT_EQ(out.str(), "COMMIT 2 updates\n");
  const std::vector<std::string> sent = {"INSERT INTO T VALUES (1)", "DELETE FROM T WHERE K=2", "COMMIT"};
  EXPECT_EQ(client.sent, sent);
}

TEST_F(ShellTest, AnnouncedLengthsSizeTheMessageBuffer) {
  client.login = {0, ",SV=1.0.0,ML=5000"};
  connect();
  EXPECT_EQ(shell.messageLength(), 5000);
  const std::string big(5000 - 17, 'T');  // the longest reply text at that length
  client.replies = {
      {0, big}, {0, "OK,ML=40000"}, {static_cast<int32_t>(40000 - 17), std::string(40000 - 17, 'E')}};
  EXPECT_TRUE(shell.execute("EXEC P1"));
  EXPECT_TRUE(shell.execute("SET ML=40000"));
  EXPECT_EQ(shell.messageLength(), 40000);
  out.str("");
  EXPECT_TRUE(shell.execute("EXEC P2"));
  EXPECT_EQ(out.str(), std::string(40000 - 17, 'E') + "\n");

  // A row longer than the message length still has room.
  client.replies = {{1, "60000R:60000."}};
  client.rows = {{0, std::string(60000, 'r')}};
  shell.setFormat(OutputFormat::raw);
  out.str("");
  EXPECT_TRUE(shell.execute("SELECT R FROM WIDE"));
  EXPECT_EQ(out.str(), std::string(60000, 'r'));
}

TEST_F(ShellTest, ConnectReadsTheLow16Bits) {
  client.login = {static_cast<int32_t>(0x7FFF0003), ",ML=1901"};
  std::string error;
  const auto target = parseTarget("demo@127.0.0.1", error);
  EXPECT_TRUE(shell.connect(*target, "pw", ""));
  EXPECT_TRUE(shell.connected());

  ScriptedClient refusing;
  refusing.login = {static_cast<int32_t>(0x0001FF69), "0151 SENHA INVALIDA"};  // -151 in the low half
  Shell other(refusing, out, err);
  EXPECT_FALSE(other.connect(*target, "bad", ""));
  EXPECT_FALSE(other.connected());
  EXPECT_EQ(err.str().rfind("error -151: 0151 SENHA INVALIDA\n  ", 0), 0u) << err.str();
}

TEST_F(ShellTest, CommitShowsTheTrueTotal) {
  connect();
  struct Case {
    std::int32_t count;  // the client's count: reply length / 11
    std::string reply;
    const char* shown;
  };
  const Case cases[] = {
      {2, "0000000001 0000000001 ", "COMMIT 2 updates\n"},
      {3, "0000000001 0000000001 +000200000 ", "COMMIT 200000 updates\n"},
      {1, "+000000171 ", "COMMIT 171 updates\n"},
      {0, "", "COMMIT 0 updates\n"},
      {2, "0000000001 +00000x002 ", "COMMIT 2 updates\n"},  // not a total: the count stands
  };
  for (const auto& c : cases) {
    out.str("");
    client.replies = {{c.count, c.reply}};
    EXPECT_TRUE(shell.execute("COMMIT"));
    EXPECT_EQ(out.str(), c.shown) << c.reply;
  }
}

TEST_F(ShellTest, UpdatesNotCommittedAreCounted) {
  connect();
  EXPECT_FALSE(shell.transactionOpen());
  EXPECT_FALSE(shell.uncommittedWarning());
  EXPECT_TRUE(shell.execute("insert into T values (1)"));
  EXPECT_TRUE(shell.execute("UPDATE T SET A = 2"));
  EXPECT_EQ(shell.uncommitted(), 2);
  EXPECT_TRUE(shell.transactionOpen());
  // The server tells how many of them it holds.
  client.replies = {{2, "2"}, {6, "ABERTA"}};
  EXPECT_EQ(shell.uncommittedWarning(), "2 updates not committed");
  client.replies = {{0, "0000000001 0000000001 "}};
  EXPECT_TRUE(shell.execute("commit;"));
  EXPECT_EQ(shell.uncommitted(), 0);
  EXPECT_FALSE(shell.uncommittedWarning());

  // A server that cannot tell: the shell's own count.
  EXPECT_TRUE(shell.execute("DELETE FROM T"));
  client.replies = {{-160, "0160 PARAMETRO DE CONFIGURACAO DESCONHECIDO"}};
  EXPECT_EQ(shell.uncommittedWarning(), "1 update not committed");
  client.replies = {{0, "TRANSACAO DESFEITA"}};
  EXPECT_TRUE(shell.execute("ROLLBACK"));
  EXPECT_FALSE(shell.transactionOpen());

  // An EXEC that writes opens a transaction; one that reads does not.
  client.replies = {{1, "3"}};
  EXPECT_TRUE(shell.execute("EXEC VALUES (3)"));
  EXPECT_FALSE(shell.transactionOpen());
  client.replies = {{1, "0"}};
  EXPECT_TRUE(shell.execute("EXEC CREATE TABLE U (A)"));
  EXPECT_TRUE(shell.transactionOpen());
  client.replies = {{1, "0"}, {6, "ABERTA"}};
  EXPECT_EQ(shell.uncommittedWarning(), "a transaction with changes not committed");
  client.replies = {{0, "TRANSACAO DESFEITA"}};
  EXPECT_TRUE(shell.execute("ROLLBACK"));

  // A batch refused as the shell asks: said, and nothing is left to lose.
  EXPECT_TRUE(shell.execute("INSERT INTO NADA VALUES (1)"));
  err.str("");
  client.replies = {{-2001, "ERRO SQL NA ATUALIZACAO 1 DO LOTE: NO SUCH TABLE: NADA"}};
  EXPECT_FALSE(shell.uncommittedWarning());
  EXPECT_EQ(err.str(),
            "error -2001: ERRO SQL NA ATUALIZACAO 1 DO LOTE: NO SUCH TABLE: NADA\n"
            "  the database refused the statement (its own message follows ERRO SQL): check the SQL and the names "
            "(\\dt lists the tables, \\d TABLE the columns)\n"
            "the batch of 1 update was refused, none of them applied; update 1 failed: INSERT INTO NADA "
            "VALUES (1)\n");
}

TEST_F(ShellTest, CommandsAreSentUpperCasedAndInWindows1252) {
  connect();
  client.replies = {{0, ""}, {0, ""}};
  EXPECT_TRUE(shell.execute("insert into T values ('Zo\u00eb'); -- a note"));
  EXPECT_TRUE(shell.execute("-- nothing to send"));
  EXPECT_TRUE(shell.execute("   "));
  EXPECT_FALSE(shell.execute("SELECT '\u0109'"));
  EXPECT_NE(err.str().find("(U+0109) has no Windows-1252 form; the command was not sent"), std::string::npos);
  // An unknown word would make the client drop the batch: refused before it.
  EXPECT_FALSE(shell.execute("frob 1"));
  EXPECT_NE(err.str().find("\"frob\" is not a command word"), std::string::npos) << err.str();
  const std::vector<std::string> sent = {"INSERT into T values ('Zo\xEB')"};
  EXPECT_EQ(client.sent, sent);
  EXPECT_EQ(shell.uncommitted(), 1);
  // help, quit and exit are the shell's.
  EXPECT_TRUE(shell.execute("help"));
  EXPECT_NE(out.str().find("\\insertbin"), std::string::npos);
  EXPECT_TRUE(shell.execute("exit;"));
  EXPECT_TRUE(shell.quitRequested());
  EXPECT_EQ(client.sent, sent);
}

// Every status in the table: the library's text as it came, then one line of
// cause and remedy, with the address and the system's reason filled in.
TEST_F(ShellTest, EveryStatusGetsALineOfCauseAndRemedy) {
  for (std::int32_t status = -1; status >= -15; --status) {
    const auto& table = explanationTable();
    EXPECT_TRUE(std::any_of(table.begin(), table.end(), [&](const Explanation& e) { return e.status == status; }))
        << "no explanation for the client's status " << status;
  }
  for (const Explanation& entry : explanationTable()) {
    ScriptedClient refusing;
    std::ostringstream quiet, said;
    Shell other{refusing, quiet, said};
    const std::string text = "TEXT OF " + std::to_string(entry.status) + " (111)";
    refusing.login = {entry.status, text};
    std::string error;
    EXPECT_FALSE(other.connect(*parseTarget("demo@10.1.2.3", error), "pw", ""));
    const std::string shown = said.str();
    const std::string head = "error " + std::to_string(entry.status) + ": " + text + "\n  ";
    ASSERT_EQ(shown.rfind(head, 0), 0u) << shown;
    const std::string line = shown.substr(head.size());
    EXPECT_EQ(line.find('{'), std::string::npos) << line;  // every placeholder filled
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    EXPECT_EQ(line.back(), '\n');
  }
  struct Case {
    std::int32_t status;
    const char* text;
    const char* line;
  };
  const Case cases[] = {
      {-7, "LBX607 - FALHA NA CONEXAO (111)",
       "no connection to 10.1.2.3:3001 (Connection refused): is lumbra-server running and listening there?"},
      {-2067, "ERRO SQL: A NEW ONE", "the database refused the statement (code 67; its own message follows ERRO SQL)"},
      {-199, "0199 NOVO", "the server refused the command with status 199 (server/README.md lists them)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(explainStatus(c.status, c.text, ExplainContext{"10.1.2.3"}), c.line);
  }
}

TEST_F(ShellTest, AWordThatIsNoCommandWordIsNeverSent) {
  connect();
  struct Case {
    const char* typed;
    const char* said;
  };
  const Case cases[] = {
      {"SELEC * FROM T", "\"SELEC\" is not a command word (SELECT, INSERT, UPDATE, DELETE, COMMIT, ROLLBACK, "},
      {"create table T (A)",
       "\"create\" is not a command word: SQL other than SELECT, INSERT, UPDATE and DELETE goes through EXEC "
       "(EXEC create ...); not sent"},
      {"(SELECT 1)", "\"\" is not a command word"},
      {"exec select count(*) from T",
       "EXEC SELECT answers with the first row alone; the SELECT itself gives every row (select count(*) from "
       "T); not sent"},
  };
  shell.setLocation("q.sql:3");
  for (const auto& c : cases) {
    err.str("");
    EXPECT_FALSE(shell.execute(c.typed));
    EXPECT_EQ(err.str().rfind(std::string("q.sql:3: ") + c.said, 0), 0u) << err.str();
  }
  EXPECT_TRUE(client.sent.empty());
  // Every line of a failure carries the location.
  err.str("");
  client.replies = {{-2001, "ERRO SQL: NO SUCH TABLE: NADA"}};
  EXPECT_FALSE(shell.execute("SELECT A FROM NADA"));
  std::istringstream lines(err.str());
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) EXPECT_EQ(line.rfind("q.sql:3: ", 0), 0u) << line;
  EXPECT_GE(count, 1);
}

TEST_F(ShellTest, ARefusedBatchNamesItsUpdateAndTheCommandNotRun) {
  connect();
  EXPECT_TRUE(shell.execute("INSERT INTO T VALUES (1)"));
  EXPECT_TRUE(shell.execute("INSERT INTO NADA VALUES (2)"));
  client.replies = {{-2001, "ERRO SQL NA ATUALIZACAO 2 DO LOTE: NO SUCH TABLE: NADA"}};
  EXPECT_FALSE(shell.execute("SELECT A FROM T"));
  EXPECT_EQ(err.str(),
            "error -2001: ERRO SQL NA ATUALIZACAO 2 DO LOTE: NO SUCH TABLE: NADA\n"
            "  the database refused the statement (its own message follows ERRO SQL): check the SQL and the names "
            "(\\dt lists the tables, \\d TABLE the columns)\n"
            "the batch of 2 updates was refused, none of them applied; update 2 failed: INSERT INTO NADA "
            "VALUES (2)\n"
            "not run: SELECT A FROM T\n");
  EXPECT_EQ(shell.uncommitted(), 0);
  EXPECT_EQ(out.str(), "");

  // Any other failure: the batch went ahead and was taken.
  err.str("");
  EXPECT_TRUE(shell.execute("INSERT INTO T VALUES (3)"));
  client.replies = {{-2001, "ERRO SQL: NO SUCH COLUMN: X"}};
  EXPECT_FALSE(shell.execute("SELECT X FROM T"));
  EXPECT_EQ(err.str(), "error -2001: ERRO SQL: NO SUCH COLUMN: X\n"
            "  the database refused the statement (its own message follows ERRO SQL): check the SQL and the names "
            "(\\dt lists the tables, \\d TABLE the columns)\n");
  EXPECT_EQ(shell.uncommitted(), 1);
}

TEST_F(ShellTest, ALostConnectionIsSaidOnce) {
  connect();
  EXPECT_TRUE(shell.execute("INSERT INTO T VALUES (1)"));
  // The round trip that follows a -2 fails too: the connection is gone.
  client.replies = {{-2, "LBX602 - ERRO NO RECEBIMENTO DA MENSAGEM (0)"},
                    {-1, "LBX601 - ERRO NO ENVIO DA MENSAGEM (32)"}};
  EXPECT_FALSE(shell.execute("SELECT A FROM T"));
  EXPECT_EQ(err.str(),
            "error -2: LBX602 - ERRO NO RECEBIMENTO DA MENSAGEM (0)\n"
            "  no reply came: the server closed the connection or stopped (the peer closed the connection)\n"
            "connection lost, and with it 1 update not committed (\\connect opens a new session)\n");
  EXPECT_FALSE(shell.connected());
  EXPECT_TRUE(shell.connectionLost());
  err.str("");
  client.sent.clear();
  EXPECT_FALSE(shell.execute("SELECT A FROM T"));
  EXPECT_EQ(err.str(), "not connected: the connection was lost (\\connect opens a new session)\n");
  EXPECT_EQ(client.sent, std::vector<std::string>{});

  // \connect opens the same target again with the same password.
  EXPECT_TRUE(shell.execute("\\connect"));
  EXPECT_TRUE(shell.connected());
  EXPECT_EQ(client.sent, std::vector<std::string>{"connect 127.0.0.1:4000"});
  EXPECT_FALSE(shell.execute("\\connect demo@127.0.0.1:99999"));
}

TEST_F(ShellTest, ResultsThatFailAtOnceShowOnlyTheFailure) {
  connect();
  client.replies = {{1, "00003A=A(3)."}};
  client.rows = {{-150, "0150 REGISTRO EXCEDE O TAMANHO DA MENSAGEM"}};
  EXPECT_FALSE(shell.execute("SELECT A FROM T"));
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "error -150: 0150 REGISTRO EXCEDE O TAMANHO DA MENSAGEM\n"
            "  a row does not fit the message length: raise it with SET MESSAGE_LENGTH=n (up to 16777216), or "
            "select fewer columns\n");

  // No rows at all is a result: its header.
  client.replies = {{0, "00003A=A(3)."}};
  EXPECT_TRUE(shell.execute("SELECT A FROM T WHERE 0"));
  EXPECT_EQ(out.str(), "A\n---\n(0 rows)\n");
}

TEST_F(ShellTest, CtrlCStopsTheRows) {
  connect();
  int asked = 0;
  shell.setInterrupted([&] { return ++asked > 2; });
  client.replies = {{5, "00001A=A(1)."}};
  client.rows = {{0, "a"}, {0, "b"}, {0, "c"}, {0, "d"}, {0, "e"}};
  EXPECT_FALSE(shell.execute("SELECT A FROM T"));
  EXPECT_EQ(out.str(), "A\n-\na\nb\n(2 rows)\n");
  EXPECT_EQ(err.str(), "interrupted: 2 of 5 rows shown; the next command drops the rest\n");
  EXPECT_EQ(client.getNextCalls, 2);
}

TEST_F(ShellTest, ExecSaysWhatItDid) {
  connect();
  struct Case {
    const char* command;
    const char* reply;
    OutputFormat format;
    const char* shown;
  };
  const Case cases[] = {
      {"EXEC CREATE TABLE T (A)", "0", OutputFormat::table, "CREATE TABLE\n"},
      {"exec create unique index I on T (A)", "0", OutputFormat::table, "CREATE UNIQUE INDEX\n"},
      {"EXEC DROP VIEW V", "0", OutputFormat::table, "DROP VIEW\n"},
      {"EXEC UPDATE T SET A = 1", "3", OutputFormat::table, "3 rows changed\n"},
      {"EXEC DELETE FROM T WHERE A = 1", "1", OutputFormat::table, "1 row changed\n"},
      {"EXEC VALUES (1000)", "1000", OutputFormat::table, "1000\n"},
      {"EXEC CREATE TABLE T (A)", "0", OutputFormat::csv, "0\n"},  // scripts read the reply as it is
  };
  for (const auto& c : cases) {
    out.str("");
    shell.setFormat(c.format);
    client.replies = {{static_cast<std::int32_t>(std::strlen(c.reply)), c.reply}};
    EXPECT_TRUE(shell.execute(c.command));
    EXPECT_EQ(out.str(), c.shown) << c.command;
  }
}

TEST_F(ShellTest, TimingAndNullText) {
  connect();
  EXPECT_TRUE(shell.execute("\\timing"));
  client.replies = {{5, "1.0.0"}};
  EXPECT_TRUE(shell.execute("GETSET VERSION"));
  EXPECT_NE(out.str().find("timing on\n1.0.0\nTime: "), std::string::npos) << out.str();
  EXPECT_NE(out.str().find(" ms\n"), std::string::npos);
  EXPECT_TRUE(shell.execute("\\timing off"));
  EXPECT_FALSE(shell.execute("\\timing maybe"));

  out.str("");
  EXPECT_TRUE(shell.execute("\\null (null)"));
  client.replies = {{2, "00004A=A(1),N=N(3)."}};
  client.rows = {{0, "a  1"}, {0, "    "}};
  EXPECT_TRUE(shell.execute("SELECT A, N FROM T"));
  EXPECT_EQ(out.str(),
            "A      |      N\n"
            "-------+-------\n"
            "a      |      1\n"
            "(null) | (null)\n"
            "(2 rows)\n");
  out.str("");
  EXPECT_TRUE(shell.execute("\\null"));
  client.replies = {{1, "00004A=A(1),N=N(3)."}};
  client.rows = {{0, "    "}};
  EXPECT_TRUE(shell.execute("SELECT A, N FROM T"));
  EXPECT_EQ(out.str(), "A |   N\n--+----\n  |\n(1 row)\n");
}

class ShellFiles : public ShellTest {
 protected:
  void SetUp() override { dir = folder.path(); }
  std::string file(const std::string& name, const std::string& contents) {
    const auto path = (dir / name).string();
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }
  suite_test::TempDir folder{"lumbra-shell"};
  std::filesystem::path dir;
};

TEST_F(ShellFiles, BinaryInsertFromAFile) {
  connect();
  const std::string data(
      "\x00\x01\xFF"
      "ab",
      5);
  const auto path = file("blob.bin", data);
  EXPECT_TRUE(shell.execute("\\insertbin \"INSERT INTO B VALUES (1, X=\" " + path));
  EXPECT_EQ(client.insertedData, data);
  ASSERT_EQ(client.sent.size(), 1u);
  EXPECT_EQ(client.sent[0].substr(0, 24), "INSERT INTO B VALUES (1,");
  EXPECT_EQ(out.str(), "INSERT 5 bytes\n");

  // Refusals: too large for a 16-bit length, no '=', and LBInsertBin's own status.
  const auto large = file("large.bin", std::string(32768, 'z'));
  client.sent.clear();
  EXPECT_FALSE(shell.execute("\\insertbin \"INSERT INTO B VALUES (1, X=\" " + large));
  EXPECT_FALSE(shell.execute("\\insertbin \"INSERT INTO B VALUES (1, X\" " + path));
  EXPECT_FALSE(shell.execute("\\insertbin \"INSERT INTO B VALUES (1, X=\" " + (dir / "missing").string()));
  client.insertBinResult = -6;
  EXPECT_FALSE(shell.execute("\\insertbin \"INSERT INTO B VALUES (1, X=\" " + path));
  EXPECT_TRUE(client.sent.empty());
  EXPECT_NE(err.str().find("error -6: "), std::string::npos);
}

TEST_F(ShellFiles, BackslashCommands) {
  connect();
  const auto nine = file("nine", "123456789");
  struct Case {
    std::string line;
    bool ok;
    const char* out;
  };
  const Case cases[] = {
      {"\\crc " + nine, true, "CRC-16 0x31C3 over 9 bytes\n"},
      {"\\ebcdic ABC", true, "C1 C2 C3\n"},
      {"\\format csv", true, ""},
      {"\\format xml", false, ""},
      {"\\crc", false, ""},
      {"\\nothing", false, ""},
      {"\\crc \"open", false, ""},
  };
  for (const auto& c : cases) {
    out.str("");
    EXPECT_EQ(shell.execute(c.line), c.ok) << c.line;
    EXPECT_EQ(out.str(), c.out) << c.line;
  }
  EXPECT_EQ(shell.format(), OutputFormat::csv);
  EXPECT_TRUE(client.sent.empty());

  // \o sends results to a file until a bare \o.
  const auto target = (dir / "result.txt").string();
  EXPECT_TRUE(shell.execute("\\o " + target));
  client.replies = {{0, "GETSET ANSWER"}};
  EXPECT_TRUE(shell.execute("GETSET X"));
  EXPECT_TRUE(shell.execute("\\o"));
  std::string written;
  std::string error;
  ASSERT_TRUE(readFile(target, written, error));
  EXPECT_EQ(written, "GETSET ANSWER\n");

  EXPECT_FALSE(shell.quitRequested());
  EXPECT_TRUE(shell.execute("\\q"));
  EXPECT_TRUE(shell.quitRequested());
}

}  // namespace
}  // namespace lumbra_shell
