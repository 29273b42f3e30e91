// What the workloads of lumbra_compare share: the table's rows, timing, the loopback exchange floor, goals.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace lumbra::bench {

inline constexpr char kUser[] = "BENCH";
inline constexpr char kPassword[] = "BENCH1";
inline constexpr std::size_t kRowBytes = 100;
inline constexpr long kFirstId = 1000000001;  // ten digits, so every row is 10 + 60 + 30 bytes
// The columns of every table of the workloads.
inline constexpr char kColumns[] = "(ID INTEGER PRIMARY KEY, NAME CHAR(60), CITY CHAR(30))";

[[noreturn]] void die(const std::string& what);

// All `n` bytes read from or written to `fd`; false when it ends or fails first.
bool readAll(int fd, void* to, std::size_t n);
bool writeAll(int fd, const void* from, std::size_t n);

double seconds(std::chrono::steady_clock::duration d);
double threadCpuSeconds();

// NAME and CITY of row i, full width, with runs of blanks inside.
std::string nameOf(long i);
std::string cityOf(long i);
// The INSERT of row i into `table`.
std::string insertText(long i, const std::string& table = "T");

// CPU time (user and system) a process has used so far, in seconds.
double processCpuSeconds(int pid);

struct EchoFigures {
  double exchangesPerSecond = 0;
  double clientCpuNs = 0;  // this thread's CPU per exchange
  double p50Us = 0;        // latency of one exchange
  double p99Us = 0;
};

// Exchanges per second of a `request`-byte message and a `reply`-byte answer
// between this process and a child over loopback TCP (no database), for
// `exchanges` of them, and the CPU this side spends on each.
EchoFigures echoFloor(std::size_t request, std::size_t reply, long exchanges);

// One line of the goals table: "GOAL | text | wanted | figure | met".
void goal(const char* text, const char* wanted, double figure, const char* unit, bool met);

}  // namespace lumbra::bench
