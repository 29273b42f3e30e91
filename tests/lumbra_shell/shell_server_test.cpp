// The lumbra program run non-interactively against the reference server:
// batched inserts and COMMIT, table and csv output, rows over several blocks,
// a binary round trip, and the exit statuses. Skips when the server or the
// shell is not built.
#include "server_fixture.h"

namespace lumbra_shell_e2e {
namespace {

TEST_F(ShellAgainstServer, TableAndCsvOfTheSameRows)
{
    load(3);
    const ShellRun csv = shell({"-F", "csv", "-c", "SELECT ID, NAME FROM T ORDER BY ID"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out, "ID,NAME\n1,N1\n2,N2\n3,N3\n");

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

TEST_F(ShellAgainstServer, RowsOverManyBlocksArriveWholeAndInOrder)
{
    load(600);  // some 600 x 20 bytes: several blocks of 1901 bytes
    const ShellRun csv = shell({"-F", "csv", "-c", "SELECT ID, NAME FROM T ORDER BY ID"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    const auto shown = lines(csv.out);
    ASSERT_EQ(shown.size(), 601u);
    for (int i = 1; i <= 600; ++i) {
        ASSERT_EQ(shown[static_cast<std::size_t>(i)], std::to_string(i) + ",N" + std::to_string(i));
    }
}

TEST_F(ShellAgainstServer, BinaryInsertReadsBackTheSameBytes)
{
    std::string data("\x00\x01\xFF\x7D\x27@@@@@@", 11);
    for (int i = 0; i < 700; ++i) data += static_cast<char>(i * 7);
    const auto blob = file("blob.bin", data);
    const ShellRun insert = shell({"-c", "EXEC CREATE TABLE B (ID INTEGER PRIMARY KEY, DATA BLOB)", "-c",
                              "\\insertbin \"INSERT INTO B VALUES (1, =\" " + blob.string(), "-c", "COMMIT"});
    ASSERT_EQ(insert.status, 0) << insert.err;
    const auto back = dir_ / "back.bin";
    const ShellRun select = shell({"-F", "raw", "-o", back.string(), "-c", "SELECT DATA FROM B WHERE ID = 1"});
    ASSERT_EQ(select.status, 0) << select.err;
    EXPECT_EQ(slurp(back).substr(0, data.size()), data);
}

TEST_F(ShellAgainstServer, ExitStatusTellsFailures)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string password;
        int status;
        const char* err;
    };
    const std::vector<Case> cases = {
        {{"-c", "GETSET SERVERINFO"}, kPassword, 0, ""},
        {{"-c", "SELECT X FROM NOWHERE"}, kPassword, 1, "error -"},
        {{"-c", "frob 1"}, kPassword, 1, "error -12: LBX612 - COMANDO INVALIDO (frob )"},
        {{"-c", "\\crc /nonexistent/file"}, kPassword, 1, "cannot open"},
        {{"-c", "GETSET SERVERINFO"}, "wrong", 2, "error -"},
    };
    for (const auto& c : cases) {
        const ShellRun run = shell(c.arguments, c.password);
        EXPECT_EQ(run.status, c.status) << c.arguments.back() << '\n' << run.err;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
    // The server information, converted for the terminal.
    const ShellRun info = shell({"-c", "GETSET SERVERINFO"});
    EXPECT_NE(info.out.find("Vers\u00e3o"), std::string::npos) << info.out;
}

}  // namespace
}  // namespace lumbra_shell_e2e
