// The shell's command line, read without side effects.
#pragma once

#include "tools/lumbra/result_format.h"

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

namespace lumbra_shell {

// Exit statuses of the shell.
inline constexpr int kExitOk = 0;
inline constexpr int kExitCommandFailed = 1;  // a command or a backslash command failed, or updates
                                              // were left without COMMIT
inline constexpr int kExitUsage = 2;          // bad command line, no credentials, connection refused,
                                              // a command file that cannot be read
inline constexpr int kExitInterrupted = 130;  // a script stopped by Ctrl-C

struct ScriptStep {
  enum class Kind { command, file } kind = Kind::command;
  std::string text;  // the command, or the path of a command file ("-" = standard input)
};

struct Options {
  std::string target;
  std::vector<ScriptStep> steps;
  OutputFormat format = OutputFormat::table;
  std::string formatName = "table";
  std::vector<std::string> commands;  // the -c texts, in order
  std::vector<std::string> files;     // the -f paths, in order
  std::string outputFile;
  std::string passwordFile;
  std::string newPasswordFile;
  bool echo = false;
  bool stopOnError = false;
  bool quiet = false;
};

// Declares the shell's options on `app`, filled into `options` by its parse.
void declareOptions(CLI::App& app, Options& options);
// After a successful parse of `app`: the -c and -f steps in the order given,
// and the format. False with an error when the line still does not hold.
bool finishOptions(const CLI::App& app, Options& options, std::string& error);

// The whole command line (without the program name) parsed quietly: the
// options, or nothing and the error.
std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& error);

}  // namespace lumbra_shell
