// The shell's contact with the terminal: a password read without echo, the
// progress line of long retrievals, and line editing with history (libedit).
#pragma once

#include "tools/lumbra/shell.h"

#include <chrono>
#include <optional>
#include <string>

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

// Reads lines with editing and a history kept in ~/.lumbra_history.
class LineEditor {
public:
    LineEditor();
    ~LineEditor();
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;
    std::optional<std::string> readLine(const char* prompt);

private:
    std::string historyPath_;
};

}  // namespace lumbra_shell
