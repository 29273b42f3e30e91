// The shell's text helpers and row writers, without a client or a server.
#include "tools/lumbra/options.h"
#include "tools/lumbra/result_format.h"
#include "tools/lumbra/shell_text.h"

#include <gtest/gtest.h>

#include <sstream>

namespace lumbra_shell {
namespace {

TEST(ShellText, TargetsAreSplitAndChecked)
{
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

TEST(ShellText, WordsHonourQuotes)
{
    std::string error;
    const auto words = splitWords(R"(\insertbin  "INSERT INTO T VALUES (1, X=" /tmp/a b""c "say ""hi""")", error);
    ASSERT_TRUE(words);
    const std::vector<std::string> expected = {"\\insertbin", "INSERT INTO T VALUES (1, X=", "/tmp/a", "bc",
                                               "say \"hi\""};
    EXPECT_EQ(*words, expected);
    EXPECT_FALSE(splitWords(R"(\crc "open)", error));
    EXPECT_EQ(error, "unterminated quote");
}

TEST(ShellText, AnnouncedMessageLengthFollowsTheClientsReading)
{
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

TEST(ShellText, DisplayConvertsWindows1252AndEscapesControls)
{
    EXPECT_EQ(toDisplay("Vers\xE3o, Comunica\xE7\xE3o"), "Vers\u00e3o, Comunica\u00e7\u00e3o");
    EXPECT_EQ(toDisplay(std::string("a\0b\x1b", 4)), "a\\x00b\\x1B");
    EXPECT_EQ(toDisplay("\x80\x81\x7F"), "\u20ac\\x81\\x7F");
    EXPECT_EQ(displayWidth(toDisplay("\xE3\xE7x")), 3u);
}

TEST(ShellText, ScriptsSkipBlankAndCommentLines)
{
    const auto commands = scriptCommands("SELECT A FROM T\r\n\n   \n-- a note\n  -- another\nCOMMIT");
    const std::vector<std::string> expected = {"SELECT A FROM T", "COMMIT"};
    EXPECT_EQ(commands, expected);
}

TEST(ShellOptions, CommandLines)
{
    std::string error;
    auto options = parseOptions({"-c", "SELECT 1", "-f", "x.sql", "--format", "csv", "-a", "demo@127.0.0.1"}, error);
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
    EXPECT_TRUE(parseOptions({"--help"}, error));
}

TEST(ResultFormat, ColumnsFromTheDescription)
{
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

TEST(ResultFormat, RowsAreCutWithoutReadingPastTheirEnd)
{
    const std::vector<Column> columns = {{"A", 2}, {"B", 3}, {"C", 2}};
    const auto cells = splitRow("abcd", columns);
    ASSERT_EQ(cells.size(), 3u);
    EXPECT_EQ(cells[0], "ab");
    EXPECT_EQ(cells[1], "cd");
    EXPECT_EQ(cells[2], "");
}

TEST(ResultFormat, TableCsvAndRawWriters)
{
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
