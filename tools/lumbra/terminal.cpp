// Terminal I/O of the shell: secret input, progress line, Ctrl-C, locale, libedit.
#include "tools/lumbra/terminal.h"

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <cerrno>

#include <algorithm>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <poll.h>
#include <langinfo.h>
#include <termios.h>
#include <unistd.h>

#include <editline/readline.h>

namespace lumbra_shell {

std::optional<std::string> readSecret(const char* prompt) {
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  termios saved{};
  const bool canHide = tcgetattr(fd, &saved) == 0;
  if (canHide) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  if (::write(fd, prompt, std::strlen(prompt)) < 0) {
    // the prompt is a courtesy; reading goes on
  }
  std::string line;
  char ch = 0;
  bool any = false;
  while (::read(fd, &ch, 1) == 1) {
    any = true;
    if (ch == '\n' || ch == '\r') break;
    line += ch;
  }
  if (canHide) tcsetattr(fd, TCSAFLUSH, &saved);
  ::close(fd);
  if (!any) return std::nullopt;
  return line;
}

void TerminalProgress::rows(std::int64_t delivered, std::int64_t total) {
  if ((delivered & 255) != 0 && delivered != total) return;  // look at the clock now and then
  const auto now = Clock::now();
  if (!started_) {
    started_ = true;
    start_ = now;
    last_ = now;
    return;
  }
  if (now - start_ < std::chrono::milliseconds(500) || now - last_ < std::chrono::milliseconds(250)) return;
  last_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::fprintf(stderr, "\r\033[K%lld of %lld rows, %.0f rows/s", static_cast<long long>(delivered),
               static_cast<long long>(total), seconds > 0 ? static_cast<double>(delivered) / seconds : 0.0);
  std::fflush(stderr);
  shown_ = true;
}

void TerminalProgress::finish() {
  if (shown_) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
  started_ = false;
  shown_ = false;
}

namespace {

volatile std::sig_atomic_t interruptFlag = 0;
// Written by the handler, watched by the line editor's reads: a Ctrl-C that
// comes just before a read still ends it.
int interruptPipe[2] = {-1, -1};

// The socket of the call that waits for the server (-1: none), the Ctrl-C
// presses during that call, and whether one dropped the connection.
volatile std::sig_atomic_t waitingSocket = -1;
volatile std::sig_atomic_t waitingPresses = 0;
volatile std::sig_atomic_t droppedFlag = 0;

constexpr char kWaitingNote[] = "\nwaiting for the server; Ctrl-C again drops the connection\n";

extern "C" void noteInterrupt(int) {
  interruptFlag = 1;
  if (waitingSocket >= 0) {
    const int saved = errno;
    waitingPresses = waitingPresses + 1;
    if (waitingPresses == 1) {
      if (::write(STDERR_FILENO, kWaitingNote, sizeof kWaitingNote - 1) < 0) {
        // the note is a courtesy
      }
    } else {
      ::shutdown(waitingSocket, SHUT_RDWR);
      droppedFlag = 1;
    }
    errno = saved;
  }
  if (interruptPipe[1] >= 0) {
    const char byte = 'i';
    const int saved = errno;
    if (::write(interruptPipe[1], &byte, 1) < 0) {
      // the pipe is full: a Ctrl-C is waiting already
    }
    errno = saved;
  }
}

void drainInterruptPipe() {
  char bytes[64];
  while (interruptPipe[0] >= 0 && ::read(interruptPipe[0], bytes, sizeof bytes) > 0) {
  }
}

// The terminal opened once more, without blocking: Ctrl-C empties the
// terminal's input, so a read the poll announced must not wait for a byte that
// is gone. -1 when it cannot be opened (then the line editor's own descriptor
// is read).
int nonBlockingReader(int fd) {
  static int reader = -2;
  if (reader == -2) {
    const char* name = ttyname(fd);
    reader = name == nullptr ? -1 : ::open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }
  return reader;
}

// One byte of the terminal; -1 at its end or after Ctrl-C.
int readByte(int fd) {
  const int reader = nonBlockingReader(fd);
  const int from = reader >= 0 ? reader : fd;
  for (;;) {
    pollfd watched[2] = {{from, POLLIN, 0}, {interruptPipe[0], POLLIN, 0}};
    const int ready = ::poll(watched, interruptPipe[0] >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (interruptPipe[0] >= 0 && (watched[1].revents & POLLIN) != 0) {
      drainInterruptPipe();
      return -1;
    }
    unsigned char byte = 0;
    const ssize_t n = ::read(from, &byte, 1);
    if (n == 1) return byte;
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return -1;
  }
}

// The line editor's reader: one character a call, a UTF-8 sequence decoded
// (the editor takes what this returns as a wide character).
extern "C" int readCharacter(FILE* stream) {
  const int fd = fileno(stream);
  const int lead = readByte(fd);
  if (lead < 0x80) return lead;
  const int length = lead >= 0xF0 && lead < 0xF5   ? 4
                     : lead >= 0xE0 && lead < 0xF0 ? 3
                     : lead >= 0xC2 && lead < 0xE0 ? 2
                                                   : 1;
  if (length == 1) return lead;
  int cp = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
  for (int k = 1; k < length; ++k) {
    const int next = readByte(fd);
    if (next < 0) return -1;
    if ((next & 0xC0) != 0x80) return next;  // a broken sequence: what follows stands
    cp = (cp << 6) | (next & 0x3F);
  }
  return cp;
}

// The descriptors open now that are sockets.
std::vector<int> openSockets() {
  std::vector<int> sockets;
  const int last = static_cast<int>(::sysconf(_SC_OPEN_MAX));
  for (int fd = 0; fd < last && fd < 4096; ++fd) {
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode)) sockets.push_back(fd);
  }
  return sockets;
}

// Marks the socket as the one a call waits on, for the signal handler.
class Waiting {
 public:
  explicit Waiting(int socket) {
    waitingPresses = 0;
    waitingSocket = socket;
  }
  ~Waiting() {
    waitingSocket = -1;
    waitingPresses = 0;
  }
  Waiting(const Waiting&) = delete;
  Waiting& operator=(const Waiting&) = delete;
};

}  // namespace

