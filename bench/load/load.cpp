// lumbra_load: many sessions from several client processes against one lumbra-server, with clients killed mid-message.
//
//   lumbra_load [--sessions N] [--processes P] [--seconds S] [--server PATH]
//
// Starts lumbra-server on an ephemeral port of 127.0.0.1 with a fresh database
// in a temporary folder, then P client processes (at most 500 sessions each,
// the size of the client's session table) that open N sessions in all and hold
// them. While every session takes turns at batched inserts (five INSERTs and a
// COMMIT) and a SELECT read to its last row, one more process opens raw
// connections, leaves a message half sent on each and is killed; the sessions
// of the others must go on without a single failure. Prints the sessions held,
// the round trips per second and the server's peak resident memory (VmHWM).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/lumbra32.h"
#include "platform/net.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  int sessions = 2000;
  int processes = 4;
  int seconds = 10;
  std::string server = LUMBRA_SERVER_PROGRAM;
};

// Round trips: every message the client library sends is answered once.
std::atomic<long> sends{0};
int (*platformSend)(std::int32_t, const char*, int) = nullptr;

int countingSend(std::int32_t socket, const char* data, int length) {
  sends.fetch_add(1, std::memory_order_relaxed);
  return platformSend(socket, data, length);
}

bool writeAll(int fd, const std::string& text) {
  return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::string readLine(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line.push_back(c);
  return line;
}

long peakRssKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = -1;
  while (status >> key) {
    if (key == "VmHWM:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 16, '\n');
  }
  return -1;
}

// One client process: opens `count` sessions with ids from `first`, reports
// "held N", waits for "go", runs rounds for `seconds`, reports
// "done <round trips> <failures>", closes its sessions.
int clientProcess(const std::string& address, int first, int count, int seconds, int toParent,
                  int fromParent) {
  auto& net = platform::netCalls();
  platformSend = net.sendBytes;
  net.sendBytes = countingSend;
  std::vector<int> handles;
  char message[70000];
  long failures = 0;
  for (int i = 0; i < count; ++i) {
    const int h = LBConnect("LOAD", "LOADPASS", "", address.c_str(), message);
    if (h < 0) {
      std::fprintf(stderr, "session %d: connect %d %s\n", first + i, h, message);
      ++failures;
      continue;
    }
    handles.push_back(h);
  }
  writeAll(toParent, "held " + std::to_string(handles.size()) + "\n");
  if (readLine(fromParent) != "go") return 1;
  sends = 0;
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  char command[256];
  for (int round = 0; Clock::now() < end; ++round) {
    for (std::size_t i = 0; i < handles.size() && Clock::now() < end; ++i) {
      const int h = handles[i];
      const int id = first + static_cast<int>(i);
      for (int k = 0; k < 5; ++k) {
        std::snprintf(command, sizeof command, "INSERT INTO T (S, N, V) VALUES (%d, %d, 'AAAAAAAAAAAA%06d')",
                      id, round * 5 + k, round);
        if (LBCommand(h, command, message) < 0) ++failures;
      }
      if (LBCommand(h, "COMMIT", message) != 5) {
        std::fprintf(stderr, "session %d: COMMIT %s\n", id, message);
        ++failures;
      }
      std::snprintf(command, sizeof command, "SELECT N, V FROM T WHERE S = %d ORDER BY N DESC LIMIT 20", id);
      const int rows = LBCommand(h, command, message);
      if (rows < 0) {
        std::fprintf(stderr, "session %d: SELECT %d %s\n", id, rows, message);
        ++failures;
        continue;
      }
      for (int r = 0; r < rows; ++r) {
        if (LBGetNext(h, message) < 0) {
          ++failures;
          break;
        }
      }
    }
  }
  const long trips = sends.load();
  for (int h : handles) LBDisconn(h, message);
  writeAll(toParent, "done " + std::to_string(trips) + " " + std::to_string(failures) + "\n");
  return failures == 0 ? 0 : 1;
}

// Opens raw connections and leaves a message half sent on each, in every
// state a client can die in: before the greeting, inside the login, inside a
// batch, inside a binary insert. Then waits to be killed.
int victimProcess(std::uint16_t port, int count, int toParent) {
  const std::string partials[] = {"LUM", "LUMTLBXEOBID \"0123456789",
                                  std::string("LUMTLBXEOBINSERT INTO T VALUES (1, 2, 'ABC"),
                                  std::string("\xC9\xD5\xE2\xC5\xD9\xE3\x40(00100)='ABC", 17)};
  std::vector<int> sockets;
  for (int i = 0; i < count; ++i) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) continue;
    const std::string& part = partials[i % 4];
    (void)!::send(s, part.data(), part.size(), MSG_NOSIGNAL);
    sockets.push_back(s);
  }
  writeAll(toParent, "held " + std::to_string(sockets.size()) + "\n");
  for (;;) ::pause();
}

struct Child {
  pid_t pid;
  int fromChild;
  int toChild;
};

Child spawn(const std::function<int(int, int)>& body) {
  int up[2], down[2];
  if (::pipe(up) != 0 || ::pipe(down) != 0) std::exit(2);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(up[0]);
    ::close(down[1]);
    std::_Exit(body(up[1], down[0]));
  }
  ::close(up[1]);
  ::close(down[0]);
  return {pid, up[0], down[1]};
}

