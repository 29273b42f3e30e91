// The fixture of the tests that run the lumbra program against the reference
// server: a server started on a database in a temporary folder (stopped
// whatever happens), and the shell run with its arguments, its output and
// status collected.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>

#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace lumbra_shell_e2e {

namespace fs = std::filesystem;

const std::string kServer = LUMBRA_SERVER_PATH;
const std::string kShell = LUMBRA_SHELL_PATH;
constexpr char kPassword[] = "shell-test";

inline std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

inline std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ShellRun {
  int status = -1;
  std::string out;
  std::string err;
};

class ShellAgainstServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kServer.empty() || kShell.empty() || !fs::exists(kServer) || !fs::exists(kShell)) {
      GTEST_SKIP() << "lumbra-server or lumbra not built";
    }
    dir_ = folder_.path();
    database_ = (dir_ / "test.db").string();
    startServer();
  }

  // The next start adds the user "shell" with the test's password first (a
  // new database).
  void addUser() { started_ = false; }

  // The server on the test's database (its user added at the first start), on
  // a port of its own choosing, with `more` arguments.
  void startServer(const std::vector<std::string>& more = {}) {
    server_.useDatabase(database_, /*addUser=*/!started_);
    std::vector<std::string> arguments = {"--message-length", "1901"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    ASSERT_TRUE(server_.start(kServer, "shell", kPassword, arguments)) << server_.error();
    started_ = true;
    port_ = std::to_string(server_.port());
  }

  void TearDown() override { stopServer(); }

  void stopServer() {
    server_.stop();
    port_.clear();
  }

  // Runs the shell with these arguments after the target; password from the environment.
  ShellRun shell(const std::vector<std::string>& arguments, const std::string& password = kPassword) {
    std::string command = "LUMBRA_PASSWORD=" + quote(password) + " " + quote(kShell) + " " + quote(target());
    for (const auto& argument : arguments) command += " " + quote(argument);
    const auto errPath = dir_ / "shell.err";
    command += " 2>" + quote(errPath.string()) + " </dev/null";
    ShellRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) run.out.append(chunk, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = slurp(errPath);
    return run;
  }

  fs::path file(const std::string& name, const std::string& contents) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }

  // A table T of `rows` rows (ID, NAME) loaded with batched inserts and one COMMIT.
  void load(int rows) {
    // A COMMIT every 100 rows: its reply carries 11 bytes an update, and the
    // reply text is bounded by the message length (1901).
    std::string script = "EXEC CREATE TABLE T (ID INTEGER PRIMARY KEY, NAME CHAR(10))\n";
    std::string expected;
    for (int i = 1; i <= rows; ++i) {
      script += "INSERT INTO T VALUES (" + std::to_string(i) + ", 'N" + std::to_string(i) + "')\n";
      if (i % 100 == 0 || i == rows) {
        script += "COMMIT\n";
        const int count = i % 100 == 0 ? 100 : i % 100;
        expected += "COMMIT " + std::to_string(count) + (count == 1 ? " update\n" : " updates\n");
      }
    }
    const ShellRun run = shell({"-f", file("load.sql", script).string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
  }

  std::string target() const { return "shell@127.0.0.1:" + port_; }

  suite_test::TempDir folder_{"lumbra-shell"};
  fs::path dir_;
  std::string database_;  // a SQLite file, or a PostgreSQL URI
  suite_test::ServerProcess server_;
  bool started_ = false;
  std::string port_;
};

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

}  // namespace lumbra_shell_e2e
