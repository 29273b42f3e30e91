// lumbra_bench.cpp -- lumbra32 against lumbra-server on loopback: batched inserts, row delivery, round trips.
//
// For each message length (default 1,901, 32,000 and 1,000,000) a fresh server
// is started as a child process with that length announced at login, and
//   (a) N batched INSERTs of 100-byte texts followed by COMMIT: updates/s and
//       the client thread's CPU time per update, split into user and system time;
//   (b) a SELECT of those N rows of 100 bytes read with LBGetNext: rows/s,
//       MB/s, and the client thread's CPU time per row (CLOCK_THREAD_CPUTIME_ID
//       around the LBGetNext loop; the server is another process), split into
//       user and system time;
//   (c) round trips of a trivial command (GETSET VERSION, answered by the server).
// Figures are printed; nothing is asserted about them. The program fails only
// when the library or the server misbehaves (a wrong status or a wrong row).
//
// Usage: lumbra_bench [--rows N] [--trips N] [--lengths A,B,...] [--server PATH]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "client/lumbra32.h"
#include "tests/support/server_process.h"

#ifndef LUMBRA_BENCH_SERVER
#  define LUMBRA_BENCH_SERVER ""
#endif

namespace {

constexpr char kUser[] = "BENCH";
constexpr char kPassword[] = "BENCH1";
constexpr std::size_t kRowBytes = 100;

struct Options {
  long rows = 1000000;
  long trips = 20000;
  std::vector<int> lengths{1901, 32000, 1000000};
  std::string server = LUMBRA_BENCH_SERVER;
};

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// User and system time of the calling thread, in seconds.
void threadTimes(double& user, double& system) {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  user = static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
  system = static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) * 1e-6;
}

// The 100-byte text of row i: its number, words, a run of blanks (which the
// run-length forms shorten) and varying letters.
std::string rowText(long i) {
  char head[32];
  std::snprintf(head, sizeof head, "%08ld CLIENTE ", i);
  std::string text = head;
  text += "RUA DAS FLORES ";
  text.append(20, ' ');
  for (long k = 0; text.size() < kRowBytes; ++k) {
    text.push_back(static_cast<char>('A' + (i * 7 + k * 3) % 26));
  }
  return text;
}

[[noreturn]] void die(const char* what, int32_t status, const char* message) {
  std::fprintf(stderr, "lumbra_bench: %s failed: %d %s\n", what, status, message);
  std::exit(1);
}

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    if (name == "--rows") {
      options.rows = std::strtol(value.c_str(), nullptr, 10);
    } else if (name == "--trips") {
      options.trips = std::strtol(value.c_str(), nullptr, 10);
    } else if (name == "--server") {
      options.server = value;
    } else if (name == "--lengths") {
      options.lengths.clear();
      for (const char* p = value.c_str(); *p != '\0';) {
        char* end = nullptr;
        options.lengths.push_back(static_cast<int>(std::strtol(p, &end, 10)));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p != '\0') return false;
      }
    } else {
      return false;
    }
  }
  return options.rows > 0 && options.trips > 0 && !options.lengths.empty();
}

