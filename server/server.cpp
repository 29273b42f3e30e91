// The Asio acceptor, the connection objects, their time limits, the SQL threads and the orderly shutdown.
//
// Map: trace lines; the server's shared state; a connection (reading, the
// login throttle, SQL handed to the SQL threads, writing, time limits,
// closing); accepting with the session cap; start, run, stop.
#include "server/server.h"
#include "platform/system.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/commands.h"
#include "protocol/wire.h"
#include "server/database.h"
#include "server/log.h"
#include "server/metrics.h"
#include "server/registry.h"
#include "server/postgres/libpq.h"
#include "server/postgres/site.h"
#include "server/throttle.h"

namespace lumbra::server {

namespace {

using asio::ip::tcp;
constexpr auto kBusyRetryDelay = std::chrono::milliseconds(20);
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
constexpr auto kRefusalLogInterval = std::chrono::seconds(1);
constexpr std::size_t kSmallBlock = 64 * 1024;

std::string seconds(std::chrono::milliseconds duration) {
  auto whole = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
  if (whole * 1000 == duration.count()) return std::to_string(whole) + " s";
  return std::to_string(duration.count()) + " ms";
}

}  // namespace

class Connection;

struct Server::Impl {
  explicit Impl(ServerOptions opts) : options(std::move(opts)), throttle(options.loginDelay) {}

  void accept();
  void refuseConnection(tcp::socket& socket);
  void registerConnection(std::uint64_t id, const std::shared_ptr<Connection>& connection);
  void forget(std::uint64_t id);
  void closeAll();

  ServerOptions options;
  // The sessions' database: declared before the I/O context, so that it
  // outlives every session (a session gives its connection back as it goes).
  std::unique_ptr<Backend> backend;
  asio::io_context io;
  // The acceptor, the signals and the accept retry share one strand.
  asio::strand<asio::io_context::executor_type> control{asio::make_strand(io)};
  tcp::acceptor acceptor{control};
  asio::signal_set signals{control};
  asio::steady_timer acceptRetry{control};
  std::unique_ptr<UserStore> users;
  // Open for the server's life, so that the file's log is not checkpointed
  // and removed each time the last session closes.
  std::unique_ptr<Database> keeper;
  LoginThrottle throttle;
  mutable std::mutex mutex;
  std::map<std::uint64_t, std::weak_ptr<Connection>> connections;
  std::uint64_t nextId = 1;
  std::atomic<bool> stopping{false};
  std::uint16_t boundPort = 0;
  long maxSessions = 0;
  // Bytes of replies built and not yet sent, all sessions together.
  std::atomic<long long> replyBytes{0};
  // Refusals counted between two log lines (control strand only).
  long refusedSinceLog = 0;
  Clock::time_point lastRefusalLog{};
  Clock::time_point lastAcceptErrorLog{};
  // Last: destroyed first, once every SQL job has ended.
  std::unique_ptr<asio::thread_pool> sql;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server::Impl& server, tcp::socket socket, std::uint64_t id, std::uint32_t address,
             std::string peer)
      : server_(server),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        limitTimer_(socket_.get_executor()),
        id_(id),
        address_(address),
        context_{id, std::move(peer), {}},
        reader_(kInitialBufferSize + 1024),
        logic_(server.options.settings, *server.backend, *server.users, address,
               [this](const std::string& line) { logLine(context_, line); }) {}

  ~Connection() {
    server_.forget(id_);
    sessionRegistry().closed(id_);
  }

  void start() {
    sessionRegistry().opened(id_, context_.client);
    logLine(context_, "connected");
    accepted_ = Clock::now();
    lastHeard_ = accepted_;
    armLimits();
    read();
  }

