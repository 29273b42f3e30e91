// Starting, watching and stopping the reference server as a child process.
#include "tests/support/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace suite_test {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for `pid` at most `limit`; true when it was reaped, with its status.
bool reap(pid_t pid, std::chrono::milliseconds limit, int& status) {
  const auto end = Clock::now() + limit;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) return true;  // not our child any more: nothing to reap
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string describeExit(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace

bool isExecutable(const std::string& path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

ServerProcess::~ServerProcess() { stop(); }

std::string ServerProcess::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::string ServerProcess::log() const {
  if (logPath_.empty()) return {};
  std::ifstream in(logPath_, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ServerProcess::fail(std::string text) {
  error_ = std::move(text);
  std::string output = log();
  if (!output.empty()) error_ += "\nserver output:\n" + output;
  stop();
  return false;
}

pid_t ServerProcess::spawn(const std::vector<std::string>& arguments, int stdinFd, const std::string& logPath,
                           const std::string& directory) {
  // Everything the child needs is prepared before fork: it only calls
  // async-signal-safe functions.
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (logFd < 0) return -1;
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the parent died before the line above
    if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(127);
    if (stdinFd >= 0) dup2(stdinFd, 0);
    dup2(logFd, 1);
    dup2(logFd, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(logFd);
  return pid;
}

bool ServerProcess::start(const std::string& program, const std::string& id, const std::string& password,
                          const std::vector<std::string>& extraArguments) {
  stop();
  error_.clear();
  if (!isExecutable(program)) return fail("no server program at " + program);
  folder_ = std::make_unique<TempDir>("lumbra-server");
  const std::string database = database_.empty() ? folder_->file("server.db") : database_;
  const std::string logPath = logPath_ = folder_->file("server.log");
  const std::string portFile = folder_->file("port");

  // The user, with few hashing rounds so that logins stay fast.
  if (addUser_) {
    const std::string passwordFile = folder_->file("password");
    {
      std::ofstream out(passwordFile, std::ios::binary);
      out << password << '\n';
    }
    int in = open(passwordFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return fail("cannot read back " + passwordFile);
    pid_t adder =
        spawn({program, "user", "add", id, "--database", database, "--iterations", "1000"}, in, logPath);
    close(in);
    if (adder < 0) return fail("cannot start " + program);
    int status = 0;
    if (!reap(adder, std::chrono::seconds(30), status)) {
      kill(adder, SIGKILL);
      reap(adder, std::chrono::seconds(5), status);
      return fail("'user add' did not finish");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return fail("'user add' failed: " + describeExit(status));
    }
  }

  std::vector<std::string> arguments{program,  "--listen",    "127.0.0.1:0", "--database",
                                     database, "--port-file", portFile};
  if (!postgresUri_.empty()) {
    arguments.insert(arguments.end(), {"--database", postgresUri_, "--users", database});
  }
  arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
  pid_ = spawn(arguments, -1, logPath);
  if (pid_ < 0) return fail("cannot start " + program);
  return waitForPort(portFile);
}

bool ServerProcess::serve(const std::string& program, std::vector<std::string> arguments, const std::string& folder,
                          bool plain) {
  stop();
  error_.clear();
  if (!isExecutable(program)) return fail("no server program at " + program);
  logPath_ = folder + "/server.log";
  const std::string portFile = folder + "/port";
  unlink(portFile.c_str());
  if (!plain) arguments.insert(arguments.end(), {"--listen", "127.0.0.1:0", "--port-file", portFile});
  arguments.insert(arguments.begin(), program);
  pid_ = spawn(arguments, -1, logPath_, folder);
  if (pid_ < 0) return fail("cannot start " + program);
  return plain || waitForPort(portFile);
}

bool ServerProcess::waitForPort(const std::string& portFile) {
  const auto end = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    std::ifstream in(portFile);
    long value = 0;
    if (in >> value && value > 0 && value < 65536) {
      port_ = static_cast<std::uint16_t>(value);
      return true;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return fail("the server ended before serving: " + describeExit(status));
    }
    if (Clock::now() >= end) return fail("the server wrote no port within ten seconds");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int ServerProcess::stop(int signal) {
  if (pid_ <= 0) return -1;
  if (signal != 0) kill(pid_, signal);
  int status = 0;
  if (!reap(pid_, std::chrono::seconds(10), status)) return -2;
  pid_ = -1;
  port_ = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ServerProcess::stop() {
  if (pid_ > 0) {
    int status = 0;
    kill(pid_, SIGTERM);
    if (!reap(pid_, std::chrono::seconds(2), status)) {
      kill(pid_, SIGKILL);
      reap(pid_, std::chrono::seconds(10), status);
    }
    pid_ = -1;
  }
  port_ = 0;
  folder_.reset();
}

}  // namespace suite_test