void runOneLength(const Options& options, int messageLength, std::vector<char>& message) {
  suite_test::ServerProcess server;
  if (!server.start(options.server, kUser, kPassword,
                    {"--message-length", std::to_string(messageLength), "--quiet"})) {
    std::fprintf(stderr, "lumbra_bench: %s\n", server.error().c_str());
    std::exit(1);
  }
  char* msg = message.data();
  int32_t handle = static_cast<int16_t>(LBConnect(kUser, kPassword, "", server.address().c_str(), msg));
  if (handle < 0) die("LBConnect", handle, msg);
  int32_t status = LBCommand(handle, "EXEC CREATE TABLE bench (k INTEGER PRIMARY KEY, v TEXT)", msg);
  if (status < 0) die("CREATE TABLE", status, msg);
  if ((status = LBCommand(handle, "COMMIT", msg)) < 0) die("COMMIT", status, msg);

  // The command texts are made before the clock starts.
  std::vector<std::string> inserts;
  inserts.reserve(static_cast<std::size_t>(options.rows));
  for (long i = 1; i <= options.rows; ++i) {
    inserts.push_back("INSERT INTO bench VALUES (" + std::to_string(i) + ", '" + rowText(i) + "')");
  }

  // (a) batched INSERTs and the COMMIT.
  double insertUser0 = 0, insertSystem0 = 0, insertUser1 = 0, insertSystem1 = 0;
  threadTimes(insertUser0, insertSystem0);
  double cpu0 = threadCpuSeconds();
  auto t0 = std::chrono::steady_clock::now();
  for (const std::string& text : inserts) {
    status = LBCommand(handle, text.c_str(), msg);
    if (status != 0) die("INSERT", status, msg);
  }
  int32_t committed = LBCommand(handle, "COMMIT", msg);
  auto t1 = std::chrono::steady_clock::now();
  double cpu1 = threadCpuSeconds();
  threadTimes(insertUser1, insertSystem1);
  if (committed < 0) die("COMMIT", committed, msg);
  // A COMMIT reply too long for the message ends with '+' and the full count.
  const char* summary = std::strchr(msg, '+');
  long reported = summary != nullptr ? std::strtol(summary + 1, nullptr, 10) : committed;
  if (reported != options.rows) {
    std::fprintf(stderr, "lumbra_bench: COMMIT reported %ld updates, expected %ld\n", reported, options.rows);
    std::exit(1);
  }
  inserts.clear();
  inserts.shrink_to_fit();
  double insertWall = seconds(t1 - t0);
  std::printf(
      "  (a) %ld INSERTs + COMMIT: %.3f s, %.0f updates/s, client CPU %.0f ns/update (user %.1f, system "
      "%.1f)\n",
      options.rows, insertWall, static_cast<double>(options.rows) / insertWall,
      (cpu1 - cpu0) * 1e9 / static_cast<double>(options.rows),
      (insertUser1 - insertUser0) * 1e9 / static_cast<double>(options.rows),
      (insertSystem1 - insertSystem0) * 1e9 / static_cast<double>(options.rows));

  // (b) SELECT of every row, read with LBGetNext.
  auto s0 = std::chrono::steady_clock::now();
  int32_t count = LBCommand(handle, "SELECT v FROM bench", msg);
  auto s1 = std::chrono::steady_clock::now();
  if (count != options.rows) die("SELECT", count, msg);
  double user0 = 0, system0 = 0, user1 = 0, system1 = 0;
  threadTimes(user0, system0);
  double loopCpu0 = threadCpuSeconds();
  long delivered = 0;
  int32_t n = 0;
  while ((n = LBGetNext(handle, msg)) == static_cast<int32_t>(kRowBytes)) ++delivered;
  double loopCpu1 = threadCpuSeconds();
  threadTimes(user1, system1);
  auto s2 = std::chrono::steady_clock::now();
  if (n != -10 || delivered != options.rows) die("LBGetNext", n, msg);
  // Spot check of the content (the -10 text has replaced the last row): read
  // the last row again through a query of its own.
  std::string lastExpected = rowText(options.rows);
  if (LBCommand(handle, ("SELECT v FROM bench WHERE k = " + std::to_string(options.rows)).c_str(), msg) !=
          1 ||
      LBGetNext(handle, msg) != static_cast<int32_t>(kRowBytes) || lastExpected != msg) {
    die("reading back the last row", 0, msg);
  }
  double selectWall = seconds(s2 - s0);
  double loopCpu = loopCpu1 - loopCpu0;
  double rows = static_cast<double>(options.rows);
  std::printf("  (b) SELECT of %ld rows of %zu bytes: %.3f s (first block %.3f s), %.0f rows/s, %.1f MB/s\n",
              options.rows, kRowBytes, selectWall, seconds(s1 - s0), rows / selectWall,
              rows * static_cast<double>(kRowBytes) / selectWall / 1e6);
  std::printf("      client CPU in the LBGetNext loop: %.1f ns/row (user %.1f, system %.1f)\n",
              loopCpu * 1e9 / rows, (user1 - user0) * 1e9 / rows, (system1 - system0) * 1e9 / rows);

  // (c) round trips of a trivial command.
  auto r0 = std::chrono::steady_clock::now();
  for (long i = 0; i < options.trips; ++i) {
    status = LBCommand(handle, "GETSET VERSION", msg);
    if (status <= 0) die("GETSET VERSION", status, msg);
  }
  auto r1 = std::chrono::steady_clock::now();
  double tripWall = seconds(r1 - r0);
  std::printf("  (c) %ld round trips (GETSET VERSION): %.0f trips/s, %.1f us each\n", options.trips,
              static_cast<double>(options.trips) / tripWall,
              tripWall * 1e6 / static_cast<double>(options.trips));

  status = LBDisconn(handle, msg);
  if (status != 0) die("LBDisconn", status, msg);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: lumbra_bench [--rows N] [--trips N] [--lengths A,B,...] [--server PATH]\n");
    return 2;
  }
  if (!suite_test::isExecutable(options.server)) {
    std::fprintf(stderr, "lumbra_bench: no server program at '%s'\n", options.server.c_str());
    return 1;
  }
  // Room for the longest reply text of the largest message length, or a row.
  int largest = 0;
  for (int length : options.lengths) largest = std::max(largest, length);
  std::vector<char> message(static_cast<std::size_t>(largest) + 64);
  for (int length : options.lengths) {
    std::printf("message length %d:\n", length);
    std::fflush(stdout);
    runOneLength(options, length, message);
    std::fflush(stdout);
  }
  return 0;
}