  // From any thread: closes the connection on its own strand; SQL it runs is interrupted.
  void close() {
    logic_.interrupt();
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->finish("server stopping"); });
  }

 private:
  void read() {
    socket_.async_read_some(
        asio::buffer(buffer_), [self = shared_from_this()](std::error_code ec, std::size_t n) {
          if (ec) {
            if (self->closed_) return;
            std::string reason = ec == asio::error::eof ? "client closed the connection"
                                                        : "connection lost (" + ec.message() + ")";
            if (self->reader_.buffered() > 0) reason += " in the middle of a message";
            self->finish(reason);
            return;
          }
          self->lastHeard_ = Clock::now();
          metrics().bytesIn(n);
          self->reader_.feed(self->buffer_.data(), n);
          self->process();
        });
  }

  void process() {
    if (closed_) return;
    std::optional<Frame> frame;
    if (waiting_) {
      frame = std::move(waiting_);
      waiting_.reset();
      heldForReadAhead_ = false;
    } else {
      frame = reader_.next();
      admitted_ = false;
      if (frame) sessionRegistry().began(id_, *frame);
    }
    if (!frame) {
      read();
      return;
    }
    // Logins from an address that keeps failing wait their turn.
    if (frame->kind == Frame::Kind::Login && !admitted_ && !logic_.loggedIn()) {
      admitted_ = true;
      Clock::time_point now = Clock::now();
      Clock::time_point turn = server_.throttle.admit(address_, now);
      if (turn > now) {
        waitThenProcess(std::move(*frame), turn - now);
        return;
      }
    }
    long long budget = server_.options.replyMemoryMb * 1024 * 1024 - server_.replyBytes.load();
    logic_.setBlockBudget(
        server_.options.replyMemoryMb <= 0
            ? static_cast<std::size_t>(-1)
            : std::max<std::size_t>(kSmallBlock, budget > 0 ? static_cast<std::size_t>(budget) : 0));
    if (producing_) {
      // Rows are being stepped ahead: a continuation that the rows already
      // stepped answer goes out now; any other frame that needs the
      // statement or the connection waits for the stepping to stop.
      logic_.prepareAhead();
      if (logic_.runsSql(*frame)) {
        const bool continuation =
            frame->kind == Frame::Kind::Ordinary && frame->text.starts_with(kContinuationPrefix);
        waiting_ = std::move(*frame);
        heldForReadAhead_ = true;
        if (continuation) {
          logic_.waitForRows();
        } else {
          logic_.stopReadAhead();
        }
        return;
      }
    }
    if (!logic_.runsSql(*frame)) {
      handled(*frame, logic_.handle(*frame));
      return;
    }
    // Statements run on the SQL threads, so that a long one never holds back
    // the greetings and logins of other clients. The job keeps the I/O
    // threads running until its result is back on this connection's strand.
    busy_ = true;
    asio::post(*server_.sql, [self = shared_from_this(), frame = std::move(*frame),
                              work = asio::make_work_guard(server_.io)]() mutable {
      SessionLogic::Outcome outcome = self->logic_.handle(frame);
      asio::post(self->socket_.get_executor(),
                 [self, frame = std::move(frame), outcome = std::move(outcome)]() mutable {
                   self->busy_ = false;
                   self->handled(frame, std::move(outcome));
                 });
    });
  }

  void waitThenProcess(Frame frame, Clock::duration wait) {
    waiting_ = std::move(frame);
    timer_.expires_after(wait);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      if (!ec) self->process();
    });
  }

  void handled(const Frame& frame, SessionLogic::Outcome outcome) {
    if (closed_) return;
    if (outcome.retry) {
      metrics().busyWait();
      waitThenProcess(frame, kBusyRetryDelay);
      return;
    }
    if (outcome.loginFailed) {
      auto wait = server_.throttle.failed(address_, Clock::now());
      if (wait.count() > 0) {
        logLine(context_, "repeated failed logins from this address: next login waits " +
                std::to_string(wait.count()) + " ms");
      }
    }
    if (logic_.loggedIn() && context_.user.empty()) context_.user = logic_.user();
    sessionRegistry().ended(id_, frame, outcome.reply, logic_, server_.options.trace);
    reader_.setLimit(logic_.inputLimit());
    outgoing_ = std::move(outcome.reply);
    long long pending = static_cast<long long>(outgoing_.size());
    server_.replyBytes += pending;
    bool closeAfter = outcome.close;
    asio::async_write(socket_, asio::buffer(outgoing_),
                      [self = shared_from_this(), closeAfter, pending](std::error_code ec, std::size_t) {
                        self->server_.replyBytes -= pending;
                        // A large reply's memory is not kept for the life of the session.
                        if (self->outgoing_.capacity() > 256 * 1024) std::string().swap(self->outgoing_);
                        if (self->closed_) return;
                        if (ec) {
                          self->finish("reply not sent (" + ec.message() + ")");
                        } else if (closeAfter) {
                          self->finish(self->logic_.loggedIn() ? "closed after the farewell"
                                                               : "closed after failed logins");
                        } else {
                          self->lastHeard_ = Clock::now();
                          self->armLimits();
                          self->process();
                        }
                      });
    // The next block of a result is laid out while this one travels, and
    // rows beyond those kept in memory are stepped ahead on an SQL thread.
    logic_.prepareAhead();
    startReadAhead();
  }

  void startReadAhead() {
    if (producing_ || busy_ || closed_ || !logic_.startReadAhead()) return;
    producing_ = true;
    asio::post(*server_.sql, [self = shared_from_this(), work = asio::make_work_guard(server_.io)] {
      self->logic_.readAhead([&self] {
        // Rows came for a held continuation request.
        asio::post(self->socket_.get_executor(), [self] {
          if (self->heldForReadAhead_ && !self->closed_) self->process();
        });
      });
      asio::post(self->socket_.get_executor(), [self] {
        self->producing_ = false;
        if (self->closed_) return;
        if (self->heldForReadAhead_) {
          self->process();
        } else {
          self->logic_.prepareAhead();
          self->startReadAhead();
        }
        self->armLimits();
      });
    });
  }

  // The time limits: no login within the pre-login time, silence past the
  // idle time, a result held past its time. One timer, set to the nearest.
  void armLimits() {
    if (closed_) return;  // a timer now would keep the server running after its stop
    const ServerSettings& settings = server_.options.settings;
    std::optional<Clock::time_point> next;
    auto consider = [&next](Clock::time_point at) {
      if (!next || at < *next) next = at;
    };
    if (!logic_.loggedIn()) {
      if (settings.preLoginTimeout.count() > 0) consider(accepted_ + settings.preLoginTimeout);
    } else if (settings.idleTimeout.count() > 0) {
      consider(lastHeard_ + settings.idleTimeout);
    }
    if (settings.resultHold.count() > 0 && !busy_) {
      if (auto opened = logic_.resultOpenedAt()) consider(*opened + settings.resultHold);
    }
    if (!next) return;
    limitTimer_.expires_at(*next);
    limitTimer_.async_wait([self = shared_from_this()](std::error_code ec) {
      if (!ec) self->checkLimits();
    });
  }

  void checkLimits() {
    if (closed_) return;
    const ServerSettings& settings = server_.options.settings;
    Clock::time_point now = Clock::now();
    if (!logic_.loggedIn()) {
      if (settings.preLoginTimeout.count() > 0 && now >= accepted_ + settings.preLoginTimeout) {
        finish("no login within " + seconds(settings.preLoginTimeout) + ": closed");
        return;
      }
    } else if (settings.idleTimeout.count() > 0 && !busy_ && !waiting_ &&
               now >= lastHeard_ + settings.idleTimeout) {
      finish("idle for " + seconds(settings.idleTimeout) + ": closed");
      return;
    }
    if (!busy_ && !producing_ && !waiting_ && settings.resultHold.count() > 0) {
      if (auto opened = logic_.resultOpenedAt(); opened && now >= *opened + settings.resultHold) {
        logic_.releaseResult();
        logLine(context_, "open result let go after " + seconds(settings.resultHold));
      }
    }
    armLimits();
  }

  void finish(const std::string& reason) {
    if (closed_) return;
    closed_ = true;
    logic_.stopReadAhead();
    logLine(context_, reason);
    std::error_code ignored;
    timer_.cancel();
    limitTimer_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  Server::Impl& server_;
  tcp::socket socket_;
  asio::steady_timer timer_;       // busy retries and throttled logins
  asio::steady_timer limitTimer_;  // pre-login, idle and result-hold limits
  std::uint64_t id_;
  std::uint32_t address_;
  LogContext context_;  // the session's number, client and (once logged in) user on its log lines
  FrameReader reader_;
  SessionLogic logic_;
  std::array<char, 16 * 1024> buffer_{};  // per session: 2000 sessions take 32 MB
  std::optional<Frame> waiting_;
  bool admitted_ = false;          // the waiting login has had its turn from the throttle
  bool busy_ = false;              // a frame is being handled on the SQL threads
  bool producing_ = false;         // rows of the open result are stepped ahead on the SQL threads
  bool heldForReadAhead_ = false;  // waiting_ holds a frame until they are (or stop)
  std::string outgoing_;
  Clock::time_point accepted_{};
  Clock::time_point lastHeard_{};
  bool closed_ = false;
};

