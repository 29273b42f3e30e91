// compare.cpp -- lumbra32 + lumbra-server side by side with PostgreSQL + libpq: the bulk workload
// (batched inserts, one SELECT of every row) at several message lengths, and the interactive
// workload (bench/compare/interactive.h), each beside a plain loopback exchange of its sizes.
//
// Bulk workload: a table of N rows of 100 bytes (ID INTEGER PRIMARY KEY, NAME CHAR(60),
// CITY CHAR(30)); the inserts batched (about 32 KB a message) in one
// transaction, then one SELECT of every row read row by row.
//   - PostgreSQL: multi-statement INSERT messages of about 32 KB inside BEGIN and
//     COMMIT, then the SELECT in single-row mode, each row's three values
//     copied into a 100-byte row as lumbra32 delivers it.
//   - lumbra32: INSERTs batched by the library, COMMIT, then the SELECT read
//     with LBGetNext; a fresh server per message length. The server's resident
//     memory is sampled during the SELECT and reported above its level just
//     before it, and its CPU per row read is taken from its process times.
//   - echo floor: two processes exchanging a CONT-sized request and a reply of
//     the message length over loopback TCP, no database; its client's CPU per
//     exchange, times the SELECT's blocks, per row, is the part of the client
//     CPU per row that the system calls and wake-ups of the exchanges take.
//   - lumbra32 through lumbra-server on PostgreSQL (--pg-server URI, message
//     length 32000): the same inserts and SELECT, the server's sessions on
//     PostgreSQL; its reads are set against the direct libpq reads (goal 0.8x).
// Figures and the goals (each marked met or not) are printed; nothing is asserted
// about them. The program fails only when a library, a server or the database
// misbehaves.
//
// Usage: lumbra_compare [--workloads bulk,interactive] [--rows N] [--lengths A,B,...]
//                       [--interactive-rows N] [--operations N] [--clients N]
//                       [--server PATH] [--pg CONNINFO] [--pg-server POSTGRESQL-URI]
// (without --pg the PostgreSQL column is left out; bench/compare/run.sh starts a
// throwaway PostgreSQL and passes both).
#include <unistd.h>

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/compare/interactive.h"
#include "bench/compare/workload.h"
#include "client/lumbra32.h"
#include "server/rows.h"
#include "tests/support/server_process.h"

#ifndef LUMBRA_COMPARE_SERVER
#  define LUMBRA_COMPARE_SERVER ""
#endif

