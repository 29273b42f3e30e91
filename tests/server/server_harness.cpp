// The in-process server and the raw-byte client of the server tests.
#include "tests/server/server_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "protocol/credentials.h"
#include "protocol/ebcdic.h"
#include "protocol/run_length.h"
#include "server/log.h"
#include "server/postgres/libpq.h"
#include "server/users.h"
#include "tests/support/postgres_uri.h"

namespace lumbra::server::testing {

std::string engineName(Engine engine) { return engine == Engine::Sqlite ? "Sqlite" : "Postgres"; }

PostgresSchema::PostgresSchema() {
  owner_ = lumbra::testing::postgresUri();
  if (owner_.empty()) throw std::runtime_error("no PostgreSQL for this run (LUMBRA_TEST_POSTGRES_URI_FILE)");
  // Unique among the tests running at once on the one database.
  static std::atomic<int> counter{0};
  name_ = "lumbra_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
          std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007);
  std::string error;
  pg::Connection owner = pg::connect(owner_, error);
  if (!owner) throw std::runtime_error(error);
  pg::Result made = pg::exec(owner.get(), "CREATE SCHEMA " + name_);
  if (!pg::ok(made.get())) throw std::runtime_error(pg::errorText(made.get()));
  uri_ = owner_ + (owner_.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + name_ +
         "&application_name=" + name_;
}

PostgresSchema::~PostgresSchema() {
  std::string error;
  pg::Connection owner = pg::connect(owner_, error);
  if (!owner) return;
  PQsetNoticeProcessor(
      owner.get(), [](void*, const char*) {}, nullptr);  // "drop cascades to ..."
  pg::exec(owner.get(), "DROP SCHEMA " + name_ + " CASCADE");
}

std::string PostgresSchema::query(const std::string& sql) const {
  std::string error;
  pg::Connection owner = pg::connect(uri_, error);
  if (!owner) throw std::runtime_error(error);
  pg::Result result = pg::exec(owner.get(), sql);
  if (!pg::ok(result.get())) throw std::runtime_error(pg::errorText(result.get()));
  if (PQntuples(result.get()) == 0 || PQnfields(result.get()) == 0) return {};
  return PQgetvalue(result.get(), 0, 0);
}

RunningServer::RunningServer(Engine engine, const std::function<void(ServerOptions&)>& adjust) {
  if (engine == Engine::Postgres) schema_ = std::make_unique<PostgresSchema>();
  begin(
      [&](ServerOptions& options) {
        if (schema_) {
          options.usersDatabase = options.settings.databasePath;
          options.settings.databasePath = schema_->uri();
        }
        if (adjust) adjust(options);
      },
      {});
}

RunningServer::RunningServer(int messageLength, int busyTimeoutMs, int statementTimeoutS) {
  begin(
      [&](ServerOptions& options) {
        options.settings.messageLength = messageLength;
        options.settings.busyTimeoutMs = busyTimeoutMs;
        options.settings.statementTimeout = std::chrono::seconds(statementTimeoutS);
      },
      {});
}

RunningServer::RunningServer(const std::function<void(ServerOptions&)>& adjust,
                             const std::function<void(const std::string&)>& prepare) {
  begin(adjust, prepare);
}

void RunningServer::begin(const std::function<void(ServerOptions&)>& adjust,
                          const std::function<void(const std::string&)>& prepare) {
  setLogging(std::getenv("LUMBRA_SERVER_TEST_LOG") != nullptr);
  options_.listen.host = "127.0.0.1";
  options_.listen.port = 0;
  options_.settings.databasePath = folder_.file("test.db");
  options_.settings.busyTimeoutMs = 300;
  options_.threads = 2;
  if (adjust) adjust(options_);
  if (prepare) prepare(options_.settings.databasePath);
  {
    std::string error;
    auto users = UserStore::open(
        options_.usersDatabase.empty() ? options_.settings.databasePath : options_.usersDatabase, error);
    if (!users) throw std::runtime_error(error);
    users->add("ALICE", "SECRET", 10);
    users->add("BOB", "HUNTER2", 10);
  }
  server_ = std::make_unique<Server>(options_);
  std::string error;
  if (!server_->start(error)) throw std::runtime_error(error);
  thread_ = std::thread([this] { server_->run(false); });
}

RunningServer::~RunningServer() {
  server_->stop();
  thread_.join();
  server_.reset();
}

RawClient::RawClient(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) return;
  timeval timeout{5, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) close();
}

RawClient::~RawClient() { close(); }

void RawClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void RawClient::sendBytes(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

std::string RawClient::receiveReply() {
  std::string reply;
  char buffer[65536];
  while (fd_ >= 0) {
    ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(got));
    if (reply.size() >= 12 && reply.ends_with("LBXEOB")) break;  // a CONT block may be 12
  }
  return reply;
}

std::string RawClient::exchange(std::string_view text) {
  sendMessage(text);
  return receiveReply();
}

bool RawClient::closedByPeer() {
  char byte;
  return fd_ >= 0 && ::recv(fd_, &byte, 1, 0) == 0;
}

std::string loginMessage(std::string_view id, std::string_view first, std::string_view second) {
  char area[60];
  std::memset(area, ' ', sizeof area);
  std::memcpy(area, id.data(), std::min<std::size_t>(id.size(), 11));
  std::memcpy(area + 11, first.data(), std::min<std::size_t>(first.size(), 24));
  std::memcpy(area + 35, second.data(), std::min<std::size_t>(second.size(), 25));
  char block[111];
  scrambleCredentials(area, block);
  return std::string("ID \"") + std::string(block, 110) + "2.4\"";
}

std::string logIn(RawClient& client, std::string_view id, std::string_view password,
                  std::string_view newPassword) {
  client.exchange("LUMT");
  client.sendBytes(loginMessage(id, password, newPassword));
  return client.receiveReply();
}

std::string statusOf(const std::string& reply) {
  if (reply.size() < 16 || !reply.ends_with("LBXEOB")) return "";
  return reply.substr(6, 4);
}

std::string textOf(const std::string& reply) {
  if (reply.size() < 16 || !reply.ends_with("LBXEOB")) return "";
  return reply.substr(10, reply.size() - 16);
}

std::string binaryInsert(std::string_view prefix, std::string_view data, bool zeroBeforeMarker) {
  // As the client prepares it: the text up to its last '=', then the clause.
  std::string text(prefix.substr(0, prefix.rfind('=')));
  char clause[16];
  std::snprintf(clause, sizeof clause, "(%05zu)='", data.size());
  text += clause;
  std::string wire;
  for (char c : text) wire.push_back(static_cast<char>(asciiToEbcdic(static_cast<unsigned char>(c))));
  wire.append(data);
  wire.push_back(static_cast<char>(0x7D));
  if (zeroBeforeMarker) wire.push_back('\0');
  wire += "LBXEOB";
  return wire;
}

std::vector<std::string> decodeRows(std::string_view block, std::size_t rowLength) {
  std::vector<std::string> rows;
  std::size_t at = 0;
  std::string row(rowLength, '\0');
  while (at < block.size()) {
    std::ptrdiff_t used =
        decodeIncomingRunLength(block.data() + at, block.size() - at, row.data(), rowLength);
    if (used <= 0 && rowLength > 0) break;
    rows.push_back(row);
    at += static_cast<std::size_t>(used);
    if (rowLength == 0) break;
  }
  return rows;
}

}  // namespace lumbra::server::testing