void Server::Impl::registerConnection(std::uint64_t id, const std::shared_ptr<Connection>& connection) {
  std::lock_guard lock(mutex);
  connections[id] = connection;
}

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
  acceptor.async_accept(asio::make_strand(io), [this](std::error_code ec, tcp::socket socket) {
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
    auto connection = std::make_shared<Connection>(*this, std::move(socket), id, address, peerText);
    registerConnection(id, connection);
    connection->start();
    accept();
  });
}

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() = default;

namespace {

// The SQLite file: it must open for writing now, not at the first login; its
// users are moved to their own file, and the old name of their table stays
// taken. Files this start created are removed again when it fails.
bool startSqlite(Server::Impl& s, std::string& error) {
  const std::string& path = s.options.settings.databasePath;
  bool existed = platform::fileExists(path);
  bool usersExisted = platform::fileExists(userStorePath(path));
  auto forgetNewFiles = [&] {
    if (!existed) {
      for (const char* suffix : {"", "-wal", "-shm"}) platform::removeFile(path + suffix);
    }
    if (!usersExisted) {
      for (const char* suffix : {"", "-wal", "-shm"}) platform::removeFile(userStorePath(path) + suffix);
    }
  };
  {
    // The sessions' file must open for writing now, not at the first login.
    auto probe = Database::open(path, Database::Role::Session, error);
    if (!probe) {
      error = "cannot open the database " + path + " for writing: " + error;
      s.users.reset();
      forgetNewFiles();
      return false;
    }
  }
  int migrated = 0;
  s.users = UserStore::open(path, error, &migrated);
  if (!s.users) {
    error = "cannot open the users of " + path + " (" + userStorePath(path) + "): " + error;
    forgetNewFiles();
    return false;
  }
  if (migrated > 0) {
    logLine(std::to_string(migrated) + " users moved from the database to " + userStorePath(path));
  }
  {
    // The old name of the table of users stays taken, by an empty table no
    // session may name, so that it can never be made to look like one.
    auto main = Database::open(path, Database::Role::Admin, error);
    std::string reserve =
        std::string("CREATE TABLE IF NOT EXISTS main.") + kUserTable + " (reserved INTEGER)";
    if (!main || main->run(reserve.c_str()) != SQLITE_OK) {
      if (main) error = main->errorText();
      error = "cannot prepare the database " + path + ": " + error;
      s.users.reset();
      forgetNewFiles();
      return false;
    }
    s.keeper = std::move(main);
  }
  s.backend = openBackend(path, {}, BackendOptions{}, error);
  return s.backend != nullptr;
}

// PostgreSQL: the installation is prepared (or checked) as the URI's owning
// role, the users are read as that role, and the sessions log in as the
// sessions' role (server/postgres/site.h). With --users PATH the users are
// read from PATH.users instead and the sessions connect with the URI itself.
bool startPostgres(Server::Impl& s, std::string& error) {
  const std::string& uri = s.options.settings.databasePath;
  std::string sessionConninfo = s.options.sessionConninfo;
  if (s.options.usersDatabase.empty()) {
    pg::Site site;
    if (!pg::prepareSite(uri, site, error)) return false;
    s.users = pg::openUserStore(uri, false, error);
    if (!s.users) return false;
    if (sessionConninfo.empty()) sessionConninfo = site.sessionConninfo;
    logLine("PostgreSQL " + pg::redactedUri(uri) + ": sessions as the role " + site.sessionRole);
  } else {
    s.users = UserStore::open(s.options.usersDatabase, error);
    if (!s.users) {
      error = "cannot open the users " + userStorePath(s.options.usersDatabase) + ": " + error;
      return false;
    }
  }
  BackendOptions options;
  options.poolSize = s.options.poolSize;
  if (s.options.usersDatabase.empty() && s.options.sessionConninfo.empty()) {
    options.renewLogin = [uri](const std::string& failed, std::string& why) {
      pg::Site renewed;
      if (!pg::renewSessionLogin(uri, failed, renewed, why)) {
        logLine("the sessions' login failed and cannot be renewed: " + why);
        return std::string();
      }
      if (renewed.sessionConninfo != failed) logLine("the sessions' login renewed");
      return renewed.sessionConninfo;
    };
  }
  s.backend = openBackend(uri, sessionConninfo, options, error);
  if (!s.backend) {
    error = "cannot connect to the PostgreSQL database: " + error;
    s.users.reset();
    return false;
  }
  return true;
}

}  // namespace

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
  const std::string& database = s.options.settings.databasePath;
  if (pg::isPostgresUri(database) ? !startPostgres(s, error) : !startSqlite(s, error)) {
    std::error_code ignored;
    s.acceptor.close(ignored);
    return false;
  }
  long files = platform::fileLimit();
  long fit = files > 0 ? std::max(1L, (files - kReservedFiles) / kFilesPerSession) : 100000;
  s.maxSessions = s.options.maxSessions > 0 ? std::min(s.options.maxSessions, fit) : fit;
  if (s.options.maxSessions > fit) {
    logLine("warning: " + std::to_string(files) + " open files allow " + std::to_string(fit) +
            " sessions, not " + std::to_string(s.options.maxSessions));
  }
  if (s.options.memoryLimitMb > 0) {
    sqlite3_int64 bytes = static_cast<sqlite3_int64>(s.options.memoryLimitMb) * 1024 * 1024;
    sqlite3_hard_heap_limit64(bytes);
    sqlite3_soft_heap_limit64(bytes / 4 * 3);
  }
  s.boundPort = s.acceptor.local_endpoint().port();
  logLine("listening on " + s.options.listen.host + ":" + std::to_string(s.boundPort) + ", database " +
          (pg::isPostgresUri(database) ? "on PostgreSQL (pool of " + std::to_string(s.options.poolSize) + ")"
                                       : database) +
          ", message length " + std::to_string(s.options.settings.messageLength) + ", at most " +
          std::to_string(s.maxSessions) + " sessions");
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
  int sqlThreads = s.options.sqlThreads > 0 ? s.options.sqlThreads : std::max(1, s.options.threads);
  s.sql = std::make_unique<asio::thread_pool>(static_cast<std::size_t>(sqlThreads));
  s.accept();
  std::vector<std::thread> threads;
  for (int i = 1; i < std::max(1, s.options.threads); ++i) {
    threads.emplace_back([&s] { s.io.run(); });
  }
  s.io.run();
  for (auto& thread : threads) thread.join();
  s.sql->join();
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
  });
}

std::size_t Server::sessions() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connections.size();
}

long Server::maxSessions() const { return impl_->maxSessions; }

int defaultThreads() { return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2U, 8U)); }

}  // namespace lumbra::server
