// The fixture of the tests that run the lumbra program against the reference
// server: a server started in a temporary folder (stopped whatever happens),
// and the shell run with its arguments, its output and status collected.
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
#include <unistd.h>

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
    dir_ = fs::temp_directory_path() / ("lumbra_shell_e2e_" + std::to_string(getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    database_ = (dir_ / "test.db").string();
    addUser();
    startServer();
  }

  // The identification "shell" with the test's password, on the test's database.
  void addUser() {
    const std::string add = quote(kServer) + " user add shell --database " + quote(database_) + " >" +
                            quote((dir_ / "useradd.log").string()) + " 2>&1";
    FILE* pipe = popen(add.c_str(), "w");
    ASSERT_NE(pipe, nullptr);
    std::fprintf(pipe, "%s\n", kPassword);
    ASSERT_EQ(pclose(pipe), 0) << slurp(dir_ / "useradd.log");
  }

  // The server on the test's database, on a port of its own choosing, with
  // `more` arguments.
  void startServer(const std::vector<std::string>& more = {}) {
    const std::string db = database_;
    const std::string portFile = (dir_ / "port").string();
    fs::remove(portFile);
    port_.clear();
    const std::string log = (dir_ / "server.log").string();
    server_ = fork();
    ASSERT_GE(server_, 0);
    if (server_ == 0) {
      std::freopen(log.c_str(), "w", stderr);
      std::vector<std::string> arguments = {kServer,      "--listen",   "127.0.0.1:0",      "--database", db,
                                            "--port-file", portFile,     "--message-length", "1901"};
      arguments.insert(arguments.end(), more.begin(), more.end());
      std::vector<char*> argv;
      for (auto& argument : arguments) argv.push_back(argument.data());
      argv.push_back(nullptr);
      execv(kServer.c_str(), argv.data());
      _exit(127);
    }
    for (int i = 0; i < 200 && port_.empty(); ++i) {
      std::ifstream in(portFile);
      std::getline(in, port_);
      if (port_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(port_.empty()) << "no port file; server log:\n" << slurp(log);
  }

  void TearDown() override {
    stopServer();
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // SIGINT, then SIGKILL after five seconds.
  void stopServer() {
    if (server_ > 0) {
      kill(server_, SIGINT);
      int status = 0;
      for (int i = 0; i < 100 && waitpid(server_, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (waitpid(server_, &status, WNOHANG) == 0) {
        kill(server_, SIGKILL);
        waitpid(server_, &status, 0);
      }
      server_ = -1;
    }
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

  fs::path dir_;
  std::string database_;  // a SQLite file, or a PostgreSQL URI
  pid_t server_ = -1;
  std::string port_;
};

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

}  // namespace lumbra_shell_e2e
