// The network side: an Asio acceptor on IPv4 and one connection object per client, each on its own strand.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "server/session.h"

namespace lumbra::server {

struct ListenAddress {
  std::string host = "127.0.0.1";
  std::uint16_t port = 3001;
};

// Two threads at least, one per processor up to eight.
int defaultThreads();

inline constexpr int kDefaultLoginDelayMs = 250;
inline constexpr long long kDefaultMemoryLimitMb = 1024;
inline constexpr long long kDefaultReplyMemoryMb = 256;
inline constexpr int kDefaultPoolSize = 20;
// Descriptors kept aside from the sessions (listener, log, user store, spare).
inline constexpr long kReservedFiles = 64;
// Each session: its socket, and two for its database connection.
inline constexpr long kFilesPerSession = 3;

struct ServerOptions {
  ListenAddress listen;
  ServerSettings settings;
  int threads = defaultThreads();  // threads that read, write, greet and log in
  int sqlThreads = 0;              // threads that run the sessions' SQL (0: as many as `threads`)
  // Sessions open at once, at most; 0: as many as the open-file limit allows
  // ((limit - 64) / 3). A larger number is lowered to that.
  long maxSessions = 0;
  // First wait for logins from an address with repeated failures (0: none).
  std::chrono::milliseconds loginDelay{kDefaultLoginDelayMs};
  // SQLite's heap in the whole server, at most (0: no limit).
  long long memoryLimitMb = kDefaultMemoryLimitMb;
  // Replies built and not yet sent, in the whole server: past this, row blocks
  // shrink to 64 KiB (or one row) until clients read what waits for them.
  long long replyMemoryMb = kDefaultReplyMemoryMb;
  bool trace = false;  // one line per message in each direction
  // With a PostgreSQL database: the SQLite database path whose file of users
  // (PATH.users) the server reads (--users), the most connections the server
  // opens to PostgreSQL (--pool-size), and the connection string the sessions
  // connect with (empty: the --database URI itself).
  std::string usersDatabase;
  int poolSize = kDefaultPoolSize;
  std::string sessionConninfo;
};

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens the database and binds the listening socket. False with `error` set
  // when either fails. port() is then the port actually bound.
  bool start(std::string& error);
  std::uint16_t port() const;

  // Serves until stop() (or SIGINT/SIGTERM when `handleSignals`); returns when
  // every session is closed and every thread has finished.
  void run(bool handleSignals);

  // Thread-safe: stops accepting, closes every session (open transactions are
  // rolled back) and makes run() return.
  void stop();

  // Sessions open at this moment.
  std::size_t sessions() const;
  // The most sessions open at once (known after start()).
  long maxSessions() const;

  struct Impl;  // the Asio objects and the table of connections (server.cpp)

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumbra::server
