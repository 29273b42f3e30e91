// The shell's session logic: connect, run one line (a command for the server or
// a backslash command), print results and failures. All client calls go through
// ClientApi and all output through the two streams, so the tests drive it with
// a scripted client and string streams.
#pragma once

#include "tools/lumbra/client_api.h"
#include "tools/lumbra/result_format.h"
#include "tools/lumbra/shell_text.h"

#include <cstdint>
#include <fstream>
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
inline constexpr long long kInitialMessageLength = 1901;
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
    // Interactive use prints a short note for batched updates.
    void setInteractive(bool interactive) { interactive_ = interactive; }
    void setProgress(ProgressSink* progress) { progress_ = progress; }
    // Results to a file from now on (what "\o FILE" does); false when it cannot be written.
    bool setOutputFile(const std::string& path) { return redirect({"\\o", path}); }

    // LBConnect; prints the failure and returns false when refused.
    bool connect(const ConnectTarget& target, const std::string& firstCredential,
                 const std::string& secondCredential);
    // LBDisconn; false when the farewell was not answered (the session is gone anyway).
    bool disconnect();
    bool connected() const { return handle_ >= 0; }
    // The login reply text of the server, as received.
    const std::string& loginReply() const { return loginReply_; }
    // "GETSET SERVERINFO" and "GETSET CLIENTID", ready for the terminal.
    std::string serverInfo();
    std::string clientId();

    // Runs one line; true on success. "\q" sets quitRequested().
    bool execute(std::string_view line);
    bool quitRequested() const { return quit_; }
    // The message length the session uses now (from ",ML=").
    long long messageLength() const { return messageLength_; }

private:
    bool runServerCommand(std::string_view command);
    bool printRows(std::int32_t count);
    bool runBackslash(std::string_view line);
    bool insertBinary(const std::string& text, const std::string& path);
    bool crcOfFile(const std::string& path);
    bool ebcdic(const std::string& text);
    bool redirect(const std::vector<std::string>& words);
    bool fail(std::int32_t status, std::string_view text);
    bool usage(std::string_view text);
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
    std::int32_t handle_ = -1;
    long long messageLength_ = kInitialMessageLength;
    std::vector<char> message_;
    std::string loginReply_;
    bool quit_ = false;
};

// Reads a whole file in binary; false with a reason when it cannot.
bool readFile(const std::string& path, std::string& contents, std::string& error);

}  // namespace lumbra_shell
