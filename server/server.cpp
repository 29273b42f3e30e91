// The listening socket, the table of connections, the session cap, and the server's start, run and orderly stop.
//
// Map: the server's shared state; accepting with the session cap; start
// (listen, then the databases: server/backend.h), run (server/workers.h for
// the threads), stop. A connection's own path is server/connection.h.
#include "server/server.h"

#include <algorithm>
#include <asio.hpp>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/system.h"
#include "server/connection.h"
#include "server/log.h"
#include "server/throttle.h"

namespace lumbra::server {

namespace {

using asio::ip::tcp;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
constexpr auto kRefusalLogInterval = std::chrono::seconds(1);

int sqlThreadsOf(const ServerOptions& options) {
  return options.sqlThreads > 0 ? options.sqlThreads : std::max(1, options.threads);
}

}  // namespace

struct Server::Impl {
  explicit Impl(ServerOptions opts)
      : options(std::move(opts)),
        throttle(options.loginDelay),
        shared(options, workers),
        workers(std::max(1, options.threads), sqlThreadsOf(options)) {
    shared.throttle = &throttle;
    shared.forget = [this](std::uint64_t id) { forget(id); };
  }

  void accept();
  void refuseConnection(tcp::socket& socket);
  void forget(std::uint64_t id);
  void closeAll();

  ServerOptions options;
  LoginThrottle throttle;
  // Declared before the threads, so that all of this outlives every
  // connection, whose last handler may only go with the lanes: the sessions'
  // database and users (a session gives its connection back as it goes), the
  // table of connections and what they share.
  Databases databases;
  mutable std::mutex mutex;
  std::map<std::uint64_t, std::weak_ptr<Connection>> connections;
  std::uint64_t nextId = 1;
  ServerShared shared;
  Workers workers;
  // The acceptor, the signals and the accept retry share one strand of the first lane.
  asio::strand<asio::io_context::executor_type> control{asio::make_strand(workers.lane(0).io())};
  tcp::acceptor acceptor{control};
  asio::signal_set signals{control};
  asio::steady_timer acceptRetry{control};
  std::atomic<bool> stopping{false};
  std::uint16_t boundPort = 0;
  long maxSessions = 0;
  // Refusals counted between two log lines (control strand only).
  long refusedSinceLog = 0;
  Clock::time_point lastRefusalLog{};
  Clock::time_point lastAcceptErrorLog{};
};

void Server::Impl::forget(std::uint64_t id) {
  std::lock_guard lock(mutex);
  connections.erase(id);
}

void Server::Impl::closeAll() {
  std::vector<std::shared_ptr<Connection>> open;
  {
    std::lock_guard lock(mutex);
    for (auto& [id, weak] : connections) {
      if (auto connection = weak.lock()) open.push_back(std::move(connection));
    }
  }
  for (auto& connection : open) connection->close();
}

// Beyond the most sessions: the connection is closed at once; one log line a
// second says how many were refused.
void Server::Impl::refuseConnection(tcp::socket& socket) {
  ++refusedSinceLog;
  Clock::time_point now = Clock::now();
  if (now - lastRefusalLog >= kRefusalLogInterval) {
    std::error_code peerError;
    tcp::endpoint peer = socket.remote_endpoint(peerError);
    std::string from =
        peerError ? std::string("?") : peer.address().to_string() + ":" + std::to_string(peer.port());
    logLine("connection from " + from + " refused: " + std::to_string(maxSessions) +
            " sessions open, the most allowed (" + std::to_string(refusedSinceLog) +
            " refused since the last such line)");
    refusedSinceLog = 0;
    lastRefusalLog = now;
  }
  std::error_code ignored;
  socket.close(ignored);
}

void Server::Impl::accept() {
  // Each connection lives on a lane of its own choosing, on a strand there.
  Lane& lane = workers.nextLane();
  acceptor.async_accept(asio::make_strand(lane.io()), [this, &lane](std::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || stopping) return;
    if (ec) {
      // Out of descriptors, for instance: wait a little instead of spinning;
      // the listener stays open and takes the connection once it can.
      Clock::time_point now = Clock::now();
      if (now - lastAcceptErrorLog >= kRefusalLogInterval) {
        logLine("accept failed: " + ec.message() + " (retrying)");
        lastAcceptErrorLog = now;
      }
      acceptRetry.expires_after(kAcceptRetryDelay);
      acceptRetry.async_wait([this](std::error_code waited) {
        if (!waited && !stopping) accept();
      });
      return;
    }
    std::size_t open;
    {
      std::lock_guard lock(mutex);
      open = connections.size();
    }
    if (static_cast<long>(open) >= maxSessions) {
      refuseConnection(socket);
      accept();
      return;
    }
    std::error_code peerError;
    tcp::endpoint peer = socket.remote_endpoint(peerError);
    std::uint32_t address = 0;
    if (!peerError && peer.address().is_v4()) address = peer.address().to_v4().to_uint();
    std::string peerText =
        peerError ? std::string("?") : peer.address().to_string() + ":" + std::to_string(peer.port());
    std::uint64_t id;
    {
      std::lock_guard lock(mutex);
      id = nextId++;
    }
    auto connection = std::make_shared<Connection>(shared, std::move(socket), lane, id, address, peerText);
    {
      std::lock_guard lock(mutex);
      connections[id] = connection;
    }
    connection->start();
    accept();
  });
}

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() = default;

