// The interactive workload: point SELECTs and one-row UPDATE+COMMITs, one client and several at once.
#include "bench/compare/interactive.h"

#include <libpq-fe.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/compare/latency.h"
#include "bench/compare/workload.h"
#include "client/lumbra32.h"
#include "protocol/wire.h"
#include "server/rows.h"
#include "tests/support/server_process.h"

namespace lumbra::bench {

namespace {

constexpr char kTable[] = "BENCH";

std::string selectText(long id) {
  return "SELECT ID, NAME, CITY FROM BENCH WHERE ID = " + std::to_string(id);
}

std::string updateText(long id, long serial) {
  // Thirty characters, as every CITY of the table: the row stays 100 bytes.
  char city[32];
  std::snprintf(city, sizeof city, "CIDADE %09ld ALTERADA NOVA", serial);
  return "UPDATE BENCH SET CITY = '" + std::string(city) + "' WHERE ID = " + std::to_string(id);
}

// The keys one client visits: a fixed sequence of its own, spread over the table.
class Keys {
 public:
  Keys(long rows, int client)
      : rows_(rows), state_(0x9E3779B97F4A7C15ULL * static_cast<std::uint64_t>(client + 1)) {}
  long next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return kFirstId + static_cast<long>((state_ >> 33) % static_cast<std::uint64_t>(rows_));
  }

 private:
  long rows_;
  std::uint64_t state_;
};

// One client of a peer: the two operations, each one exchange with its server.
class Client {
 public:
  virtual ~Client() = default;
  virtual void select(long id) = 0;
  virtual void update(long id, long serial) = 0;
};
using ClientMaker = std::function<std::unique_ptr<Client>()>;

class LumbraClient final : public Client {
 public:
  LumbraClient(const std::string& address, int messageLength)
      : buffer_(static_cast<std::size_t>(messageLength) + 64) {
    handle_ = static_cast<int16_t>(LBConnect(kUser, kPassword, "", address.c_str(), buffer_.data()));
    if (handle_ < 0) die(std::string("LBConnect: ") + buffer_.data());
  }
  ~LumbraClient() override { LBDisconn(handle_, buffer_.data()); }

  void select(long id) override {
    const std::string text = selectText(id);
    const int32_t count = LBCommand(handle_, text.c_str(), buffer_.data());
    if (count != 1) die("point SELECT: " + std::to_string(count) + " " + buffer_.data());
    if (LBGetNext(handle_, buffer_.data()) != static_cast<int32_t>(kRowBytes))
      die(std::string("LBGetNext: ") + buffer_.data());
  }
  void update(long id, long serial) override {
    const std::string text = updateText(id, serial);
    if (LBCommand(handle_, text.c_str(), buffer_.data()) != 0) die(std::string("UPDATE: ") + buffer_.data());
    if (LBCommand(handle_, "COMMIT", buffer_.data()) != 1) die(std::string("COMMIT: ") + buffer_.data());
  }

 private:
  std::vector<char> buffer_;
  int32_t handle_ = -1;
};

class PostgresClient final : public Client {
 public:
  explicit PostgresClient(const std::string& conninfo) : conn_(PQconnectdb(conninfo.c_str())) {
    if (PQstatus(conn_) != CONNECTION_OK) die("PostgreSQL connection: " + std::string(PQerrorMessage(conn_)));
  }
  ~PostgresClient() override { PQfinish(conn_); }

  void select(long id) override {
    PGresult* r = PQexec(conn_, selectText(id).c_str());
    if (PQresultStatus(r) != PGRES_TUPLES_OK || PQntuples(r) != 1)
      die("PostgreSQL point SELECT: " + std::string(PQerrorMessage(conn_)));
    // The row as lumbra32 delivers it: the three values side by side.
    std::size_t at = 0;
    for (int c = 0; c < 3; ++c) {
      const std::size_t width = c == 0 ? 10 : c == 1 ? 60 : 30;
      const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(PQgetlength(r, 0, c)), width);
      std::memcpy(row_ + at, PQgetvalue(r, 0, c), length);
      at += length;
    }
    row_[at] = '\0';
    PQclear(r);
  }
  void update(long id, long serial) override {
    PGresult* r = PQexec(conn_, updateText(id, serial).c_str());
    if (PQresultStatus(r) != PGRES_COMMAND_OK || std::strcmp(PQcmdTuples(r), "1") != 0)
      die("PostgreSQL UPDATE: " + std::string(PQerrorMessage(conn_)));
    PQclear(r);
  }