int32_t InterruptibleApi::connect(const char* identification, const char* firstCredential,
                                  const char* secondCredential, const char* serverAddress, char* message) {
  const std::vector<int> before = openSockets();
  const int32_t result = inner_.connect(identification, firstCredential, secondCredential, serverAddress, message);
  const auto handle = static_cast<std::int16_t>(result & 0xFFFF);
  if (handle >= 0) {
    int socket = -1;
    for (const int fd : openSockets()) {
      if (std::find(before.begin(), before.end(), fd) == before.end()) socket = fd;
    }
    sockets_.erase(std::remove_if(sockets_.begin(), sockets_.end(), [&](const auto& s) { return s.first == handle; }),
                   sockets_.end());
    sockets_.emplace_back(handle, socket);
  }
  return result;
}

int InterruptibleApi::socketOf(int32_t handle) const {
  for (const auto& [session, socket] : sockets_) {
    if (session == handle) return socket;
  }
  return -1;
}

int32_t InterruptibleApi::disconnect(int32_t handle, char* message) {
  const int32_t result = inner_.disconnect(handle, message);
  sockets_.erase(std::remove_if(sockets_.begin(), sockets_.end(), [&](const auto& s) { return s.first == handle; }),
                 sockets_.end());
  return result;
}

int32_t InterruptibleApi::command(int32_t handle, const char* command, char* message) {
  Waiting waiting(socketOf(handle));
  return inner_.command(handle, command, message);
}

int32_t InterruptibleApi::getNext(int32_t handle, char* message) {
  Waiting waiting(socketOf(handle));
  return inner_.getNext(handle, message);
}

bool InterruptibleApi::takeDropped() {
  const bool dropped = droppedFlag != 0;
  droppedFlag = 0;
  return dropped;
}

void catchInterrupts() {
  if (interruptPipe[0] < 0 && ::pipe(interruptPipe) == 0) {
    for (const int fd : interruptPipe) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  struct sigaction action {};
  action.sa_handler = noteInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the line editor's read returns
  sigaction(SIGINT, &action, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

bool interruptRequested() { return interruptFlag != 0; }

void clearInterrupt() {
  interruptFlag = 0;
  drainInterruptPipe();
}

void useUtf8Locale() {
  const auto isUtf8 = [] {
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
  };
  if (std::setlocale(LC_CTYPE, "") != nullptr && isUtf8()) return;
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) std::setlocale(LC_CTYPE, "C");
}

namespace {

constexpr std::size_t kHistoryEntries = 1000;

// The history file: one entry a line, as typed; an entry that holds line ends
// (a literal over several lines) goes on in lines that begin with a tab.
std::vector<std::string> readHistoryFile(const std::string& path) {
  std::vector<std::string> entries;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return entries;
  std::string line;
  auto finish = [&] {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '\t' && !entries.empty()) {
      entries.back() += '\n' + line.substr(1);
    } else if (!line.empty()) {
      entries.push_back(line);
    }
    line.clear();
  };
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    if (c == '\n') {
      finish();
    } else {
      line += static_cast<char>(c);
    }
  }
  finish();
  std::fclose(file);
  return entries;
}

std::string historyRecord(const std::string& entry) {
  std::string record;
  for (const char c : entry) {
    record += c;
    if (c == '\n') record += '\t';
  }
  return record + '\n';
}

}  // namespace

LineEditor::LineEditor() {
  rl_catch_signals = 0;  // Ctrl-C is the shell's: it clears the line
  rl_getc_function = readCharacter;
  stifle_history(static_cast<int>(kHistoryEntries));
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    historyPath_ = std::string(home) + "/.lumbra_history";
    std::vector<std::string> entries = readHistoryFile(historyPath_);
    if (entries.size() > kHistoryEntries) {
      // Kept to its last entries, written whole again.
      entries.erase(entries.begin(), entries.end() - static_cast<std::ptrdiff_t>(kHistoryEntries));
      if (std::FILE* file = std::fopen(historyPath_.c_str(), "wb")) {
        for (const auto& entry : entries) std::fputs(historyRecord(entry).c_str(), file);
        std::fclose(file);
      }
    }
    for (const auto& entry : entries) add_history(entry.c_str());
  }
}

LineEditor::Outcome LineEditor::readLine(const char* prompt, std::string& line) {
  char* raw = readline(prompt);
  // A Ctrl-C, even one that came before the prompt, drops the line.
  if (interruptRequested()) {
    std::free(raw);
    clearInterrupt();
    std::fputs("\n", stdout);
    std::fflush(stdout);
    return Outcome::interrupted;
  }
  if (raw == nullptr) return Outcome::end;
  line = raw;
  std::free(raw);
  return Outcome::line;
}

void LineEditor::remember(const std::string& entry) {
  if (entry.find_first_not_of(" \t\n") == std::string::npos) return;
  add_history(entry.c_str());
  if (historyPath_.empty()) return;
  // Appended at once, so that the history survives any ending.
  if (std::FILE* file = std::fopen(historyPath_.c_str(), "ab")) {
    std::fputs(historyRecord(entry).c_str(), file);
    std::fclose(file);
  }
}

}  // namespace lumbra_shell
