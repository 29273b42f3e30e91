// The lumbra program at a terminal (a pseudo-terminal) against the reference
// server: leaving with updates not committed, Ctrl-C at the prompt, during
// rows and in a script, statements over several lines, UTF-8 typed in, raw rows, a lost connection and \connect, \timing,
// and the history kept from one session to the next.
#include "pty_session.h"
#include "server_fixture.h"

namespace lumbra_shell_e2e {
namespace {

class ShellAtATerminal : public ShellAgainstServer {
 protected:
  // The shell at the prompt, without banner.
  void open(PtySession& terminal, const std::vector<std::string>& more = {}) {
    std::vector<std::string> arguments = {kShell, "-q", target()};
    arguments.insert(arguments.end(), more.begin(), more.end());
    ASSERT_TRUE(terminal.start(arguments, {"LUMBRA_PASSWORD=" + std::string(kPassword),
                                           "HOME=" + dir_.string(), "LC_ALL=C.UTF-8", "TERM=vt100"}));
    ASSERT_TRUE(terminal.expect("lumbra> ")) << terminal.seen();
  }
};

constexpr char kCtrlC[] = "\x03";
constexpr char kCtrlD[] = "\x04";

TEST_F(ShellAtATerminal, LeavingWithUpdatesNotCommittedTakesASecondQuit) {
  shell({"-c", "EXEC CREATE TABLE T (ID INTEGER PRIMARY KEY)", "-c", "COMMIT"});
  for (const std::string quit : {"\\q\r", kCtrlD}) {
    PtySession terminal;
    open(terminal);
    terminal.type("INSERT INTO T VALUES (1);\r");
    ASSERT_TRUE(terminal.expect("(batched)")) << terminal.seen();
    ASSERT_TRUE(terminal.expect("lumbra*> ")) << terminal.seen();
    terminal.type(quit);
    ASSERT_TRUE(
        terminal.expect("1 update not committed: COMMIT to keep them, ROLLBACK to drop them, or \\q (or "
                        "Ctrl-D) again to leave without them"))
        << terminal.seen();
    ASSERT_TRUE(terminal.expect("lumbra*> ")) << terminal.seen();
    terminal.type(quit);
    EXPECT_EQ(terminal.wait(), 0) << terminal.seen();
  }
  // A COMMIT, and one quit is enough.
  PtySession terminal;
  open(terminal);
  terminal.type("insert into T values (2);\r");
  ASSERT_TRUE(terminal.expect("lumbra*> ")) << terminal.seen();
  terminal.type("commit;\r");
  ASSERT_TRUE(terminal.expect("COMMIT 1 update")) << terminal.seen();
  ASSERT_TRUE(terminal.expect("lumbra> ")) << terminal.seen();
  terminal.type("quit\r");
  EXPECT_EQ(terminal.wait(), 0) << terminal.seen();
  EXPECT_EQ(shell({"-F", "csv", "-c", "SELECT ID FROM T"}).out, "ID\n2\n");
}

TEST_F(ShellAtATerminal, CtrlCClearsTheLineAndStopsTheRows) {
  std::string script = "EXEC CREATE TABLE T (ID INTEGER PRIMARY KEY, NAME CHAR(30))\n";
  for (int i = 1; i <= 20000; ++i) {
    script += "INSERT INTO T VALUES (" + std::to_string(i) + ", 'a name of some thirty letters')\n";
  }
  script += "COMMIT\n";
  const ShellRun load = shell({"-f", file("load.sql", script).string()});
  ASSERT_EQ(load.out, "CREATE TABLE\nCOMMIT 20000 updates\n") << load.err;

  PtySession terminal;
  open(terminal);
  terminal.type("SELECT 'forgotten");
  terminal.type(kCtrlC);
  ASSERT_TRUE(terminal.expect("lumbra> ")) << terminal.seen();
  terminal.type("SELECT 'kept' AS K;\r");
  ASSERT_TRUE(terminal.expect("kept\r\n(1 row)")) << terminal.seen();
  EXPECT_EQ(terminal.seen().find("forgotten'"), std::string::npos);

  // Ctrl-C half way through a statement drops it.
  terminal.type("SELECT 'half'\r");
  ASSERT_TRUE(terminal.expect("lumbra-> ")) << terminal.seen();
  terminal.type(kCtrlC);
  ASSERT_TRUE(terminal.expect("lumbra> ")) << terminal.seen();

  // The rows fill the terminal, which is not read for a while: Ctrl-C comes
  // while they are being shown.
  terminal.type("SELECT ID, NAME FROM T ORDER BY ID;\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  terminal.send(kCtrlC);
  ASSERT_TRUE(terminal.expect("interrupted: ", 30)) << terminal.rest();
  ASSERT_TRUE(terminal.expect(" of 20000 rows shown; the next command drops the rest")) << terminal.rest();
  ASSERT_TRUE(terminal.expect("lumbra> ")) << terminal.rest();
  terminal.type("select count(*) as n from t;\r");
  ASSERT_TRUE(terminal.expect("20000\r\n(1 row)")) << terminal.rest();
  terminal.type("\\q\r");
  EXPECT_EQ(terminal.wait(), 0) << terminal.rest();

  // A script stops at Ctrl-C, says what it leaves, and ends with 130.
  const auto stopped =
      file("stopped.sql",
           "INSERT INTO T VALUES (0, 'x')\nSELECT ID, NAME FROM T ORDER BY ID\nSELECT 'after' AS A\n");
  PtySession batch;
  ASSERT_TRUE(batch.start({kShell, target(), "-f", stopped.string()},
                          {"LUMBRA_PASSWORD=" + std::string(kPassword), "LC_ALL=C.UTF-8"}));
  // Long enough for a slow start (a sanitized build on a busy machine): the
  // rows wait on the terminal, which is not read meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  batch.send(kCtrlC);
  ASSERT_TRUE(batch.expect("interrupted: ", 30)) << batch.rest();
  ASSERT_TRUE(batch.expect("lumbra: 1 update not committed")) << batch.rest();
  EXPECT_EQ(batch.wait(), 130);
  EXPECT_EQ(batch.seen().find("after"), std::string::npos);
}

TEST_F(ShellAtATerminal, CtrlCWhileTheServerWorksSaysSoAndASecondDropsTheConnection) {
  stopServer();
  startServer({"--statement-timeout", "0"});  // nothing ends the statement but the shell
  shell({"-c", "EXEC CREATE TABLE T (ID INTEGER)", "-c", "COMMIT"});
  PtySession terminal;
  open(terminal);
  terminal.type("insert into T values (1);\r");
  ASSERT_TRUE(terminal.expect("lumbra*> ")) << terminal.seen();
  terminal.type(
      "select count(*) from (with recursive c(x) as (select 1 union all select x + 1 from c) select x from c);\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  terminal.send(kCtrlC);
  ASSERT_TRUE(terminal.expect("waiting for the server; Ctrl-C again drops the connection")) << terminal.seen();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  terminal.send(kCtrlC);
  ASSERT_TRUE(terminal.expect("Ctrl-C dropped the connection: the server rolls back that session's open "
                              "transaction"))
      << terminal.seen();
  ASSERT_TRUE(terminal.expect("connected to 127.0.0.1:" + port_)) << terminal.seen();
  ASSERT_TRUE(terminal.expect("lumbra> ")) << terminal.seen();
  // The update sent ahead of the SELECT went with the dropped session.
  terminal.type("select count(*) as n from T;\r");
  ASSERT_TRUE(terminal.expect("0\r\n(1 row)")) << terminal.seen();
  terminal.type("\\q\r");
  EXPECT_EQ(terminal.wait(), 0) << terminal.seen();
}

TEST_F(ShellAtATerminal, StatementsOverLinesInUtf8AndRawRows) {
  PtySession terminal;
  open(terminal);
  terminal.type("exec create table people\r");
  ASSERT_TRUE(terminal.expect("lumbra-> ")) << terminal.seen();
  terminal.type("  (id integer, name char(10)); -- a table\r");
  ASSERT_TRUE(terminal.expect("CREATE TABLE")) << terminal.seen();
  ASSERT_TRUE(terminal.expect("lumbra*> ")) << terminal.seen();
  terminal.type("insert into people values (1, 'Zo\u00eb');\r");
  ASSERT_TRUE(terminal.expect("(batched)")) << terminal.seen();
  terminal.type("commit;\r");
  ASSERT_TRUE(terminal.expect("COMMIT 1 update")) << terminal.seen();
  terminal.type("select name from people;\r");
  ASSERT_TRUE(terminal.expect("Zo\u00eb\r\n(1 row)")) << terminal.seen();

  // Raw rows, then the prompt on a line of its own.
  terminal.type("\\format raw\r");
  ASSERT_TRUE(terminal.expect("lumbra> ")) << terminal.seen();
  terminal.type("select name from people;\r");
  ASSERT_TRUE(terminal.expect("Zo\xEB\r\nlumbra> ")) << terminal.seen();

  terminal.type("\\format table\r");
  ASSERT_TRUE(terminal.expect("lumbra> ")) << terminal.seen();
  terminal.type("help\r");
  ASSERT_TRUE(terminal.expect("\\timing [on|off]")) << terminal.seen();
  terminal.type("\\timing\r");
  ASSERT_TRUE(terminal.expect("timing on")) << terminal.seen();
  terminal.type("select 1;\r");
  ASSERT_TRUE(terminal.expect("Time: ")) << terminal.seen();
  terminal.type("exit\r");
  EXPECT_EQ(terminal.wait(), 0) << terminal.seen();
}

TEST_F(ShellAtATerminal, ALostConnectionIsSaidOnceAndConnectOpensANewOne) {
  PtySession terminal;
  open(terminal);
  stopServer();
  terminal.type("select 1;\r");
  ASSERT_TRUE(terminal.expect("connection lost (\\connect opens a new session)")) << terminal.seen();
  ASSERT_TRUE(terminal.expect("lumbra!> ")) << terminal.seen();
  terminal.type("select 2;\r");
  ASSERT_TRUE(terminal.expect("not connected: the connection was lost (\\connect opens a new session)"))
      << terminal.seen();
  ASSERT_TRUE(terminal.expect("lumbra!> ")) << terminal.seen();
  EXPECT_EQ(terminal.seen().find("error -1"), std::string::npos) << terminal.seen();

  startServer();  // on another port
  // Another identification is asked its password; a refusal leaves things as they were.
  terminal.type("\\connect nobody@127.0.0.1:" + port_ + "\r");
  ASSERT_TRUE(terminal.expect("Password for nobody: ")) << terminal.seen();
  terminal.send("wrong\r");
  ASSERT_TRUE(terminal.expect("error -102: ")) << terminal.seen();
  ASSERT_TRUE(terminal.expect("lumbra!> ")) << terminal.seen();
  terminal.type("\\connect " + target() + "\r");
  ASSERT_TRUE(terminal.expect("connected to 127.0.0.1:" + port_)) << terminal.seen();
  terminal.type("select 40 + 2 as answer;\r");
  ASSERT_TRUE(terminal.expect("42")) << terminal.seen();
  terminal.type("\\q\r");
  EXPECT_EQ(terminal.wait(), 0) << terminal.seen();
}

TEST_F(ShellAtATerminal, HistoryIsKeptFromOneSessionToTheNext) {
  {
    PtySession terminal;
    open(terminal);
    terminal.type("select 6 * 7 as answer;\r");
    ASSERT_TRUE(terminal.expect("42")) << terminal.seen();
    // Ended from outside: the history is already written.
  }
  PtySession terminal;
  open(terminal);
  terminal.type("\x1b[A\r");  // up arrow
  ASSERT_TRUE(terminal.expect("42\r\n(1 row)")) << terminal.seen();
  // A statement over lines is one entry, kept as typed; a literal keeps its line end.
  terminal.type("select 'a b',\r");
  ASSERT_TRUE(terminal.expect("lumbra-> ")) << terminal.seen();
  terminal.type("  'two\r");
  ASSERT_TRUE(terminal.expect("lumbra-> ")) << terminal.seen();
  terminal.type("lines' as t;\r");
  ASSERT_TRUE(terminal.expect("(1 row)")) << terminal.seen();
  terminal.type("\\q\r");
  EXPECT_EQ(terminal.wait(), 0) << terminal.seen();
  EXPECT_EQ(slurp(dir_ / ".lumbra_history"),
            "select 6 * 7 as answer;\n"
            "select 6 * 7 as answer;\n"
            "select 'a b', 'two\n"
            "\tlines' as t;\n"
            "\\q\n");
  // Read back: the whole statement comes back with one up arrow.
  PtySession again;
  open(again);
  again.type("\x1b[A\x1b[A\r");
  ASSERT_TRUE(again.expect("two")) << again.seen();
  ASSERT_TRUE(again.expect("(1 row)")) << again.seen();
  again.type("\\q\r");
  EXPECT_EQ(again.wait(), 0) << again.seen();
}

}  // namespace
}  // namespace lumbra_shell_e2e
