// The shell's text helpers and row writers, without a client or a server.
#include "tools/lumbra/options.h"
#include "tools/lumbra/result_format.h"
#include "tools/lumbra/shell_text.h"
#include "tools/lumbra/statements.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <utility>

namespace lumbra_shell {
namespace {

TEST(ShellText, TargetsAreSplitAndChecked) {
  struct Case {
    const char* text;
    bool ok;
    const char* identification;
    const char* address;
  };
  const Case cases[] = {
      {"127.0.0.1", true, "", "127.0.0.1"},
      {"demo@127.0.0.1:3005", true, "demo", "127.0.0.1:3005"},
      {"demo@localhost:4000", true, "demo", "127.0.0.1:4000"},
      {"localhost", true, "", "127.0.0.1"},
      {"localhostx", true, "", "localhostx"},  // only the exact name is mapped
      {"a@b@10.0.0.1", true, "a@b", "10.0.0.1"},
      {"ABCDEFGHIJK@10.0.0.1", true, "ABCDEFGHIJK", "10.0.0.1"},
      {"ABCDEFGHIJKL@10.0.0.1", false, "", ""},  // 12 characters
      {" x@10.0.0.1", false, "", ""},
      {"demo@", false, "", ""},
      {"demo@:3001", false, "", ""},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto target = parseTarget(c.text, error);
    ASSERT_EQ(target.has_value(), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(target->identification, c.identification) << c.text;
    EXPECT_EQ(target->serverAddress, c.address) << c.text;
  }
  std::string error;
  EXPECT_FALSE(parseTarget("demo@" + std::string(100, '1'), error));
}

TEST(ShellText, WordsHonourQuotes) {
  std::string error;
  const auto words =
      splitWords(R"(\insertbin  "INSERT INTO T VALUES (1, X=" /tmp/a b""c "say ""hi""")", error);
  ASSERT_TRUE(words);
  const std::vector<std::string> expected = {"\\insertbin", "INSERT INTO T VALUES (1, X=", "/tmp/a", "bc",
                                             "say \"hi\""};
  EXPECT_EQ(*words, expected);
  EXPECT_FALSE(splitWords(R"(\crc "open)", error));
  EXPECT_EQ(error, "unterminated quote");
}

TEST(ShellText, AnnouncedMessageLengthFollowsTheClientsReading) {
  struct Case {
    const char* text;
    long long expected;  // -1: none
  };
  const Case cases[] = {
      {",SV=1.0.0,ML=32000,OS=LNX", 32000},
      {"X,ML=32000)", 32000},
      {",ML=9X,", 9},
      {",ML= 1901", 1901},
      {"ML=500", -1},  // without its comma the keyword is not there
      {",SV=1.0.0", -1},
      {",ML=", -1},
      {",ML=1234567890123456789012", -1},
  };
  for (const auto& c : cases) {
    const auto value = announcedMessageLength(c.text);
    EXPECT_EQ(value.value_or(-1), c.expected) << c.text;
  }
}

TEST(ShellText, DisplayConvertsWindows1252AndEscapesControls) {
  EXPECT_EQ(toDisplay("Vers\xE3o, Comunica\xE7\xE3o"), "Vers\u00e3o, Comunica\u00e7\u00e3o");
  EXPECT_EQ(toDisplay(std::string("a\0b\x1b", 4)), "a\\x00b\\x1B");
  EXPECT_EQ(toDisplay("\x80\x81\x7F"), "\u20ac\\x81\\x7F");
  EXPECT_EQ(displayWidth(toDisplay("\xE3\xE7x")), 3u);
}

TEST(ShellText, ScriptsSkipBlankAndCommentLines) {
  const auto commands = scriptCommands("SELECT A FROM T\r\n\n   \n-- a note\n  -- another\nCOMMIT");
  const std::vector<ScriptCommand> expected = {{"SELECT A FROM T", 1}, {"COMMIT", 6}};
  EXPECT_EQ(commands, expected);
}

TEST(ShellText, PortsOutsideTheirRangeAreRefused) {
  const char* const bad[] = {"demo@127.0.0.1:99999", "demo@127.0.0.1:0", "demo@127.0.0.1:",
                             "127.0.0.1:30x1",       "127.0.0.1:65536",  "127.0.0.1:000003001"};
  for (const char* text : bad) {
    std::string error;
    EXPECT_FALSE(parseTarget(text, error)) << text;
    EXPECT_NE(error.find("1 to 65535"), std::string::npos) << text << ": " << error;
  }
  std::string error;
  const auto last = parseTarget("demo@127.0.0.1:65535", error);
  ASSERT_TRUE(last) << error;
  EXPECT_EQ(last->serverAddress, "127.0.0.1:65535");
}

TEST(ShellText, TerminalTextGoesOutInWindows1252) {
  struct Case {
    const char* text;
    const char* sent;  // nullptr: refused
  };
  const Case cases[] = {
      {"SELECT 'Zo\u00eb'", "SELECT 'Zo\xEB'"},
      {"\u20ac \u0160 \u2122 \u00ff", "\x80 \x8A \x99 \xFF"},
      {"plain ASCII", "plain ASCII"},
      {"Zo\xEB", "Zo\xEB"},              // not UTF-8: taken as Windows-1252 already
      {"\xC3\xA9\xFF", "\xC3\xA9\xFF"},  // one bad byte makes the whole text not UTF-8
      {"caf\u00e9 \u0109", nullptr},     // no Windows-1252 form
      {"\U0001F600", nullptr},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto sent = toWindows1252(c.text, error);
    if (c.sent == nullptr) {
      EXPECT_FALSE(sent) << c.text;
      EXPECT_NE(error.find("has no Windows-1252 form"), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(sent) << c.text << ": " << error;
    EXPECT_EQ(*sent, c.sent) << c.text;
  }
  std::string error;
  toWindows1252("x \u0109", error);
  EXPECT_EQ(error, "\"\u0109\" (U+0109) has no Windows-1252 form");
  // The way back, once.
  EXPECT_EQ(toDisplay(*toWindows1252("Zo\u00eb \u20ac", error)), "Zo\u00eb \u20ac");
}

TEST(ShellText, TableCellsTakeOnePlaceAByte) {
  EXPECT_EQ(toCell(std::string("a\tb\nc\0d\x7F", 8)), "a\u2409b\u240ac\u2400d\u2421");
  EXPECT_EQ(toCell("Jo\xE3o \x81"), "Jo\u00e3o \uFFFD");
  const std::string bytes("\x01\x1F\x80\x9D zz", 7);
  EXPECT_EQ(displayWidth(toCell(bytes)), bytes.size());

  struct Case {
    const char* text;
    bool number;
  };
  const Case cases[] = {{"12", true},   {"-3.25", true}, {"1e-7", true}, {"+.5", true},
                        {"3.", true},   {"", false},     {"-", false},   {"1e", false},
                        {"12a", false}, {"1 2", false},  {".", false}};
  for (const auto& c : cases) EXPECT_EQ(looksNumeric(c.text), c.number) << c.text;
}

TEST(Statements, LeadingWordsInAnyCaseAndTheirEnds) {
  struct Case {
    const char* typed;
    const char* sent;
  };
  const Case cases[] = {
      {"select * from people;", "SELECT * from people"},
      {"  Insert into T values ('a;b') ;  ", "INSERT into T values ('a;b')"},
      {"exec create table x (a)", "EXEC create table x (a)"},
      {"getset version;;", "GETSET version"},
      {"frob 1", "frob 1"},  // not a command word: left for the client to refuse
      {"selection", "selection"},
      {"SELECT 1", "SELECT 1"},
  };
  for (const auto& c : cases) EXPECT_EQ(commandForServer(c.typed), c.sent) << c.typed;

  struct Comment {
    const char* line;
    const char* code;
  };
  const Comment comments[] = {
      {"SELECT 1 -- one", "SELECT 1"},
      {"SELECT '--not' -- but this", "SELECT '--not'"},
      {"SELECT \"a--b\" FROM T", "SELECT \"a--b\" FROM T"},
      {"-- only a comment", ""},
      {"SELECT 'it''s' --x", "SELECT 'it''s'"},
  };
  for (const auto& c : comments) {
    char quote = 0;
    EXPECT_EQ(withoutComment(c.line, quote), c.code) << c.line;
    EXPECT_EQ(quote, 0) << c.line;
  }
  const std::pair<const char*, ShellWord> words[] = {
      {"help", ShellWord::help},  {"HELP;", ShellWord::help},    {" quit ", ShellWord::quit},
      {"Exit;", ShellWord::quit}, {"exit now", ShellWord::none}, {"helpme", ShellWord::none}};
  for (const auto& [text, word] : words) EXPECT_EQ(shellWord(text), word) << text;
}

TEST(Statements, FilesKeepOneCommandALineAndTakeLongerStatements) {
  struct Case {
    const char* name;
    const char* file;
    std::vector<ScriptCommand> commands;
  };
  const Case cases[] = {
      {"one a line, no ';'",
       "EXEC CREATE TABLE T (A)\nINSERT INTO T VALUES (1)\ninsert into T values (2)\nCOMMIT\n",
       {{"EXEC CREATE TABLE T (A)", 1}, {"INSERT INTO T VALUES (1)", 2}, {"insert into T values (2)", 3},
        {"COMMIT", 4}}},
      {"a statement over lines",
       "SELECT A,\n   B -- the second\n FROM T\n WHERE A < 3;\nCOMMIT",
       {{"SELECT A, B FROM T WHERE A < 3;", 1}, {"COMMIT", 5}}},
      {"';' ends, whatever follows", "SELECT 1;\n(2)\n", {{"SELECT 1;", 1}, {"(2)", 2}}},
      {"backslash lines stand alone",
       "SELECT A\n\\format csv\nFROM T\n",
       {{"SELECT A", 1}, {"\\format csv", 2}, {"FROM T", 3}}},
      {"a literal over lines keeps its ';' and command words",
       "INSERT INTO T VALUES ('a;\nSELECT b')\nCOMMIT\n",
       {{"INSERT INTO T VALUES ('a;\nSELECT b')", 1}, {"COMMIT", 3}}},
      {"a literal keeps its line ends and the blanks that begin its lines",
       "SELECT 'one\n  two\n\nthree' AS T\n",
       {{"SELECT 'one\n  two\n\nthree' AS T", 1}}},
      {"help and quit", "help\nquit\nSELECT 1", {{"help", 1}, {"quit", 2}, {"SELECT 1", 3}}},
      // COMMIT and ROLLBACK take nothing after them: the next line, whatever
      // it holds, is a command of its own (and a typo in it is refused, not
      // dropped behind the COMMIT).
      {"COMMIT ends with its line",
       "INSERT INTO T VALUES (1)\ncommit\nSELEC * FROM T\n",
       {{"INSERT INTO T VALUES (1)", 1}, {"commit", 2}, {"SELEC * FROM T", 3}}},
      {"ROLLBACK and a comment",
       "rollback -- undo\n  WHERE A = 1\nCOMMIT;\n",
       {{"rollback", 1}, {"WHERE A = 1", 2}, {"COMMIT;", 3}}},
  };
  for (const auto& c : cases) EXPECT_EQ(scriptCommands(c.file), c.commands) << c.name;
}

TEST(Statements, AtThePromptACommandEndsWithASemicolon) {
  StatementBuffer buffer;
  struct Step {
    const char* line;
    std::optional<std::string> command;
    bool pending;
  };
  const Step steps[] = {
      {"select a,", std::nullopt, true},
      {"  -- a note", std::nullopt, true},
      {"", std::nullopt, true},
      {"\\timing", "\\timing", true},  // runs at once, the statement goes on
      {"b from t;", "select a, b from t;", false},
      {"-- alone", std::nullopt, false},
      {"quit", "quit", false},
      {"SELECT 'x;", std::nullopt, true},  // the ';' is inside the literal
      {"  y';", "SELECT 'x;\n  y';", false},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(buffer.add(step.line), step.command) << step.line;
    EXPECT_EQ(buffer.pending(), step.pending) << step.line;
  }
  buffer.add("SELECT 1");
  buffer.clear();  // Ctrl-C
  EXPECT_FALSE(buffer.pending());
  EXPECT_EQ(buffer.add("SELECT 2;"), "SELECT 2;");
}

TEST(ShellOptions, CommandLines) {
  std::string error;
  auto options =
      parseOptions({"-c", "SELECT 1", "-f", "x.sql", "--format", "csv", "-a", "demo@127.0.0.1"}, error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->target, "demo@127.0.0.1");
  ASSERT_EQ(options->steps.size(), 2u);
  EXPECT_EQ(options->steps[0].kind, ScriptStep::Kind::command);
  EXPECT_EQ(options->steps[1].text, "x.sql");
  EXPECT_EQ(options->format, OutputFormat::csv);
  EXPECT_TRUE(options->echo);

  const std::vector<std::vector<std::string>> bad = {
      {},                              // no server
      {"-c"},                          // no value
      {"--format", "xml", "1.2.3.4"},  // unknown format
      {"-x", "1.2.3.4"},
      {"1.2.3.4", "5.6.7.8"},
  };
  for (const auto& arguments : bad) {
    EXPECT_FALSE(parseOptions(arguments, error)) << (arguments.empty() ? "" : arguments[0]);
  }
  // -c and -f run in the order given, each taking one value.
  options = parseOptions({"-f", "a.sql", "-c", "SELECT 1", "demo@127.0.0.1", "-f", "b.sql"}, error);
  ASSERT_TRUE(options) << error;
  ASSERT_EQ(options->steps.size(), 3u);
  EXPECT_EQ(options->steps[0].text, "a.sql");
  EXPECT_EQ(options->steps[1].text, "SELECT 1");
  EXPECT_EQ(options->steps[2].text, "b.sql");
  EXPECT_EQ(options->target, "demo@127.0.0.1");
}

TEST(ResultFormat, ColumnsFromTheDescription) {
  struct Case {
    const char* description;
    std::size_t rowLength;
    std::vector<Column> expected;
  };
  const Case cases[] = {
      {"ID:8,NAME:20", 28, {{"ID", 8}, {"NAME", 20}}},
      {" ID=8 ; NAME=20 ", 28, {{"ID", 8}, {"NAME", 20}}},
      {"2,ID(8),NAME CHAR(20)", 28, {{"ID", 8}, {"NAME", 20}}},
      {"ID=N(3),NAME=A(10),PIC=B(5)", 18, {{"ID", 3, true}, {"NAME", 10}, {"PIC", 5}}},
      {"ID:8,NAME:20", 30, {{"ROW", 30}}},  // does not add up
      {"ID,NAME", 28, {{"ROW", 28}}},       // no widths
      {"", 12, {{"ROW", 12}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseColumns(c.description, c.rowLength), c.expected) << c.description;
  }
  const auto answer = parseSelectAnswer("00028ID:8,NAME:20.");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->rowLength, 28u);
  EXPECT_EQ(answer->description, "ID:8,NAME:20");
  EXPECT_FALSE(parseSelectAnswer("0002"));
  EXPECT_FALSE(parseSelectAnswer("00A28X."));
}

TEST(ResultFormat, RowsAreCutWithoutReadingPastTheirEnd) {
  const std::vector<Column> columns = {{"A", 2}, {"B", 3}, {"C", 2}};
  const auto cells = splitRow("abcd", columns);
  ASSERT_EQ(cells.size(), 3u);
  EXPECT_EQ(cells[0], "ab");
  EXPECT_EQ(cells[1], "cd");
  EXPECT_EQ(cells[2], "");
}

TEST(ResultFormat, TableCsvAndRawWriters) {
  const std::vector<Column> columns = {{"ID", 3, true}, {"NAME", 6}, {"NOTE", 4}};
  const std::string rows[] = {"  1ANA   x,y ", "  2JO\xE3O  \"q\" "};
  struct Case {
    OutputFormat format;
    std::string expected;
  };
  const Case cases[] = {
      {OutputFormat::table,
       " ID | NAME   | NOTE\n"
       "----+--------+-----\n"
       "  1 | ANA    | x,y\n"
       "  2 | JO\u00e3O   | \"q\"\n"
       "(2 rows)\n"},
      {OutputFormat::csv,
       "ID,NAME,NOTE\n"
       "1,ANA,\"x,y\"\n"
       "2,JO\u00e3O,\"\"\"q\"\"\"\n"},
      {OutputFormat::raw, rows[0] + rows[1]},
  };
  for (const auto& c : cases) {
    std::ostringstream out;
    auto writer = makeRowWriter(c.format, out);
    writer->begin(columns);
    for (const auto& row : rows) writer->row(row);
    writer->end(2);
    EXPECT_EQ(out.str(), c.expected) << static_cast<int>(c.format);
  }
  std::ostringstream one;
  auto writer = makeRowWriter(OutputFormat::table, one);
  writer->begin({{"X", 1}});
  writer->end(1);
  EXPECT_EQ(one.str(), "X\n-\n(1 row)\n");
}

}  // namespace
}  // namespace lumbra_shell