namespace {

using namespace lumbra::bench;

constexpr std::size_t kRequestBytes = 16;  // "CONT=001" and the marker, about
constexpr int kPostgresLength = 32000;     // the message length of lumbra-server on PostgreSQL

struct Options {
  bool bulk = true;
  bool interactive = true;
  long rows = 1000000;
  std::vector<int> lengths{1901, 32000, 1000000};
  std::string server = LUMBRA_COMPARE_SERVER;
  std::string pg;
  std::string pgServer;  // a PostgreSQL URI: lumbra-server on PostgreSQL too
  InteractiveOptions interactiveOptions;
};

struct Figures {
  std::string label;
  double insertsPerSecond = 0;
  double insertCpuNs = 0;
  double rowsPerSecond = 0;
  double rowCpuNs = 0;
  double blocksPerSecond = 0;
  double echoBlocksPerSecond = 0;
  double blocks = 0;         // the SELECT's blocks
  double echoRowCpuNs = -1;  // the echo client's CPU for as many exchanges as the SELECT's blocks, per row
  double memoryAboveIdleMb = -1;
  double serverCpuNs = -1;  // the server's CPU per row read
  int length = 0;
  bool onPostgres = false;  // lumbra-server with --database postgresql://...
};

// Resident memory of a process in bytes (0 when it cannot be read).
std::size_t residentBytes(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/statm");
  std::size_t pages = 0, resident = 0;
  in >> pages >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Samples a process's resident memory every few milliseconds until stopped.
class MemorySampler {
 public:
  explicit MemorySampler(int pid) : pid_(pid), idle_(residentBytes(pid)), peak_(idle_) {
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        peak_ = std::max(peak_, residentBytes(pid_));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  double stopAboveIdleMb() {
    stop_ = true;
    thread_.join();
    peak_ = std::max(peak_, residentBytes(pid_));
    return static_cast<double>(peak_ - idle_) / 1e6;
  }

 private:
  int pid_;
  std::size_t idle_;
  std::size_t peak_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---------------------------------------------------------------- PostgreSQL

void pgExec(PGconn* conn, const std::string& sql) {
  PGresult* r = PQexec(conn, sql.c_str());
  const ExecStatusType status = PQresultStatus(r);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    die("PostgreSQL: " + std::string(PQerrorMessage(conn)));
  PQclear(r);
}

Figures runPostgres(const Options& options) {
  Figures f;
  f.label = "PostgreSQL + libpq";
  PGconn* conn = PQconnectdb(options.pg.c_str());
  if (PQstatus(conn) != CONNECTION_OK) die("PostgreSQL connection: " + std::string(PQerrorMessage(conn)));
  PQsetNoticeProcessor(
      conn, [](void*, const char*) {}, nullptr);
  pgExec(conn, "DROP TABLE IF EXISTS T");
  pgExec(conn, "CREATE TABLE T (ID INTEGER PRIMARY KEY, NAME CHAR(60), CITY CHAR(30))");

  // Messages of about 32 KB of INSERT statements, made before the clock starts.
  std::vector<std::string> messages;
  std::string message;
  for (long i = 0; i < options.rows; ++i) {
    message += insertText(i);
    message += ';';
    if (message.size() >= 32000) {
      messages.push_back(std::move(message));
      message.clear();
    }
  }
  if (!message.empty()) messages.push_back(std::move(message));

  double cpu0 = threadCpuSeconds();
  auto t0 = std::chrono::steady_clock::now();
  pgExec(conn, "BEGIN");
  for (const std::string& m : messages) pgExec(conn, m);
  pgExec(conn, "COMMIT");
  auto t1 = std::chrono::steady_clock::now();
  double cpu1 = threadCpuSeconds();
  const double rows = static_cast<double>(options.rows);
  f.insertsPerSecond = rows / seconds(t1 - t0);
  f.insertCpuNs = (cpu1 - cpu0) * 1e9 / rows;
  messages.clear();
  pgExec(conn, "VACUUM ANALYZE T");

  char row[kRowBytes + 1];
  auto s0 = std::chrono::steady_clock::now();
  double rcpu0 = threadCpuSeconds();
  if (!PQsendQuery(conn, "SELECT ID, NAME, CITY FROM T") || !PQsetSingleRowMode(conn))
    die("PostgreSQL SELECT");
  long delivered = 0;
  while (PGresult* r = PQgetResult(conn)) {
    const ExecStatusType status = PQresultStatus(r);
    if (status == PGRES_SINGLE_TUPLE) {
      std::size_t at = 0;
      for (int c = 0; c < 3; ++c) {
        const std::size_t width = c == 0 ? 10 : c == 1 ? 60 : 30;
        const std::size_t length =
            std::min<std::size_t>(static_cast<std::size_t>(PQgetlength(r, 0, c)), width);
        std::memcpy(row + at, PQgetvalue(r, 0, c), length);
        at += length;
      }
      row[at] = '\0';
      ++delivered;
    } else if (status != PGRES_TUPLES_OK) {
      die("PostgreSQL SELECT: " + std::string(PQerrorMessage(conn)));
    }
    PQclear(r);
  }
  double rcpu1 = threadCpuSeconds();
  auto s1 = std::chrono::steady_clock::now();
  if (delivered != options.rows) die("PostgreSQL delivered " + std::to_string(delivered) + " rows");
  f.rowsPerSecond = rows / seconds(s1 - s0);
  f.rowCpuNs = (rcpu1 - rcpu0) * 1e9 / rows;
  PQfinish(conn);
  return f;
}

// ---------------------------------------------------------------- lumbra

// `database`: a PostgreSQL URI to serve instead of a new SQLite file (its
// table T dropped first, through the server, so that runs can repeat).
Figures runLumbra(const Options& options, int length, std::vector<char>& buffer,
                  const std::string& database = "") {
  Figures f;
  f.length = length;
  f.onPostgres = !database.empty();
  f.label = std::string(f.onPostgres ? "lumbra on PostgreSQL" : "lumbra") + ", message length " +
            std::to_string(length);
  suite_test::ServerProcess server;
  if (f.onPostgres) {
    // The user may exist from an earlier run: the server's `user passwd` would then be needed.
    std::string command = "'" + options.server + "' user remove " + kUser + " --database '" + database +
                          "' >/dev/null 2>&1 </dev/null";
    if (std::system(command.c_str()) < 0) die("cannot run " + options.server);
    server.useDatabase(database);
  }
  if (!server.start(options.server, kUser, kPassword,
                    {"--message-length", std::to_string(length), "--quiet"}))
    die(server.error());
  char* msg = buffer.data();
  int32_t handle = static_cast<int16_t>(LBConnect(kUser, kPassword, "", server.address().c_str(), msg));
  if (handle < 0) die(std::string("LBConnect: ") + msg);
  if (f.onPostgres &&
      (LBCommand(handle, "EXEC DROP TABLE IF EXISTS T", msg) < 0 || LBCommand(handle, "COMMIT", msg) < 0))
    die(std::string("DROP TABLE: ") + msg);
  if (LBCommand(handle, "EXEC CREATE TABLE T (ID INTEGER PRIMARY KEY, NAME CHAR(60), CITY CHAR(30))", msg) <
          0 ||
      LBCommand(handle, "COMMIT", msg) < 0)
    die(std::string("CREATE TABLE: ") + msg);

  std::vector<std::string> inserts;
  inserts.reserve(static_cast<std::size_t>(options.rows));
  for (long i = 0; i < options.rows; ++i) inserts.push_back(insertText(i));
  double cpu0 = threadCpuSeconds();
  auto t0 = std::chrono::steady_clock::now();
  for (const std::string& text : inserts)
    if (LBCommand(handle, text.c_str(), msg) != 0) die(std::string("INSERT: ") + msg);
  const int32_t committed = LBCommand(handle, "COMMIT", msg);
  auto t1 = std::chrono::steady_clock::now();
  double cpu1 = threadCpuSeconds();
  if (committed < 0) die(std::string("COMMIT: ") + msg);
  inserts.clear();
  inserts.shrink_to_fit();
  const double rows = static_cast<double>(options.rows);
  f.insertsPerSecond = rows / seconds(t1 - t0);
  f.insertCpuNs = (cpu1 - cpu0) * 1e9 / rows;

  MemorySampler memory(server.pid());
  const double serverCpu0 = processCpuSeconds(server.pid());
  auto s0 = std::chrono::steady_clock::now();
  const int32_t count = LBCommand(handle, "SELECT ID, NAME, CITY FROM T", msg);
  if (count != options.rows) die("SELECT: " + std::to_string(count) + " " + msg);
  double rcpu0 = threadCpuSeconds();
  long delivered = 0;
  int32_t n = 0;
  while ((n = LBGetNext(handle, msg)) == static_cast<int32_t>(kRowBytes)) ++delivered;
  double rcpu1 = threadCpuSeconds();
  auto s1 = std::chrono::steady_clock::now();
  f.memoryAboveIdleMb = memory.stopAboveIdleMb();
  f.serverCpuNs = (processCpuSeconds(server.pid()) - serverCpu0) * 1e9 / static_cast<double>(options.rows);
  if (n != -10 || delivered != options.rows)
    die("LBGetNext: " + std::to_string(n) + " after " + std::to_string(delivered) + " rows");
  f.rowsPerSecond = rows / seconds(s1 - s0);
  f.rowCpuNs = (rcpu1 - rcpu0) * 1e9 / rows;
  if (LBCommand(
          handle,
          ("SELECT ID, NAME, CITY FROM T WHERE ID = " + std::to_string(kFirstId + options.rows - 1)).c_str(),
          msg) != 1 ||
      LBGetNext(handle, msg) != static_cast<int32_t>(kRowBytes) ||
      std::to_string(kFirstId + options.rows - 1) + nameOf(options.rows - 1) + cityOf(options.rows - 1) !=
          msg)
    die("reading back the last row");
  LBDisconn(handle, msg);
  return f;
}

// Blocks the server sends for the result: its rows laid out in their
// incoming run-length form, a block holding what fits the message length with
// its head and marker (the first block also carries the row count, the row
// length and the column description).
double blocksFor(long rows, int length) {
  const std::size_t limit = static_cast<std::size_t>(length) - 1;
  std::string block = "LBX0000000" + std::string(13, '0') + "ID=N(10),NAME=A(60),CITY=A(30).";
  double blocks = 1;
  for (long i = 0; i < rows; ++i) {
    const std::string row = std::to_string(kFirstId + i) + nameOf(i) + cityOf(i);
    const std::size_t before = block.size();
    lumbra::server::appendEncodedRow(row, block);
    if (block.size() + 6 > limit && before > 6) {
      blocks += 1;
      block = "LBX001";
      lumbra::server::appendEncodedRow(row, block);
    }
  }
  return blocks;
}

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (name == "--rows") {
      options.rows = std::strtol(value.c_str(), nullptr, 10);
    } else if (name == "--server") {
      options.server = value;
    } else if (name == "--pg") {
      options.pg = value;
    } else if (name == "--pg-server") {
      options.pgServer = value;
    } else if (name == "--workloads") {
      options.bulk = value.find("bulk") != std::string::npos;
      options.interactive = value.find("interactive") != std::string::npos;
      if (!options.bulk && !options.interactive) return false;
    } else if (name == "--interactive-rows") {
      options.interactiveOptions.rows = std::strtol(value.c_str(), nullptr, 10);
    } else if (name == "--operations") {
      options.interactiveOptions.operations = std::strtol(value.c_str(), nullptr, 10);
    } else if (name == "--clients") {
      options.interactiveOptions.clients = static_cast<int>(std::strtol(value.c_str(), nullptr, 10));
    } else if (name == "--lengths") {
      options.lengths.clear();
      for (const char* p = value.c_str(); *p != '\0';) {
        char* end = nullptr;
        options.lengths.push_back(static_cast<int>(std::strtol(p, &end, 10)));
        if (end == p) return false;
        p = *end == ',' ? end + 1 : end;
      }
    } else {
      return false;
    }
  }
  const InteractiveOptions& interactive = options.interactiveOptions;
  return options.rows > 0 && options.rows < 9000000 && !options.lengths.empty() && interactive.rows > 0 &&
         interactive.rows < 9000000 && interactive.operations > 0 && interactive.clients > 0 &&
         interactive.clients <= 64;
}

// The bulk workload on every peer, its table and its goals.
void runBulk(const Options& options) {
  std::printf("lumbra_compare: %ld rows of %zu bytes, loopback\n", options.rows, kRowBytes);
  std::fflush(stdout);

  std::vector<Figures> all;
  if (!options.pg.empty()) all.push_back(runPostgres(options));
  int largest = 0;
  for (int length : options.lengths) largest = std::max(largest, length);
  std::vector<char> buffer(static_cast<std::size_t>(largest) + 64);
  for (int length : options.lengths) {
    Figures f = runLumbra(options, length, buffer);
    const double blocks = blocksFor(options.rows, length);
    f.blocks = blocks;
    f.blocksPerSecond = blocks / (static_cast<double>(options.rows) / f.rowsPerSecond);
    const long exchanges = std::max(200L, std::min(200000L, static_cast<long>(blocks)));
    const EchoFigures echo = echoFloor(kRequestBytes, static_cast<std::size_t>(length - 1), exchanges);
    f.echoBlocksPerSecond = echo.exchangesPerSecond;
    f.echoRowCpuNs = echo.clientCpuNs * blocks / static_cast<double>(options.rows);
    all.push_back(f);
  }
  if (!options.pgServer.empty()) all.push_back(runLumbra(options, kPostgresLength, buffer, options.pgServer));

  const Figures* pg = options.pg.empty() ? nullptr : &all.front();
  std::printf(
      "\n| | inserts/s | client CPU per insert | SELECT rows/s | client CPU per row read | blocks/s | "
      "echo floor blocks/s | echo floor client CPU per row | server memory above idle | server CPU per row "
      "read "
      "|\n|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Figures& f : all) {
    std::printf("| %s | %.0fk | %.0f ns | %.2fM | %.0f ns |", f.label.c_str(), f.insertsPerSecond / 1e3,
                f.insertCpuNs, f.rowsPerSecond / 1e6, f.rowCpuNs);
    if (f.length == 0)
      std::printf(" | | | | |\n");
    else if (f.onPostgres)
      std::printf(" | | | %.1f MB | %.0f ns |\n", f.memoryAboveIdleMb, f.serverCpuNs);
    else
      std::printf(" %.0f | %.0f | %.0f ns | %.1f MB | %.0f ns |\n", f.blocksPerSecond, f.echoBlocksPerSecond,
                  f.echoRowCpuNs, f.memoryAboveIdleMb, f.serverCpuNs);
  }
  if (pg != nullptr) {
    std::printf("\nratios to PostgreSQL + libpq\n");
    for (const Figures& f : all) {
      if (&f == pg) continue;
      std::printf("  %-34s inserts %.2fx   SELECT rows/s %.2fx", f.label.c_str(),
                  f.insertsPerSecond / pg->insertsPerSecond, f.rowsPerSecond / pg->rowsPerSecond);
      // What the exchanges alone allow: one request and one reply per block,
      // no database, at the echo floor's rate.
      if (f.length > 0 && !f.onPostgres && f.echoBlocksPerSecond > 0 && f.blocks > 0) {
        const double echoRows = f.echoBlocksPerSecond * static_cast<double>(options.rows) / f.blocks;
        std::printf("   (echo floor alone %.2fM rows/s, %.2fx)", echoRows / 1e6,
                    echoRows / pg->rowsPerSecond);
      }
      std::printf("\n");
    }
  }

  std::printf("\ngoals\n");
  double worstMemory = 0;
  for (const Figures& f : all) {
    char text[96];
    if (f.length == 0) continue;
    if (f.onPostgres) {
      if (pg != nullptr) {
        std::snprintf(text, sizeof text, "SELECT rows/s, lumbra-server on PostgreSQL %d vs libpq", f.length);
        const double ratio = f.rowsPerSecond / pg->rowsPerSecond;
        goal(text, ">= 0.8x", ratio, "x", ratio >= 0.8);
      }
      continue;
    }
    worstMemory = std::max(worstMemory, f.memoryAboveIdleMb);
    if (pg != nullptr && (f.length == 32000 || f.length == 1000000)) {
      std::snprintf(text, sizeof text, "SELECT rows/s vs PostgreSQL, message length %d", f.length);
      const double ratio = f.rowsPerSecond / pg->rowsPerSecond;
      goal(text, ">= 1.2x", ratio, "x", ratio >= 1.2);
    }
    if (f.length == 1901 || f.length == 32000) {
      std::snprintf(text, sizeof text, "blocks/s vs echo floor, message length %d", f.length);
      const double ratio = f.blocksPerSecond / f.echoBlocksPerSecond;
      goal(text, ">= 0.8x", ratio, "x", ratio >= 0.8);
    }
    if (f.length == 32000 || f.length == 1000000) {
      std::snprintf(text, sizeof text, "server CPU per delivered row, message length %d", f.length);
      goal(text, "<= 150 ns", f.serverCpuNs, "ns", f.serverCpuNs <= 150);
    }
    if (f.length == 32000) {
      if (pg != nullptr) {
        const double ratio = f.insertsPerSecond / pg->insertsPerSecond;
        goal("batched inserts/s vs PostgreSQL, message length 32000", ">= 4x", ratio, "x", ratio >= 4);
      }
      goal("client CPU per batched 100-byte INSERT (32000)", "<= 100 ns", f.insertCpuNs, "ns",
           f.insertCpuNs <= 100);
      goal("client CPU per delivered row (32000)", "<= 40 ns", f.rowCpuNs, "ns", f.rowCpuNs <= 40);
    }
  }
  char text[96];
  std::snprintf(text, sizeof text, "server memory above idle during the %ld-row SELECT", options.rows);
  goal(text, "< 64 MB", worstMemory, "MB", worstMemory < 64);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: lumbra_compare [--workloads bulk,interactive] [--rows N] [--lengths A,B,...]\n"
                 "                      [--interactive-rows N] [--operations N] [--clients N]\n"
                 "                      [--server PATH] [--pg CONNINFO] [--pg-server POSTGRESQL-URI]\n");
    return 2;
  }
  if (!suite_test::isExecutable(options.server)) die("no server program at '" + options.server + "'");
  if (options.bulk) runBulk(options);
  if (options.interactive) {
    InteractiveOptions& interactive = options.interactiveOptions;
    interactive.server = options.server;
    interactive.pg = options.pg;
    runInteractive(interactive);
  }
  return 0;
}
