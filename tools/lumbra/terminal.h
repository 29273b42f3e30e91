// The shell's contact with the terminal: a password read without echo, the
// progress line of long retrievals, Ctrl-C, the locale, and line editing with
// history (libedit).
#pragma once

#include "tools/lumbra/client_api.h"
#include "tools/lumbra/shell.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lumbra_shell {

// Prompts on the controlling terminal and reads one line with echo off.
std::optional<std::string> readSecret(const char* prompt);

// "12345 rows, 50000 rows/s" on standard error, redrawn at most four times a
// second and only after the retrieval has taken half a second; cleared at the end.
class TerminalProgress final : public ProgressSink {
 public:
  void rows(std::int64_t delivered, std::int64_t total) override;
  void finish() override;

 private:
  using Clock = std::chrono::steady_clock;
  bool started_ = false;
  bool shown_ = false;
  Clock::time_point start_;
  Clock::time_point last_;
};

// Ctrl-C (SIGINT) from now on only notes that it came; interrupted system
// calls return early (the client library resumes its own). SIGPIPE is ignored:
// a write to a closed connection fails instead of ending the shell.
void catchInterrupts();
bool interruptRequested();
void clearInterrupt();

// The client's calls watched for Ctrl-C. While a call waits for the server, a
// first Ctrl-C says "waiting for the server; Ctrl-C again drops the
// connection", and a second shuts the session's socket down, so that the call
// returns at once (the server then rolls the session's transaction back).
// The socket of a session is the one LBConnect opened.
class InterruptibleApi final : public ClientApi {
 public:
  explicit InterruptibleApi(ClientApi& inner) : inner_(inner) {}
  int32_t connect(const char* identification, const char* firstCredential, const char* secondCredential,
                  const char* serverAddress, char* message) override;
  int32_t disconnect(int32_t handle, char* message) override;
  int32_t command(int32_t handle, const char* command, char* message) override;
  int32_t getNext(int32_t handle, char* message) override;
  int32_t crc(int32_t length, const void* data) override { return inner_.crc(length, data); }
  int32_t asciiToEbcdic(char* text) override { return inner_.asciiToEbcdic(text); }
  int32_t insertBin(int32_t handle, char* command, const void* data, int32_t length) override {
    return inner_.insertBin(handle, command, data, length);
  }
  // Whether a second Ctrl-C dropped a connection since the last time asked.
  bool takeDropped();

 private:
  int socketOf(int32_t handle) const;

  ClientApi& inner_;
  std::vector<std::pair<int32_t, int>> sockets_;  // session handle, its socket
};

// The locale of the environment for character handling, so that the line
// editor takes UTF-8; where that locale is not UTF-8, C.UTF-8 (the shell
// writes UTF-8 anyway).
void useUtf8Locale();

// Reads lines with editing and a history kept in ~/.lumbra_history: the last
// 1000 commands, a statement over several lines as one entry, written as
// plain text after every command, so that it survives any ending.
class LineEditor {
 public:
  LineEditor();
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  enum class Outcome { line, interrupted, end };
  // A line; `interrupted` after Ctrl-C (the line typed so far is dropped);
  // `end` after Ctrl-D on an empty line.
  Outcome readLine(const char* prompt, std::string& line);
  // A whole command for the history.
  void remember(const std::string& entry);

 private:
  std::string historyPath_;
};

}  // namespace lumbra_shell
