// Terminal I/O of the shell: secret input, progress line, libedit.
#include "tools/lumbra/terminal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <editline/readline.h>

namespace lumbra_shell {

std::optional<std::string> readSecret(const char* prompt)
{
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

void TerminalProgress::rows(std::int64_t delivered, std::int64_t total)
{
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

void TerminalProgress::finish()
{
    if (shown_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    started_ = false;
    shown_ = false;
}

LineEditor::LineEditor()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        historyPath_ = std::string(home) + "/.lumbra_history";
        read_history(historyPath_.c_str());
    }
}

LineEditor::~LineEditor()
{
    if (!historyPath_.empty()) write_history(historyPath_.c_str());
}

std::optional<std::string> LineEditor::readLine(const char* prompt)
{
    char* raw = readline(prompt);
    if (raw == nullptr) return std::nullopt;
    std::string line(raw);
    std::free(raw);
    if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
    return line;
}

}  // namespace lumbra_shell
