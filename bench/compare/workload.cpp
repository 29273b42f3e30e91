// The table's rows, timing helpers, the loopback exchange floor and the goal lines of lumbra_compare.
#include "bench/compare/workload.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "bench/compare/latency.h"

namespace lumbra::bench {

void die(const std::string& what) {
  std::fprintf(stderr, "lumbra_compare: %s\n", what.c_str());
  std::exit(1);
}

bool readAll(int fd, void* to, std::size_t n) {
  char* p = static_cast<char*>(to);
  while (n > 0) {
    const ssize_t got = ::read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool writeAll(int fd, const void* from, std::size_t n) {
  const char* p = static_cast<const char*>(from);
  while (n > 0) {
    const ssize_t put = ::write(fd, p, n);
    if (put <= 0) return false;
    p += put;
    n -= static_cast<std::size_t>(put);
  }
  return true;
}

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string nameOf(long i) {
  char text[64];
  std::snprintf(text, sizeof text, "CLIENTE %08ld RUA DAS FLORES", i);
  std::string s = text;
  s.append(12, ' ');
  for (long k = 0; s.size() < 60; ++k) s.push_back(static_cast<char>('A' + (i * 7 + k * 3) % 26));
  return s;
}

std::string cityOf(long i) {
  std::string s = "CIDADE ";
  for (long k = 0; s.size() < 30; ++k) s.push_back(static_cast<char>('A' + (i * 11 + k * 5) % 26));
  return s;
}

std::string insertText(long i, const std::string& table) {
  return "INSERT INTO " + table + " VALUES (" + std::to_string(kFirstId + i) + ", '" + nameOf(i) + "', '" +
         cityOf(i) + "')";
}

double processCpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::strtod(field.c_str(), nullptr);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

EchoFigures echoFloor(std::size_t request, std::size_t reply, long exchanges) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    die("echo floor: no listening socket");
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::accept(listener, nullptr, nullptr);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<char> in(request), answer(reply, 'x');
    while (readAll(fd, in.data(), in.size()) && writeAll(fd, answer.data(), answer.size())) {
    }
    ::_exit(0);
  }
  ::close(listener);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    die("echo floor: no connection");
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::vector<char> out(request, 'c'), answer(reply);
  Latencies latencies(static_cast<std::size_t>(exchanges));
  const double cpu0 = threadCpuSeconds();
  auto t0 = std::chrono::steady_clock::now();
  for (long i = 0; i < exchanges; ++i) {
    const auto start = latencies.start();
    if (!writeAll(fd, out.data(), out.size()) || !readAll(fd, answer.data(), answer.size()))
      die("echo floor: exchange failed");
    latencies.stop(start);
  }
  auto t1 = std::chrono::steady_clock::now();
  const double cpu1 = threadCpuSeconds();
  ::close(fd);
  int status = 0;
  ::waitpid(child, &status, 0);
  EchoFigures figures;
  figures.exchangesPerSecond = static_cast<double>(exchanges) / seconds(t1 - t0);
  figures.clientCpuNs = (cpu1 - cpu0) * 1e9 / static_cast<double>(exchanges);
  figures.p50Us = latencies.percentile(50);
  figures.p99Us = latencies.percentile(99);
  return figures;
}

void goal(const char* text, const char* wanted, double figure, const char* unit, bool met) {
  std::printf("GOAL | %-62s | %-10s | %9.2f%-3s | %s\n", text, wanted, figure, unit, met ? "met" : "NOT met");
}

}  // namespace lumbra::bench
