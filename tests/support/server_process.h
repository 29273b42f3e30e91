// The reference server as a child process: fresh database, one user, an ephemeral loopback port.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace suite_test {

// Starts `lumbra-server` on 127.0.0.1 port 0 with a new database in a
// temporary folder and stops it again when the object goes away (SIGTERM,
// then SIGKILL after two seconds, always reaped). The child also gets SIGKILL
// when the process that started it dies, so a crashed test leaves no server
// behind.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Creates the folder, adds the user `id` with `password` (the server's
  // `user add`), starts serving with `extraArguments` and waits (at most ten
  // seconds) for the bound port. False with `error()` set on any failure.
  bool start(const std::string& program, const std::string& id, const std::string& password,
             const std::vector<std::string>& extraArguments = {});
  // The next start() serves `database` (a path or a PostgreSQL URI) instead
  // of a new file; `addUser` false: the user is there already (a second
  // server on the same database).
  void useDatabase(const std::string& database, bool addUser = true) {
    database_ = database;
    addUser_ = addUser;
  }
  // Makes the next start() serve from the PostgreSQL database of `uri` (the
  // users stay in the temporary folder); empty: a SQLite file there.
  void servePostgres(std::string uri) { postgresUri_ = std::move(uri); }
  void stop();

  // Serves exactly `arguments` (after the program's name) with `folder`, which
  // the caller owns, as the working directory; the log is folder/server.log.
  // Unless `plain`, on 127.0.0.1 port 0 with --port-file folder/port added and
  // the port waited for (ten seconds). False with `error()` set when it did
  // not come up (with `plain`: when it could not be started).
  bool serve(const std::string& program, std::vector<std::string> arguments, const std::string& folder,
             bool plain = false);
  // The same from a constructor; port() is 0 when it did not come up.
  ServerProcess(const std::string& program, std::vector<std::string> arguments, const std::string& folder,
                bool plain = false) {
    serve(program, std::move(arguments), folder, plain);
  }
  // Sends `signal` (0: none) and waits at most ten seconds: the exit status;
  // -1 when it ended otherwise or had ended already, -2 when it goes on.
  int stop(int signal);

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::uint16_t port() const { return port_; }
  // "127.0.0.1:PORT", the address argument of LBConnect.
  std::string address() const;
  const std::string& error() const { return error_; }
  // What the server wrote to its standard error so far (its log).
  std::string log() const;

 private:
  pid_t spawn(const std::vector<std::string>& arguments, int stdinFd, const std::string& logPath,
              const std::string& directory = {});
  bool waitForPort(const std::string& portFile);
  bool fail(std::string text);

  std::unique_ptr<TempDir> folder_;
  std::string logPath_;  // the log, in folder_ or in the caller's folder
  std::string database_;
  bool addUser_ = true;
  std::string postgresUri_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  std::string error_;
};

// Whether a file exists and may be executed.
bool isExecutable(const std::string& path);

}  // namespace suite_test
