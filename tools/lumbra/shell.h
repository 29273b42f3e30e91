// The shell's session logic: connect, run one line (a command for the server or
// a backslash command), print results and failures. All client calls go through
// ClientApi and all output through the two streams, so the tests drive it with
// a scripted client and string streams.
#pragma once

#include "protocol/wire.h"
#include "tools/lumbra/client_api.h"
#include "tools/lumbra/result_format.h"
#include "tools/lumbra/shell_text.h"

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace lumbra_shell {

// Told about a retrieval as it goes; the terminal implementation draws a
// progress line, throttled by time.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void rows(std::int64_t delivered, std::int64_t total) = 0;
  virtual void finish() = 0;
};

// The smallest message length of a session (the client's initial buffer).
inline constexpr long long kInitialMessageLength = lumbra::kInitialBufferSize;
// LBInsertBin and LBCRC take 16-bit lengths.
inline constexpr std::size_t kMaxBinaryLength = 32767;

class Shell {
 public:
  Shell(ClientApi& api, std::ostream& out, std::ostream& err);
  ~Shell();
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;

  void setFormat(OutputFormat format) { format_ = format; }
  OutputFormat format() const { return format_; }
  // Interactive use prints a short note for batched updates, and a line end
  // after raw rows so that the prompt starts a line of its own.
  void setInteractive(bool interactive) { interactive_ = interactive; }
  void setProgress(ProgressSink* progress) { progress_ = progress; }
  // Asked between rows: true stops the rows being shown (Ctrl-C). The rest
  // of the result is dropped by the next command.
  void setInterrupted(std::function<bool()> interrupted) { interrupted_ = std::move(interrupted); }
  // Asked by "\connect" for the password of another identification.
  void setPasswordSource(
      std::function<std::optional<std::string>(const std::string& identification)> source) {
    passwordSource_ = std::move(source);
  }
  // Where the commands come from ("q.sql:3"), put before every line the shell
  // writes to the error stream; empty: nothing.
  void setLocation(std::string location) { location_ = std::move(location); }
  // Results to a file from now on (what "\o FILE" does); false when it cannot be written.
  bool setOutputFile(const std::string& path) { return redirect({"\\o", path}); }

  // LBConnect; prints the failure and returns false when refused.
  bool connect(const ConnectTarget& target, const std::string& firstCredential,
               const std::string& secondCredential);
  // LBDisconn; false when the farewell was not answered (the session is gone anyway).
  bool disconnect();
  bool connected() const { return handle_ >= 0; }
  // Whether the last session ended because the connection was lost (-1 or -2).
  bool connectionLost() const { return lost_; }
  // The login reply text of the server, as received.
  const std::string& loginReply() const { return loginReply_; }
  // "GETSET SERVERINFO" and "GETSET CLIENTID", ready for the terminal.
  std::string serverInfo();
  std::string clientId();

  // Runs one command (a backslash command, help, quit or exit, or a command
  // for the server); true on success. A "--" comment is skipped, a ';' at the
  // end dropped, a leading command word upper-cased, and the text converted
  // from UTF-8 to Windows-1252. "\q", quit and exit set quitRequested().
  bool execute(std::string_view line);
  bool quitRequested() const { return quit_; }
  void clearQuit() { quit_ = false; }

  // Updates given since the last COMMIT or ROLLBACK, batched or sent: the
  // session's end rolls them back.
  std::int64_t uncommitted() const { return sentUpdates_ + static_cast<std::int64_t>(batch_.size()); }
  // Updates not committed, or an EXEC that may have written since the last
  // COMMIT or ROLLBACK (the prompt shows it).
  bool transactionOpen() const { return uncommitted() > 0 || execWrote_; }
  // What the end of the session would lose, asked of the server where it can
  // tell ("GETSET UPDATES", "GETSET TRANSACTION"); nothing when nothing is lost.
  std::optional<std::string> uncommittedWarning();
  // The message length the session uses now (from ",ML=").
  long long messageLength() const { return messageLength_; }

 private:
  bool runServerCommand(const std::string& command);
  bool serverFailure(std::int32_t status, const std::string& command, const std::string& text);
  bool connectionFailure(std::int32_t status, const std::string& text);
  void loseConnection();
  void batchSent();
  void execDone(const std::string& command, const std::string& answer);
  bool reconnect(const std::vector<std::string>& words);
  std::optional<std::string> askServer(const char* command);
  bool printRows(std::int32_t count);
  bool runBackslash(std::string_view line);
  bool insertBinary(const std::string& text, const std::string& path);
  bool crcOfFile(const std::string& path);
  bool ebcdic(const std::string& text);
  bool redirect(const std::vector<std::string>& words);
  // "error N: TEXT" and, when `explain`, the line that tells what it means.
  bool fail(std::int32_t status, std::string_view text, bool explain = true);
  bool usage(std::string_view text);
  // Writes text to the error stream, each line after the location.
  void report(std::string_view text);
  void help();
  char* messageBuffer(std::size_t rowLength = 0);
  std::string messageText() const;
  std::ostream& out() { return redirect_.is_open() ? static_cast<std::ostream&>(redirect_) : out_; }

  ClientApi& api_;
  std::ostream& out_;
  std::ostream& err_;
  std::ofstream redirect_;
  OutputFormat format_ = OutputFormat::table;
  bool interactive_ = false;
  ProgressSink* progress_ = nullptr;
  std::function<bool()> interrupted_;
  std::function<std::optional<std::string>(const std::string&)> passwordSource_;
  bool timing_ = false;
  bool expanded_ = false;
  // The database behind the server, for \\dt and \\d; asked once a session.
  enum class Dialect { unknown, sqlite, postgres } dialect_ = Dialect::unknown;
  std::string nullText_;
  std::string location_;
  std::string address_;  // of the last connection asked for
  std::int32_t handle_ = -1;
  bool lost_ = false;
  ConnectTarget target_;
  std::string password_;
  std::vector<std::string> batch_;  // batched updates the server has not answered yet
  std::int64_t sentUpdates_ = 0;    // updates the server took since the last COMMIT or ROLLBACK
  bool execWrote_ = false;
  long long messageLength_ = kInitialMessageLength;
  std::vector<char> message_;
  std::string loginReply_;
  bool quit_ = false;
};

// Reads a whole file in binary; false with a reason when it cannot.
bool readFile(const std::string& path, std::string& contents, std::string& error);

}  // namespace lumbra_shell