 private:
  PGconn* conn_;
  char row_[kRowBytes + 1];
};

struct Rate {
  double perSecond = 0;
  double p50Us = 0;
  double p99Us = 0;
  double serverCpuUs = -1;  // the server's CPU per operation (lumbra-server only)
};

enum class Operation { Select, Update };

// What a client process reports: when it began and ended (steady clock, the
// same in every process), and each operation's latency.
struct ClientReport {
  double begin = 0;
  double end = 0;
  std::vector<float> latencies;
};

double steadySeconds() { return seconds(std::chrono::steady_clock::now().time_since_epoch()); }

// `clients` processes at once, each connected before the clock starts and
// doing `each` operations: their aggregate rate and latencies.
Rate runClients(const ClientMaker& make, Operation operation, int clients, long each, long rows,
                int serverPid, long& serial) {
  std::vector<pid_t> children;
  std::vector<int> reports;
  int ready[2], go[2];
  if (::pipe(ready) != 0 || ::pipe(go) != 0) die("pipe");
  std::fflush(stdout);
  std::fflush(stderr);
  for (int c = 0; c < clients; ++c) {
    int report[2];
    if (::pipe(report) != 0) die("pipe");
    const long firstSerial = serial + static_cast<long>(c) * (each + 1000);
    const pid_t child = ::fork();
    if (child < 0) die("fork");
    if (child == 0) {
      ::close(ready[0]);
      ::close(go[1]);
      ::close(report[0]);
      std::unique_ptr<Client> client = make();
      Keys keys(rows, c);
      long next = firstSerial;
      auto once = [&] {
        if (operation == Operation::Select) {
          client->select(keys.next());
        } else {
          client->update(keys.next(), next++);
        }
      };
      // Warmed up before the clock starts: caches, the first statements.
      for (long i = 0; i < std::min(200L, each); ++i) once();
      char byte = 'r';
      if (!writeAll(ready[1], &byte, 1) || !readAll(go[0], &byte, 1)) ::_exit(1);
      Latencies latencies(static_cast<std::size_t>(each));
      ClientReport out;
      out.begin = steadySeconds();
      for (long i = 0; i < each; ++i) {
        const auto start = latencies.start();
        once();
        latencies.stop(start);
      }
      out.end = steadySeconds();
      const std::uint64_t count = latencies.all().size();
      writeAll(report[1], &out.begin, sizeof out.begin);
      writeAll(report[1], &out.end, sizeof out.end);
      writeAll(report[1], &count, sizeof count);
      writeAll(report[1], latencies.all().data(), count * sizeof(float));
      client.reset();
      ::_exit(0);
    }
    ::close(report[1]);
    children.push_back(child);
    reports.push_back(report[0]);
  }
  serial += static_cast<long>(clients) * (each + 1000);
  ::close(ready[1]);
  ::close(go[0]);
  for (int c = 0; c < clients; ++c) {
    char byte = 0;
    if (!readAll(ready[0], &byte, 1)) die("a client process failed before the start");
  }
  const double cpu0 = serverPid > 0 ? processCpuSeconds(serverPid) : 0;
  const std::string start(static_cast<std::size_t>(clients), 'g');
  writeAll(go[1], start.data(), start.size());
  Latencies all;
  double begin = 0, end = 0;
  for (int c = 0; c < clients; ++c) {
    ClientReport report;
    std::uint64_t count = 0;
    if (!readAll(reports[static_cast<std::size_t>(c)], &report.begin, sizeof report.begin) ||
        !readAll(reports[static_cast<std::size_t>(c)], &report.end, sizeof report.end) ||
        !readAll(reports[static_cast<std::size_t>(c)], &count, sizeof count))
      die("a client process failed");
    report.latencies.resize(count);
    if (!readAll(reports[static_cast<std::size_t>(c)], report.latencies.data(), count * sizeof(float)))
      die("a client process failed");
    all.add(report.latencies);
    begin = c == 0 ? report.begin : std::min(begin, report.begin);
    end = c == 0 ? report.end : std::max(end, report.end);
    ::close(reports[static_cast<std::size_t>(c)]);
  }
  const double cpu1 = serverPid > 0 ? processCpuSeconds(serverPid) : 0;
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("a client process failed");
  }
  ::close(ready[0]);
  ::close(go[1]);
  Rate rate;
  const double operations = static_cast<double>(all.all().size());
  rate.perSecond = operations / (end - begin);
  rate.p50Us = all.percentile(50);
  rate.p99Us = all.percentile(99);
  if (serverPid > 0) rate.serverCpuUs = (cpu1 - cpu0) * 1e6 / operations;
  return rate;
}