bool Server::start(std::string& error) {
  Impl& s = *impl_;
  // The listening socket first: a server that cannot listen leaves no files behind.
  std::error_code ec;
  asio::ip::address_v4 host = asio::ip::make_address_v4(s.options.listen.host, ec);
  if (ec) {
    error = "not a numeric IPv4 address: " + s.options.listen.host;
    return false;
  }
  tcp::endpoint endpoint{host, s.options.listen.port};
  s.acceptor.open(endpoint.protocol(), ec);
  if (!ec) s.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) s.acceptor.bind(endpoint, ec);
  if (!ec) s.acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "cannot listen on " + s.options.listen.host + ":" + std::to_string(s.options.listen.port) + ": " +
            ec.message();
    std::error_code ignored;
    s.acceptor.close(ignored);
    return false;
  }
  DatabaseSetup setup;
  setup.database = s.options.settings.databasePath;
  setup.usersDatabase = s.options.usersDatabase;
  setup.sessionConninfo = s.options.sessionConninfo;
  setup.poolSize = s.options.poolSize;
  setup.memoryLimitMb = s.options.memoryLimitMb;
  if (!openDatabases(setup, s.databases, error)) {
    std::error_code ignored;
    s.acceptor.close(ignored);
    return false;
  }
  s.shared.backend = s.databases.backend.get();
  s.shared.users = s.databases.users.get();
  long files = platform::fileLimit();
  long fit = files > 0 ? std::max(1L, (files - kReservedFiles) / kFilesPerSession) : 100000;
  s.maxSessions = s.options.maxSessions > 0 ? std::min(s.options.maxSessions, fit) : fit;
  if (s.options.maxSessions > fit) {
    logLine("warning: " + std::to_string(files) + " open files allow " + std::to_string(fit) +
            " sessions, not " + std::to_string(s.options.maxSessions));
  }
  s.boundPort = s.acceptor.local_endpoint().port();
  logLine("listening on " + s.options.listen.host + ":" + std::to_string(s.boundPort) + ", database " +
          s.databases.description + ", message length " + std::to_string(s.options.settings.messageLength) +
          ", at most " + std::to_string(s.maxSessions) + " sessions");
  return true;
}

std::uint16_t Server::port() const { return impl_->boundPort; }

void Server::run(bool handleSignals) {
  Impl& s = *impl_;
  if (handleSignals) {
    s.signals.add(SIGINT);
    s.signals.add(SIGTERM);
    s.signals.async_wait([this](std::error_code ec, int signal) {
      if (ec) return;
      logLine("signal " + std::to_string(signal) + " received: stopping");
      stop();
    });
  }
  asio::post(s.control, [&s] {
    if (!s.stopping) s.accept();
  });
  s.workers.run();
  logLine("stopped");
}

void Server::stop() {
  Impl& s = *impl_;
  if (s.stopping.exchange(true)) return;
  asio::post(s.control, [&s] {
    std::error_code ignored;
    s.acceptor.close(ignored);
    s.signals.cancel(ignored);
    s.acceptRetry.cancel();
    s.closeAll();
    // The lanes end once the connections have finished.
    s.workers.releaseLanes();
  });
}

std::size_t Server::sessions() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connections.size();
}

long Server::maxSessions() const { return impl_->maxSessions; }

int defaultThreads() { return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2U, 8U)); }

}  // namespace lumbra::server
