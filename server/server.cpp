// The Asio acceptor, the connection objects and the orderly shutdown.
#include "server/server.h"

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/wire.h"
#include "server/log.h"

namespace lumbra::server {

namespace {

using asio::ip::tcp;
constexpr auto kBusyRetryDelay = std::chrono::milliseconds(20);
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

std::string describeMessage(const Frame& frame) {
  switch (frame.kind) {
    case Frame::Kind::Login:
      return "login";
    case Frame::Kind::BinaryInsert:
      return "binary insert, " + std::to_string(frame.data.size()) + " data bytes";
    case Frame::Kind::Malformed:
      return "malformed binary insert";
    case Frame::Kind::Oversized:
      return "oversized message";
    case Frame::Kind::Ordinary:
      break;
  }
  std::string word = frame.text.substr(0, std::min<std::size_t>(frame.text.find(' '), 16));
  return std::to_string(frame.text.size()) + " bytes " + hostText(word, false);
}

}  // namespace

class Connection;

struct Server::Impl {
  explicit Impl(ServerOptions opts) : options(std::move(opts)) {}

  void accept();
  void registerConnection(std::uint64_t id, const std::shared_ptr<Connection>& connection);
  void forget(std::uint64_t id);
  void closeAll();

  ServerOptions options;
  asio::io_context io;
  // The acceptor, the signals and the accept retry share one strand.
  asio::strand<asio::io_context::executor_type> control{asio::make_strand(io)};
  tcp::acceptor acceptor{control};
  asio::signal_set signals{control};
  asio::steady_timer acceptRetry{control};
  std::unique_ptr<UserStore> users;
  mutable std::mutex mutex;
  std::map<std::uint64_t, std::weak_ptr<Connection>> connections;
  std::uint64_t nextId = 1;
  std::atomic<bool> stopping{false};
  std::uint16_t boundPort = 0;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server::Impl& server, tcp::socket socket, std::uint64_t id, std::uint32_t address,
             std::string peer)
      : server_(server),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        id_(id),
        prefix_("session " + std::to_string(id) + " " + peer + ": "),
        reader_(kInitialBufferSize + 1024),
        logic_(server.options.settings, *server.users, address,
               [this](const std::string& line) { logLine(prefix_ + line); }) {}

  ~Connection() {
    server_.forget(id_);
  }

  void start() {
    logLine(prefix_ + "connected");
    read();
  }

  // From any thread: closes the connection on its own strand.
  void close() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->finish("server stopping"); });
  }

 private:
  void read() {
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](std::error_code ec,
                                                                               std::size_t n) {
      if (ec) {
        if (self->closed_) return;
        std::string reason = ec == asio::error::eof ? "client closed the connection"
                                                    : "connection lost (" + ec.message() + ")";
        if (self->reader_.buffered() > 0) reason += " in the middle of a message";
        self->finish(reason);
        return;
      }
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
    } else {
      frame = reader_.next();
    }
    if (!frame) {
      read();
      return;
    }
    SessionLogic::Outcome outcome = logic_.handle(*frame);
    if (outcome.retry) {
      waiting_ = std::move(frame);
      timer_.expires_after(kBusyRetryDelay);
      timer_.async_wait([self = shared_from_this()](std::error_code ec) {
        if (!ec) self->process();
      });
      return;
    }
    if (server_.options.trace) {
      logLine(prefix_ + "<- " + describeMessage(*frame) + ", -> " +
              std::to_string(outcome.reply.size()) + " bytes " + outcome.reply.substr(0, 10));
    }
    reader_.setLimit(logic_.inputLimit());
    outgoing_ = std::move(outcome.reply);
    bool closeAfter = outcome.close;
    asio::async_write(socket_, asio::buffer(outgoing_),
                      [self = shared_from_this(), closeAfter](std::error_code ec, std::size_t) {
                        // A large reply's memory is not kept for the life of the session.
                        if (self->outgoing_.capacity() > 256 * 1024) std::string().swap(self->outgoing_);
                        if (ec) {
                          self->finish("reply not sent (" + ec.message() + ")");
                        } else if (closeAfter) {
                          self->finish("closed after the farewell");
                        } else {
                          self->process();
                        }
                      });
    // The next block of a result is laid out while this one travels.
    logic_.prepareAhead();
  }

  void finish(const std::string& reason) {
    if (closed_) return;
    closed_ = true;
    logLine(prefix_ + reason);
    std::error_code ignored;
    timer_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  Server::Impl& server_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  std::uint64_t id_;
  std::string prefix_;
  FrameReader reader_;
  SessionLogic logic_;
  std::array<char, 16 * 1024> buffer_{};  // per session: 2000 sessions take 32 MB
  std::optional<Frame> waiting_;
  std::string outgoing_;
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

void Server::Impl::accept() {
  acceptor.async_accept(asio::make_strand(io), [this](std::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || stopping) return;
    if (ec) {
      // Out of descriptors, for instance: wait a little instead of spinning.
      logLine("accept failed: " + ec.message());
      acceptRetry.expires_after(kAcceptRetryDelay);
      acceptRetry.async_wait([this](std::error_code waited) {
        if (!waited && !stopping) accept();
      });
      return;
    }
    std::error_code peerError;
    tcp::endpoint peer = socket.remote_endpoint(peerError);
    std::uint32_t address = 0;
    if (!peerError && peer.address().is_v4()) address = peer.address().to_v4().to_uint();
    std::string peerText = peerError ? std::string("?")
                                     : peer.address().to_string() + ":" + std::to_string(peer.port());
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

bool Server::start(std::string& error) {
  Impl& s = *impl_;
  s.users = UserStore::open(s.options.settings.databasePath, error);
  if (!s.users) {
    error = "cannot open the database " + s.options.settings.databasePath + ": " + error;
    return false;
  }
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
    error = "cannot listen on " + s.options.listen.host + ":" +
            std::to_string(s.options.listen.port) + ": " + ec.message();
    return false;
  }
  s.boundPort = s.acceptor.local_endpoint().port();
  logLine("listening on " + s.options.listen.host + ":" + std::to_string(s.boundPort) +
          ", database " + s.options.settings.databasePath + ", message length " +
          std::to_string(s.options.settings.messageLength));
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
  s.accept();
  std::vector<std::thread> threads;
  for (int i = 1; i < std::max(1, s.options.threads); ++i) {
    threads.emplace_back([&s] { s.io.run(); });
  }
  s.io.run();
  for (auto& thread : threads) thread.join();
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

int defaultThreads() {
  return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2U, 8U));
}

long raiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<long>(limit.rlim_cur);
}

}  // namespace lumbra::server