struct PeerFigures {
  std::string label;
  Rate select1, update1, selectN, updateN;
};

PeerFigures runPeer(const std::string& label, const ClientMaker& make, const InteractiveOptions& options,
                    int serverPid) {
  PeerFigures f;
  f.label = label;
  const long one = options.operations;
  const long each = std::max(1L, options.operations / options.clients);
  long serial = 0;
  f.select1 = runClients(make, Operation::Select, 1, one, options.rows, serverPid, serial);
  f.update1 = runClients(make, Operation::Update, 1, one, options.rows, serverPid, serial);
  f.selectN = runClients(make, Operation::Select, options.clients, each, options.rows, serverPid, serial);
  f.updateN = runClients(make, Operation::Update, options.clients, each, options.rows, serverPid, serial);
  return f;
}

void loadPostgres(const InteractiveOptions& options) {
  PGconn* conn = PQconnectdb(options.pg.c_str());
  if (PQstatus(conn) != CONNECTION_OK) die("PostgreSQL connection: " + std::string(PQerrorMessage(conn)));
  PQsetNoticeProcessor(
      conn, [](void*, const char*) {}, nullptr);
  auto exec = [conn](const std::string& sql) {
    PGresult* r = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      die("PostgreSQL: " + std::string(PQerrorMessage(conn)));
    PQclear(r);
  };
  exec(std::string("DROP TABLE IF EXISTS ") + kTable);
  exec(std::string("CREATE TABLE ") + kTable + " " + kColumns);
  exec("BEGIN");
  std::string message;
  for (long i = 0; i < options.rows; ++i) {
    message += insertText(i, kTable);
    message += ';';
    if (message.size() >= 32000 || i + 1 == options.rows) {
      exec(message);
      message.clear();
    }
  }
  exec("COMMIT");
  exec(std::string("VACUUM ANALYZE ") + kTable);
  PQfinish(conn);
}

void loadLumbra(const std::string& address, const InteractiveOptions& options) {
  std::vector<char> buffer(static_cast<std::size_t>(options.messageLength) + 64);
  char* msg = buffer.data();
  const int32_t handle = static_cast<int16_t>(LBConnect(kUser, kPassword, "", address.c_str(), msg));
  if (handle < 0) die(std::string("LBConnect: ") + msg);
  const std::string create = std::string("EXEC CREATE TABLE ") + kTable + " " + kColumns;
  if (LBCommand(handle, create.c_str(), msg) < 0 || LBCommand(handle, "COMMIT", msg) < 0)
    die(std::string("CREATE TABLE: ") + msg);
  for (long i = 0; i < options.rows; ++i) {
    if (LBCommand(handle, insertText(i, kTable).c_str(), msg) != 0) die(std::string("INSERT: ") + msg);
  }
  if (LBCommand(handle, "COMMIT", msg) < 0) die(std::string("COMMIT: ") + msg);
  LBDisconn(handle, msg);
}

// The bytes of a point SELECT's message and of its reply, as lumbra32 and lumbra-server exchange them.
void pointSelectSizes(long rows, std::size_t& request, std::size_t& reply) {
  const long id = kFirstId + rows / 2;
  request = selectText(id).size() + kEndOfBlockLength;
  std::string block =
      std::string(kSelectHeadLength, '0') + "ID=N(10),NAME=A(60),CITY=A(30)" + kDescriptionEnd;
  lumbra::server::appendEncodedRow(std::to_string(id) + nameOf(rows / 2) + cityOf(rows / 2), block);
  reply = block.size() + kEndOfBlockLength;
}

void printRate(const Rate& r) { std::printf(" %.0f | %.0f / %.0f us |", r.perSecond, r.p50Us, r.p99Us); }

}  // namespace