bool run(const std::string& program, const std::vector<std::string>& args, const std::string& input) {
  int in[2];
  if (::pipe(in) != 0) return false;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::close(in[1]);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    std::_Exit(127);
  }
  ::close(in[0]);
  writeAll(in[1], input);
  ::close(in[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--sessions")
      o.sessions = std::atoi(argv[i + 1]);
    else if (name == "--processes")
      o.processes = std::atoi(argv[i + 1]);
    else if (name == "--seconds")
      o.seconds = std::atoi(argv[i + 1]);
    else if (name == "--server")
      o.server = argv[i + 1];
  }
  o.processes = std::max(o.processes, (o.sessions + 499) / 500);
  ::signal(SIGPIPE, SIG_IGN);

  const suite_test::TempDir folder("lumbra-load");
  const fs::path& dir = folder.path();
  const std::string db = (dir / "load.db").string(), portFile = (dir / "port").string();
  if (!run(o.server, {"user", "add", "LOAD", "--database", db, "--iterations", "1000"}, "LOADPASS\n")) {
    std::fprintf(stderr, "lumbra_load: cannot add the user with %s\n", o.server.c_str());
    return 2;
  }
  const pid_t server = ::fork();
  if (server == 0) {
    ::execl(o.server.c_str(), o.server.c_str(), "--listen", "127.0.0.1:0", "--port-file", portFile.c_str(),
            "--database", db.c_str(), "--message-length", "4000", "--quiet", static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  std::string portText;
  for (int i = 0; i < 200 && portText.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(portFile);
    std::getline(in, portText);
  }
  if (portText.empty()) {
    std::fprintf(stderr, "lumbra_load: the server did not start\n");
    ::kill(server, SIGKILL);
    return 2;
  }
  const auto port = static_cast<std::uint16_t>(std::atoi(portText.c_str()));
  const std::string address = "127.0.0.1:" + portText;

  {  // the table every session writes to
    char message[4096];
    const int h = LBConnect("LOAD", "LOADPASS", "", address.c_str(), message);
    if (h < 0 || LBCommand(h, "EXEC CREATE TABLE T (S INTEGER, N INTEGER, V TEXT)", message) < 0 ||
        LBCommand(h, "EXEC CREATE INDEX TS ON T (S, N)", message) < 0 ||
        LBCommand(h, "COMMIT", message) < 0) {
      std::fprintf(stderr, "lumbra_load: setup failed: %s\n", message);
      ::kill(server, SIGKILL);
      return 2;
    }
    LBDisconn(h, message);
  }

  std::vector<Child> clients;
  const auto connectStart = Clock::now();
  int first = 0;
  for (int p = 0; p < o.processes; ++p) {
    const int count = o.sessions / o.processes + (p < o.sessions % o.processes ? 1 : 0);
    clients.push_back(spawn([&, first, count](int up, int down) {
      return clientProcess(address, first, count, o.seconds, up, down);
    }));
    first += count;
  }
  long held = 0;
  for (const Child& c : clients) held += std::atol(readLine(c.fromChild).substr(5).c_str());
  const double connectSeconds = std::chrono::duration<double>(Clock::now() - connectStart).count();
  const long rssHeld = peakRssKb(server);

  Child victim = spawn([&](int up, int) { return victimProcess(port, 40, up); });
  const std::string victimHeld = readLine(victim.fromChild);

  for (const Child& c : clients) writeAll(c.toChild, "go\n");
  std::this_thread::sleep_for(std::chrono::seconds(std::max(1, o.seconds / 3)));
  ::kill(victim.pid, SIGKILL);  // in the middle of its messages, while the others work
  ::waitpid(victim.pid, nullptr, 0);

  long trips = 0, failures = 0;
  bool clean = true;
  for (const Child& c : clients) {
    const std::string done = readLine(c.fromChild);
    long t = 0, f = 0;
    if (std::sscanf(done.c_str(), "done %ld %ld", &t, &f) != 2) {
      clean = false;
      continue;
    }
    trips += t;
    failures += f;
    int status = 0;
    ::waitpid(c.pid, &status, 0);
  }
  const long rssPeak = peakRssKb(server);
  const bool serverAlive = ::kill(server, 0) == 0;
  ::kill(server, SIGTERM);
  int serverStatus = 0;
  ::waitpid(server, &serverStatus, 0);
  const bool serverExitedClean = WIFEXITED(serverStatus) && WEXITSTATUS(serverStatus) == 0;
  std::printf("client processes            %d (at most 500 sessions each)\n", o.processes);
  std::printf("sessions held               %ld of %d (opened in %.1f s)\n", held, o.sessions, connectSeconds);
  std::printf("killed client               %s raw connections, killed mid-message\n",
              victimHeld.substr(5).c_str());
  std::printf("round trips                 %ld in %d s: %.0f per second\n", trips, o.seconds,
              static_cast<double>(trips) / o.seconds);
  std::printf("failed calls                %ld\n", failures);
  std::printf("server peak RSS             %ld kB with every session open, %ld kB at the end\n", rssHeld,
              rssPeak);
  std::printf("server                      %s; after SIGTERM it %s\n", serverAlive ? "still serving" : "GONE",
              serverExitedClean ? "exited with 0" : "failed (a sanitizer report?)");
  return clean && failures == 0 && serverAlive && serverExitedClean && held == o.sessions ? 0 : 1;
}
