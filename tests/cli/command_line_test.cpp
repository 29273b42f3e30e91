// The shared command-line conventions: what each kind of command line prints,
// where, and with which exit status.
#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

struct Program {
  CLI::App app{"Serves a thing.", "demo"};
  int port = 3001;
  std::string name;
  bool quiet = false;
  CLI::App* add = nullptr;
  std::string id;

  Program() {
    app.add_option("--port", port, "Port to listen on")->check(CLI::Range(1, 65535))->capture_default_str();
    app.add_option("--name", name, "Name | with a bar");
    app.add_flag("--quiet", quiet, "Log nothing");
    add = app.add_subcommand("add", "Add a user");
    add->add_option("ID", id, "The user's identification")->required();
    cli::applyConventions(app, "1.2.3");
  }
};

struct Parsed {
  cli::Outcome outcome;
  std::string out;
  std::string err;
};

Parsed run(Program& p, std::vector<const char*> args) {
  args.insert(args.begin(), "demo");
  std::ostringstream out;
  std::ostringstream err;
  Parsed r;
  r.outcome = cli::parse(p.app, static_cast<int>(args.size()), args.data(), out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

TEST(CommandLine, AcceptedLinesProceedAndPrintNothing) {
  Program p;
  Parsed r = run(p, {"--port", "4000", "--quiet"});
  EXPECT_TRUE(r.outcome.proceed);
  EXPECT_EQ(p.port, 4000);
  EXPECT_TRUE(p.quiet);
  EXPECT_EQ(r.out + r.err, "");

  Program q;
  r = run(q, {"add", "bob"});
  EXPECT_TRUE(r.outcome.proceed);
  EXPECT_TRUE(q.add->parsed());
  EXPECT_EQ(q.id, "bob");
}

TEST(CommandLine, WrongLinesEndWithStatusTwoAndOneLineNamingTheCause) {
  struct Case {
    std::vector<const char*> args;
    const char* named;  // what the error line must name
  };
  const Case cases[] = {
      {{"--port", "0"}, "--port"},
      {{"--port", "many"}, "--port"},
      {{"--port"}, "--port"},
      {{"--colour"}, "--colour"},
      {{"add"}, "ID"},
      {{"stray"}, "stray"},
  };
  for (const Case& c : cases) {
    Program p;
    Parsed r = run(p, c.args);
    SCOPED_TRACE(c.named);
    EXPECT_FALSE(r.outcome.proceed);
    EXPECT_EQ(r.outcome.exitStatus, cli::kExitUsage);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.err.rfind("demo: ", 0), 0u) << r.err;
    const std::size_t firstEnd = r.err.find('\n');
    EXPECT_NE(r.err.substr(0, firstEnd).find(c.named), std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(firstEnd + 1), "Try 'demo --help'.\n");
  }
}

TEST(CommandLine, HelpAndVersionGoToStandardOutputWithStatusZero) {
  Program p;
  Parsed r = run(p, {"--help"});
  EXPECT_FALSE(r.outcome.proceed);
  EXPECT_EQ(r.outcome.exitStatus, 0);
  EXPECT_NE(r.out.find("--port"), std::string::npos);
  EXPECT_NE(r.out.find("Serves a thing."), std::string::npos);
  EXPECT_EQ(r.err, "");

  Program q;
  r = run(q, {"add", "--help"});
  EXPECT_EQ(r.outcome.exitStatus, 0);
  EXPECT_NE(r.out.find("The user's identification"), std::string::npos);
  EXPECT_EQ(r.out.find("--port"), std::string::npos) << "the subcommand's own help";

  Program v;
  r = run(v, {"--version"});
  EXPECT_EQ(r.outcome.exitStatus, 0);
  EXPECT_EQ(r.out, "demo 1.2.3\n");
}

TEST(CommandLine, OptionsAsMarkdownComeFromTheSameTable) {
  Program p;
  Parsed r = run(p, {"--options-markdown"});
  EXPECT_FALSE(r.outcome.proceed);
  EXPECT_EQ(r.outcome.exitStatus, 0);
  EXPECT_EQ(r.out, cli::optionsMarkdown(p.app));
  EXPECT_NE(r.out.find("| `--port` | INT:INT in [1 - 65535] | 3001 | Port to listen on |"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("| `--name` | TEXT |  | Name \\| with a bar |"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("| `--quiet` |  |  | Log nothing |"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("#### `add`"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("| `ID` | TEXT |  | The user's identification |"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("--help"), std::string::npos);
  EXPECT_EQ(r.out.find("--options-markdown"), std::string::npos);
}

}  // namespace