void runInteractive(const InteractiveOptions& options) {
  std::printf(
      "\ninteractive workload: table of %ld rows, %ld operations per figure, 1 client and %d at once, "
      "message length %d\n",
      options.rows, options.operations, options.clients, options.messageLength);
  std::fflush(stdout);
  std::vector<PeerFigures> peers;
  const PeerFigures* pg = nullptr;
  if (!options.pg.empty()) {
    loadPostgres(options);
    const std::string conninfo = options.pg;
    peers.push_back(runPeer(
        "PostgreSQL + libpq", [conninfo] { return std::make_unique<PostgresClient>(conninfo); }, options, 0));
  }
  {
    suite_test::ServerProcess server;
    if (!server.start(options.server, kUser, kPassword,
                      {"--message-length", std::to_string(options.messageLength), "--quiet"}))
      die(server.error());
    loadLumbra(server.address(), options);
    const std::string address = server.address();
    const int length = options.messageLength;
    peers.push_back(runPeer(
        "lumbra32 + lumbra-server",
        [address, length] { return std::make_unique<LumbraClient>(address, length); }, options,
        server.pid()));
  }
  if (!options.pg.empty()) pg = &peers.front();
  const PeerFigures& lumbra = peers.back();

  std::size_t request = 0, reply = 0;
  pointSelectSizes(options.rows, request, reply);
  const EchoFigures echo = echoFloor(request, reply, options.operations);

  std::printf(
      "\n| | point SELECTs/s, 1 client | p50 / p99 | UPDATE+COMMIT/s, 1 client | p50 / p99 | "
      "point SELECTs/s, %d clients | p50 / p99 | UPDATE+COMMIT/s, %d clients | p50 / p99 |\n"
      "|---|---|---|---|---|---|---|---|---|\n",
      options.clients, options.clients);
  for (const PeerFigures& f : peers) {
    std::printf("| %s |", f.label.c_str());
    printRate(f.select1);
    printRate(f.update1);
    printRate(f.selectN);
    printRate(f.updateN);
    std::printf("\n");
  }
  std::printf("| plain exchange, %zu bytes out, %zu back | %.0f | %.0f / %.0f us | | | | | | |\n", request,
              reply, echo.exchangesPerSecond, echo.p50Us, echo.p99Us);
  std::printf(
      "\nlumbra-server CPU per operation: point SELECT %.1f us (1 client), %.1f us (%d); "
      "UPDATE+COMMIT %.1f us (1 client), %.1f us (%d)\n",
      lumbra.select1.serverCpuUs, lumbra.selectN.serverCpuUs, options.clients, lumbra.update1.serverCpuUs,
      lumbra.updateN.serverCpuUs, options.clients);

  std::printf("\ngoals\n");
  char text[96];
  if (pg != nullptr) {
    double ratio = lumbra.select1.perSecond / pg->select1.perSecond;
    goal("point SELECTs/s, 1 client, vs PostgreSQL", ">= 1.2x", ratio, "x", ratio >= 1.2);
    ratio = lumbra.update1.perSecond / pg->update1.perSecond;
    goal("UPDATE+COMMIT/s, 1 client, vs PostgreSQL", ">= 1.2x", ratio, "x", ratio >= 1.2);
  }
  double ratio = lumbra.select1.perSecond / echo.exchangesPerSecond;
  goal("point SELECTs/s, 1 client, vs the plain exchange of their sizes", ">= 0.8x", ratio, "x",
       ratio >= 0.8);
  if (pg != nullptr) {
    std::snprintf(text, sizeof text, "point SELECTs/s, %d clients, vs PostgreSQL", options.clients);
    ratio = lumbra.selectN.perSecond / pg->selectN.perSecond;
    goal(text, ">= 1.2x", ratio, "x", ratio >= 1.2);
    std::snprintf(text, sizeof text, "UPDATE+COMMIT/s, %d clients, vs PostgreSQL", options.clients);
    ratio = lumbra.updateN.perSecond / pg->updateN.perSecond;
    goal(text, ">= 0.8x", ratio, "x", ratio >= 0.8);
    std::snprintf(text, sizeof text, "p99 of UPDATE+COMMIT, %d clients, vs PostgreSQL's", options.clients);
    ratio = lumbra.updateN.p99Us / pg->updateN.p99Us;
    goal(text, "<= 2x", ratio, "x", ratio <= 2);
  }
  std::fflush(stdout);
}

}  // namespace lumbra::bench
