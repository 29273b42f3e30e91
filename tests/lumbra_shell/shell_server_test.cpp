// The lumbra program run non-interactively against the reference server:
// batched inserts and COMMIT, updates left without one, table and csv output,
// rows over several blocks, a binary round trip, command files, text encoding,
// a refused batch, and the exit statuses. Skips when the server or the shell
// is not built.
#include "server_fixture.h"

#include <cctype>
#include <functional>
#include "tests/support/postgres_uri.h"

namespace lumbra_shell_e2e {
namespace {

TEST_F(ShellAgainstServer, TableAndCsvOfTheSameRows) {
  load(3);
  const ShellRun csv = shell({"-F", "csv", "-c", "SELECT ID, NAME FROM T ORDER BY ID"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, "ID,NAME\n1,N1\n2,N2\n3,N3\n");

  const ShellRun json = shell({"-F", "json", "-c", "SELECT ID, NAME FROM T ORDER BY ID"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out,
            "[\n  {\"ID\": 1, \"NAME\": \"N1\"},\n  {\"ID\": 2, \"NAME\": \"N2\"},\n  {\"ID\": 3, \"NAME\": \"N3\"}\n]\n");

  const ShellRun table = shell({"-c", "SELECT ID, NAME FROM T ORDER BY ID"});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out,
            "ID | NAME\n"
            "---+-----\n"
            " 1 | N1\n"
            " 2 | N2\n"
            " 3 | N3\n"
            "(3 rows)\n");
}

TEST_F(ShellAgainstServer, RowsOverManyBlocksArriveWholeAndInOrder) {
  load(600);  // some 600 x 20 bytes: several blocks of 1901 bytes
  const ShellRun csv = shell({"-F", "csv", "-c", "SELECT ID, NAME FROM T ORDER BY ID"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  const auto shown = lines(csv.out);
  ASSERT_EQ(shown.size(), 601u);
  for (int i = 1; i <= 600; ++i) {
    ASSERT_EQ(shown[static_cast<std::size_t>(i)], std::to_string(i) + ",N" + std::to_string(i));
  }
}

TEST_F(ShellAgainstServer, BinaryInsertReadsBackTheSameBytes) {
  std::string data("\x00\x01\xFF\x7D\x27@@@@@@", 11);
  for (int i = 0; i < 700; ++i) data += static_cast<char>(i * 7);
  const auto blob = file("blob.bin", data);
  const ShellRun insert =
      shell({"-c", "EXEC CREATE TABLE B (ID INTEGER PRIMARY KEY, DATA BLOB)", "-c",
             "\\insertbin \"INSERT INTO B VALUES (1, =\" " + blob.string(), "-c", "COMMIT"});
  ASSERT_EQ(insert.status, 0) << insert.err;
  const auto back = dir_ / "back.bin";
  const ShellRun select = shell({"-F", "raw", "-o", back.string(), "-c", "SELECT DATA FROM B WHERE ID = 1"});
  ASSERT_EQ(select.status, 0) << select.err;
  EXPECT_EQ(slurp(back).substr(0, data.size()), data);
}

TEST_F(ShellAgainstServer, ExitStatusTellsFailures) {
  struct Case {
    std::vector<std::string> arguments;
    std::string password;
    int status;
    const char* err;
  };
  const std::vector<Case> cases = {
      {{"-c", "GETSET SERVERINFO"}, kPassword, 0, ""},
      {{"-c", "SELECT X FROM NOWHERE"}, kPassword, 1, "error -"},
      {{"-c", "frob 1"}, kPassword, 1, "\"frob\" is not a command word"},
      {{"-c", "COMMIT SELECT 1"}, kPassword, 1, "error -123: TEXTO APOS COMMIT OU ROLLBACK: SELECT 1"},
      {{"-c", "\\crc /nonexistent/file"}, kPassword, 1, "cannot open"},
      {{"-c", "GETSET SERVERINFO"}, "wrong", 2,
       "error -102: USUARIO OU SENHA INVALIDOS\n  the server refused the identification or the password"},
      {{"-c", "SELECT 1; SELECT 2"}, kPassword, 1,
       "error -121: SELECT COM MAIS DE UM COMANDO\n  a SELECT takes one statement"},
  };
  for (const auto& c : cases) {
    const ShellRun run = shell(c.arguments, c.password);
    EXPECT_EQ(run.status, c.status) << c.arguments.back() << '\n' << run.err;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
  // Nothing listens on port 1: the address and the system's reason, and a question.
  const std::string command = "LUMBRA_PASSWORD=x " + quote(kShell) + " demo@127.0.0.1:1 -c 'SELECT 1' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char text[1024] = {};
  const std::size_t n = std::fread(text, 1, sizeof text - 1, pipe);
  EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 2);
  EXPECT_EQ(std::string(text, n),
            "error -7: LBX607 - FALHA NA CONEXAO (111)\n"
            "  no connection to 127.0.0.1:1 (Connection refused): is lumbra-server running and listening there?\n");
  // The server information, converted for the terminal.
  const ShellRun info = shell({"-c", "GETSET SERVERINFO"});
  EXPECT_NE(info.out.find("Vers\u00e3o"), std::string::npos) << info.out;
}

// Runs the shell with these arguments; the run must succeed.
#define RUN_OK(...)                                    \
  do {                                                 \
    const ShellRun run_ = shell(__VA_ARGS__);          \
    ASSERT_EQ(run_.status, 0) << run_.out << run_.err; \
  } while (false)

TEST_F(ShellAgainstServer, UpdatesWithoutCommitAreNeverDroppedSilently) {
  RUN_OK({"-c", "EXEC CREATE TABLE T (ID INTEGER PRIMARY KEY, NAME CHAR(10))", "-c", "COMMIT"});
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    const char* err;
  };
  const std::vector<Case> cases = {
      {"-c", {"-c", "INSERT INTO T VALUES (1, 'a')"}, 1, "lumbra: 1 update not committed"},
      {"-f",
       {"-f", file("two.sql", "INSERT INTO T VALUES (2, 'b')\nUPDATE T SET NAME = 'c'\n").string()},
       1,
       "lumbra: 2 updates not committed"},
      {"-f, sent but not committed",
       {"-f", file("sent.sql", "INSERT INTO T VALUES (3, 'c')\nSELECT ID FROM T\n").string()},
       1,
       "lumbra: 1 update not committed"},
      {"EXEC",
       {"-c", "EXEC INSERT INTO T VALUES (4, 'd')"},
       1,
       "lumbra: a transaction with changes not committed"},
      {"committed", {"-c", "INSERT INTO T VALUES (5, 'e')", "-c", "COMMIT"}, 0, ""},
      {"rolled back", {"-c", "INSERT INTO T VALUES (6, 'f')", "-c", "ROLLBACK"}, 0, ""},
  };
  for (const auto& c : cases) {
    const ShellRun run = shell(c.arguments);
    EXPECT_EQ(run.status, c.status) << c.name << '\n' << run.err;
    if (*c.err == '\0') {
      EXPECT_EQ(run.err, "") << c.name;
    } else {
      EXPECT_NE(run.err.find(c.err), std::string::npos) << c.name << '\n' << run.err;
    }
  }
  const ShellRun left = shell({"-F", "csv", "-c", "SELECT ID FROM T ORDER BY ID"});
  EXPECT_EQ(left.out, "ID\n5\n");

  // One COMMIT of more updates than its reply can list shows the true total.
  std::string script;
  for (int i = 100; i < 700; ++i) script += "insert into T values (" + std::to_string(i) + ", 'n')\n";
  script += "commit;\n";
  const ShellRun many = shell({"-f", file("many.sql", script).string()});
  EXPECT_EQ(many.status, 0) << many.err;
  EXPECT_EQ(many.out, "COMMIT 600 updates\n");
  const ShellRun count = shell({"-F", "csv", "-c", "SELECT COUNT(*) AS N FROM T"});
  EXPECT_EQ(count.out, "N\n601\n");
}

TEST_F(ShellAgainstServer, FilesOfStatementsInAnyCaseWithComments) {
  const std::string script =
      "-- people and their towns\n"
      "exec create table people (id integer primary key,\n"
      "                          name char(20)); -- Zo\u00eb is welcome\n"
      "insert into people values (1, 'Zo\u00eb')\n"
      "Insert Into people values (2, 'Jo\u00e3o');\n"
      "commit\n"
      "select name\n"
      "  from people\n"
      " order by id;\n";
  const ShellRun run = shell({"-f", file("people.sql", script).string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "CREATE TABLE\nCOMMIT 2 updates\nname\n----\nZo\u00eb\nJo\u00e3o\n(2 rows)\n");

  // What the server holds is Windows-1252; -F raw gives those bytes.
  const ShellRun raw = shell({"-F", "raw", "-c", "SELECT NAME FROM PEOPLE WHERE ID = 1"});
  EXPECT_EQ(raw.out, "Zo\xEB");
  const ShellRun typed = shell({"-c", "SELECT 'Zo\u00eb' AS N"});
  EXPECT_EQ(typed.out, "N\n---\nZo\u00eb\n(1 row)\n");
  const ShellRun refused = shell({"-c", "SELECT '\u0109' AS N"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "\"\u0109\" (U+0109) has no Windows-1252 form; the command was not sent\n");
  EXPECT_EQ(refused.out, "");
}

TEST_F(ShellAgainstServer, ARefusedBatchSaysWhichUpdateAndWhatDidNotRun) {
  RUN_OK({"-c", "EXEC CREATE TABLE T (ID INTEGER PRIMARY KEY)", "-c", "COMMIT"});
  const std::string script =
      "INSERT INTO T VALUES (1)\n"
      "INSERT INTO NOWHERE VALUES (2)\n"
      "SELECT ID FROM T\n"
      "COMMIT\n";
  const std::string path = file("bad.sql", script).string();
  const ShellRun run = shell({"-f", path});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "COMMIT 0 updates\n");
  const std::string at = path + ":3: ";
  EXPECT_EQ(run.err.rfind(at + "error -2001: ERRO SQL NA ATUALIZACAO 2 DO LOTE: NO SUCH TABLE: NOWHERE\n", 0), 0u)
      << run.err;
  EXPECT_NE(run.err.find(at +
                         "the batch of 2 updates was refused, none of them applied; update 2 failed: INSERT "
                         "INTO NOWHERE VALUES (2)\n" +
                         at + "not run: SELECT ID FROM T\n"),
            std::string::npos)
      << run.err;
}

TEST_F(ShellAgainstServer, NothingIsDroppedBehindACommit) {
  RUN_OK({"-c", "EXEC CREATE TABLE T (ID INTEGER PRIMARY KEY)", "-c", "COMMIT"});
  // In a file COMMIT ends with its line: the typo on the next line is a
  // command of its own, refused before it is sent, with its file and line.
  const std::string path = file("typo.sql", "INSERT INTO T VALUES (40)\nCOMMIT\nSELEC * FROM T\n").string();
  const ShellRun typo = shell({"-f", path});
  EXPECT_EQ(typo.status, 1);
  EXPECT_EQ(typo.out, "COMMIT 1 update\n");
  EXPECT_EQ(typo.err.rfind(path + ":3: \"SELEC\" is not a command word", 0), 0u) << typo.err;

  // A statement joined behind COMMIT: the server refuses the whole text and
  // the update waits for a COMMIT of its own.
  const ShellRun joined = shell({"-c", "INSERT INTO T VALUES (41)", "-c", "COMMIT SELECT * FROM T WHERE ID = 40"});
  EXPECT_EQ(joined.status, 1);
  EXPECT_NE(joined.err.find("error -123: TEXTO APOS COMMIT OU ROLLBACK: SELECT * FROM T WHERE ID = 40\n"),
            std::string::npos)
      << joined.err;
  EXPECT_NE(joined.err.find("lumbra: 1 update not committed"), std::string::npos) << joined.err;
  EXPECT_EQ(shell({"-F", "csv", "-c", "SELECT ID FROM T"}).out, "ID\n40\n");
}

// \dt and \d TABLE on either database behind the server.
void describeTables(const std::function<ShellRun(const std::vector<std::string>&)>& shell, const std::string& table) {
  const ShellRun made = shell({"-c", "EXEC CREATE TABLE " + table + " (ID INTEGER PRIMARY KEY, NAME CHAR(10) NOT NULL)",
                               "-c", "COMMIT"});
  ASSERT_EQ(made.status, 0) << made.err;
  const ShellRun tables = shell({"-F", "csv", "-c", "\\dt"});
  ASSERT_EQ(tables.status, 0) << tables.err;
  std::string lower = table;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_TRUE(tables.out.rfind("Name,Type\n", 0) == 0) << tables.out;
  EXPECT_TRUE(tables.out.find("\n" + table + ",table\n") != std::string::npos ||
              tables.out.find("\n" + lower + ",table\n") != std::string::npos)
      << tables.out;
  const ShellRun columns = shell({"-F", "csv", "-c", "\\d " + table});
  ASSERT_EQ(columns.status, 0) << columns.err;
  const auto shown = lines(columns.out);
  ASSERT_EQ(shown.size(), 3u) << columns.out;
  EXPECT_EQ(shown[1].rfind("ID,INTEGER,", 0) == 0 || shown[1].rfind("id,integer,", 0) == 0, true) << shown[1];
  EXPECT_NE(shown[2].find(",not null"), std::string::npos) << shown[2];
}

TEST_F(ShellAgainstServer, TablesAndColumnsOnSqlite) {
  describeTables([this](const std::vector<std::string>& a) { return shell(a); }, "PEOPLE");
}

TEST_F(ShellAgainstServer, TablesAndColumnsOnPostgres) {
  std::string uri;
  LUMBRA_REQUIRE_POSTGRES(uri);
  stopServer();
  database_ = uri;
  addUser();
  startServer();
  const std::string table = "SHELL_D_" + std::to_string(getpid());
  describeTables([this](const std::vector<std::string>& a) { return shell(a); }, table);
  shell({"-c", "EXEC DROP TABLE " + table, "-c", "COMMIT"});
}

TEST_F(ShellAgainstServer, TablesShowEveryCellInItsPlace) {
  RUN_OK({"-c", "EXEC CREATE TABLE T (ID INTEGER, NOTE CHAR(12))", "-c",
          "INSERT INTO T VALUES (7, 'a' || char(9) || 'b' || char(10) || 'c')", "-c",
          "INSERT INTO T VALUES (NULL, '  pad  ')", "-c", "INSERT INTO T VALUES (12, '')", "-c", "COMMIT"});
  const std::string query = "SELECT ID, NOTE, ID * 10 AS TEN, 'x' || NOTE AS X FROM T ORDER BY ROWID";
  const ShellRun table = shell({"-c", "\\null -", "-c", query});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out,
            "ID | NOTE    | TEN | X\n"
            "---+---------+-----+---------\n"
            " 7 | a\u2409b\u240ac   |  70 | xa\u2409b\u240ac\n"
            " - |   pad   | -   | x  pad\n"
            "12 | -       | 120 | x\n"
            "(3 rows)\n");
  const ShellRun csv = shell({"-F", "csv", "-c", query});
  EXPECT_EQ(csv.out,
            "ID,NOTE,TEN,X\n"
            "7,a\tb\\x0Ac,70,xa\tb\\x0Ac\n"
            ",  pad,,x  pad\n"
            "12,,120,x\n");

  // A row longer than the message length: nothing but the failure.
  const ShellRun wide = shell({"-c", "SELECT 1 AS A, hex(randomblob(1500)) AS B"});
  EXPECT_EQ(wide.status, 1);
  EXPECT_EQ(wide.out, "");
  EXPECT_NE(wide.err.find("error -150: REGISTRO EXCEDE O TAMANHO DA MENSAGEM"), std::string::npos)
      << wide.err;
}

TEST_F(ShellAgainstServer, BadTargetsAndFilesAreRefusedBeforeConnecting) {
  const std::string before = server_.log();
  struct Case {
    std::vector<std::string> arguments;
    const char* err;
  };
  const std::vector<Case> cases = {
      {{"-f", (dir_ / "missing.sql").string()}, "missing.sql: No such file or directory"},
      {{"-c", "SELECT 1", "-f", dir_.string() + "/none/at/all.sql"}, "lumbra: cannot open "},
  };
  for (const auto& c : cases) {
    const ShellRun run = shell(c.arguments);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  const std::string command =
      "LUMBRA_PASSWORD=x " + quote(kShell) + " demo@127.0.0.1:99999 -c 'SELECT 1' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char text[512] = {};
  const std::size_t n = std::fread(text, 1, sizeof text - 1, pipe);
  const int status = pclose(pipe);
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(std::string(text, n),
            "lumbra: demo@127.0.0.1:99999: port 99999 is not a number from 1 to 65535\n");
  EXPECT_EQ(server_.log(), before);  // the server saw no connection
}

}  // namespace
}  // namespace lumbra_shell_e2e
