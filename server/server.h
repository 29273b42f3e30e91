// The network side: an Asio acceptor on IPv4 and one connection object per client, each on its own strand.
#pragma once

#include <atomic>
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

struct ServerOptions {
  ListenAddress listen;
  ServerSettings settings;
  int threads = defaultThreads();  // threads that run the sessions
  bool trace = false;   // one line per message in each direction
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

  struct Impl;  // the Asio objects and the table of connections (server.cpp)

 private:
  std::unique_ptr<Impl> impl_;
};

// Raises the soft limit of open files up to the hard limit; returns the new soft limit.
long raiseFileLimit();

}  // namespace lumbra::server
