// Helpers of the operations tests: a temporary folder, the program run as a child, a server in the background.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace lumbra::server::testing {

// A fresh folder under /tmp, removed with everything in it at the end.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Every file in the folder (not recursing) with its size and modification time, to compare.
  std::map<std::string, std::string> listing() const;

 private:
  std::string path_;
};

// What a run of the program did.
struct Outcome {
  int status = -1;     // exit status, -1 when it did not exit normally
  std::string out;     // standard output
  std::string err;     // standard error
};

// Runs lumbra-server with `args` in the folder `cwd`, `input` on its standard
// input, at most 60 seconds.
Outcome runProgram(const std::vector<std::string>& args, const std::string& cwd, const std::string& input = "");

// The whole file ("" when it cannot be read).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);

// lumbra-server serving in the background, standard error to `log`; stopped
// (SIGTERM, then SIGKILL after ten seconds) when the object goes away.
class ServerProcess {
 public:
  // Starts with `args` (plus --listen 127.0.0.1:0 and --port-file unless
  // `plain`); waits at most ten seconds for the port file.
  ServerProcess(const std::vector<std::string>& args, const std::string& folder, bool plain = false);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string log() const { return readFile(log_); }
  // Sends `signal`; with `wait`, waits (at most ten seconds) for the exit status.
  int stop(int signal = 15);
  bool running();

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string log_;
};

}  // namespace lumbra::server::testing
