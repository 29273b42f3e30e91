// The PostgreSQL pool when a connection dies unseen while it waits: the message runs again on a new one, unless a
// transaction was open on it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/metrics.h"
#include "tests/server/server_harness.h"
#include "tests/support/postgres_uri.h"

namespace lumbra::server::testing {
namespace {

// A TCP proxy in front of PostgreSQL that can cut the connections open now
// without a word: they stay open and silent until their client sends
// something, which closes them unanswered. So a pooled connection looks alive
// until its first statement, as one whose server died behind a router would.
class QuietProxy {
 public:
  explicit QuietProxy(std::uint16_t target) : target_(target) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      return;
    port_ = ntohs(address.sin_port);
    if (::pipe(wake_) != 0) return;
    thread_ = std::thread([this] { run(); });
  }
  ~QuietProxy() {
    stop_ = true;
    if (wake_[1] >= 0) (void)::write(wake_[1], "x", 1);
    if (thread_.joinable()) thread_.join();
    for (Pair& pair : pairs_) {
      ::close(pair.client);
      ::close(pair.server);
    }
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }
  std::uint16_t port() const { return port_; }
  // The connections open now pass nothing more on.
  void sever() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Pair& pair : pairs_) pair.severed = true;
  }

 private:
  struct Pair {
    int client;
    int server;
    bool severed = false;
  };

  int connectTarget() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(target_);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  // From `from` to `to`: false once `from` is done (closed, failed).
  static bool pass(int from, int to) {
    char buffer[16384];
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got <= 0) return false;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(to, buffer + done, static_cast<std::size_t>(got - done));
      if (put <= 0) return false;
      done += put;
    }
    return true;
  }

  void run() {
    while (!stop_) {
      std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Pair& pair : pairs_) {
          fds.push_back({pair.client, POLLIN, 0});
          fds.push_back({pair.server, POLLIN, 0});
        }
      }
      if (::poll(fds.data(), fds.size(), 200) <= 0) continue;
      if (fds[1].revents != 0) {
        const int client = ::accept(listener_, nullptr, nullptr);
        const int server = client >= 0 ? connectTarget() : -1;
        std::lock_guard<std::mutex> lock(mutex_);
        if (server >= 0) {
          pairs_.push_back({client, server});
        } else if (client >= 0) {
          ::close(client);
        }
      }
      std::lock_guard<std::mutex> lock(mutex_);
      for (std::size_t i = 0; i < pairs_.size();) {
        Pair& pair = pairs_[i];
        short clientEvents = 0, serverEvents = 0;
        for (std::size_t k = 2; k < fds.size(); ++k) {
          if (fds[k].fd == pair.client) clientEvents = fds[k].revents;
          if (fds[k].fd == pair.server) serverEvents = fds[k].revents;
        }
        bool open = true;
        if (clientEvents != 0) open = !pair.severed && pass(pair.client, pair.server);
        if (open && serverEvents != 0 && !pair.severed) open = pass(pair.server, pair.client);
        if (open) {
          ++i;
          continue;
        }
        ::close(pair.client);
        ::close(pair.server);
        pairs_.erase(pairs_.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }

  std::uint16_t target_;
  std::uint16_t port_ = 0;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Pair> pairs_;
  std::thread thread_;
};

// `uri` with its port replaced.
std::string throughPort(const std::string& uri, std::uint16_t port) {
  const std::size_t host = uri.find("@127.0.0.1:");
  const std::size_t colon = uri.find(':', host + 1);
  const std::size_t slash = uri.find('/', colon);
  return uri.substr(0, colon + 1) + std::to_string(port) + uri.substr(slash);
}

TEST(PostgresPool, AMessageMeetingAPooledConnectionThatDiedUnseenRunsAgainOnANewOne) {
  std::string uri;
  LUMBRA_REQUIRE_POSTGRES(uri);
  const std::string port = lumbra::testing::postgresUri("port");
  QuietProxy proxy(static_cast<std::uint16_t>(std::stoi(port)));
  ASSERT_NE(proxy.port(), 0);
  RunningServer server(Engine::Postgres, [&](ServerOptions& options) {
    options.settings.databasePath = throughPort(options.settings.databasePath, proxy.port());
    options.poolSize = 2;
  });
  RawClient client(server.port());
  ASSERT_EQ(statusOf(logIn(client)), "0000");
  auto ok = [&](const std::string& text) {
    const std::string reply = client.exchange(text);
    EXPECT_EQ(statusOf(reply), "0000") << text << " -> " << reply;
    return textOf(reply);
  };
  ok("EXEC CREATE TABLE R (K INTEGER)");
  ok("INSERT INTO R VALUES (1) COMMIT");
  // Each kind of first command a message sends: a statement's limits, a
  // query's read snapshot, a batch's write transaction.
  const char* const messages[] = {"EXEC SELECT COUNT(*) FROM R", "SELECT K FROM R",
                                  "INSERT INTO R VALUES (2) COMMIT"};
  for (const char* message : messages) {
    SCOPED_TRACE(message);
    proxy.sever();
    ok(message);
  }
  EXPECT_EQ(ok("EXEC SELECT COUNT(*) FROM R"), "2");
  // Inside a transaction the message cannot run again: the transaction is
  // lost, said once, and the next command works.
  ok("INSERT INTO R VALUES (3) ");
  proxy.sever();
  const std::string lost = client.exchange("COMMIT");
  EXPECT_EQ(statusOf(lost), "2010") << lost;
  EXPECT_NE(textOf(lost).find("TRANSACAO DESFEITA (1 ATUALIZACOES PERDIDAS)"), std::string::npos) << lost;
  EXPECT_EQ(ok("EXEC SELECT COUNT(*) FROM R"), "2");
}

// The metrics show the pool's connections in use while a session holds one
// (its transaction), and idle once it is given back.
TEST(PostgresPool, ItsUseIsInTheMetrics) {
  std::string uri;
  LUMBRA_REQUIRE_POSTGRES(uri);
  RunningServer server(Engine::Postgres, [](ServerOptions& options) { options.poolSize = 2; });
  RawClient client(server.port());
  ASSERT_EQ(statusOf(logIn(client)), "0000");
  auto gauge = [](const std::string& state) {
    const std::string text = metrics().exposition();
    const std::string head = "lumbra_postgres_pool_connections{state=\"" + state + "\"} ";
    const std::size_t at = text.find(head);
    return at == std::string::npos ? std::string("absent") : text.substr(at + head.size(), text.find('\n', at) - at - head.size());
  };
  EXPECT_EQ(statusOf(client.exchange("EXEC CREATE TABLE M (K INTEGER)")), "0000");
  EXPECT_EQ(gauge("in_use"), "1");
  EXPECT_EQ(statusOf(client.exchange("COMMIT")), "0000");
  EXPECT_EQ(gauge("in_use"), "0");
  EXPECT_EQ(gauge("idle"), "1");
}

}  // namespace
}  // namespace lumbra::server::testing
