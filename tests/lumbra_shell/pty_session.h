// A program run on a pseudo-terminal of its own, as a user at a terminal runs
// it: keys are sent, and what the program writes is awaited by its text. The
// program is killed if it still runs when the session ends.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lumbra::shell::testing {

class PtySession {
 public:
  PtySession() = default;
  PtySession(const PtySession&) = delete;
  PtySession& operator=(const PtySession&) = delete;
  ~PtySession() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }

  // Starts `arguments[0]` with the other arguments; `environment` holds
  // NAME=VALUE settings added to the test's own.
  bool start(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 200;
    pid_ = forkpty(&fd_, nullptr, nullptr, &size);
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      for (const auto& setting : environment) putenv(const_cast<char*>(setting.c_str()));
      std::vector<char*> argv;
      for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return true;
  }

  // Types at the line editor: waits (up to five seconds) until the editor
  // reads the terminal key by key, as a person sees the prompt before typing.
  // Keys that come while the terminal changes its mode can be lost.
  void type(const std::string& keys) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    termios mode{};
    while (Clock::now() < deadline && tcgetattr(fd_, &mode) == 0 && (mode.c_lflag & ICANON) != 0) {
      readSome(Clock::now() + std::chrono::milliseconds(10));
    }
    send(keys);
  }

  // Sends at once, whatever the terminal's mode (Ctrl-C while rows are shown).
  void send(const std::string& keys) {
    std::size_t done = 0;
    while (done < keys.size()) {
      const ssize_t n = write(fd_, keys.data() + done, keys.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

  // Waits up to `seconds` for `text` in what the program wrote after the
  // last text found; true when it came.
  bool expect(const std::string& text, double seconds = 10) {
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
      const auto at = seen_.find(text, cursor_);
      if (at != std::string::npos) {
        cursor_ = at + text.size();
        return true;
      }
      if (Clock::now() >= deadline || !readSome(deadline)) return false;
    }
  }

  // Reads whatever comes within `seconds`.
  void drain(double seconds) {
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < deadline && readSome(deadline)) {
    }
  }

  // What the program wrote after the last text found.
  std::string rest() const { return seen_.substr(cursor_); }
  const std::string& seen() const { return seen_; }

  // The exit status, or -1 when the program did not end within `seconds`.
  int wait(double seconds = 10) {
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < deadline) {
      readSome(Clock::now() + std::chrono::milliseconds(50));
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }

 private:
  using Clock = std::chrono::steady_clock;

  bool readSome(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left > 0 ? left : 0)) <= 0) return true;
    char chunk[4096];
    const ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n <= 0) return false;  // the program closed the terminal
    seen_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  std::string seen_;
  std::size_t cursor_ = 0;
};

}  // namespace lumbra::shell::testing
