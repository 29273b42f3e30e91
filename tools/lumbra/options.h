// The shell's command line, read without side effects.
#pragma once

#include "tools/lumbra/result_format.h"

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
  std::string outputFile;
  std::string passwordFile;
  std::string newPasswordFile;
  bool echo = false;
  bool stopOnError = false;
  bool quiet = false;
  bool help = false;
};

std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& error);

extern const char* const kUsage;

}  // namespace lumbra_shell
