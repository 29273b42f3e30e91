// The command line of lumbra-server, and its configuration file: serving options and the commands.
//
// One parser reads both: CLI11, with --config FILE read by CLI11's own reader
// of TOML files. A key of the file is a long option without its dashes
// (`listen = "0.0.0.0:3001"`, `idle-timeout = 600`, `quiet = true`); a key it
// does not know is refused, and the command line overrides the file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/log.h"
#include "server/server.h"

namespace lumbra::server {

struct CommandLine {
  enum class Action {
    Serve,
    UserAdd,
    UserPasswd,
    UserRemove,
    UserList,
    Init,
    Upgrade,
    Backup,
    Status,
    Trace,
    Help,  // --help, --version, --options-markdown: print helpText
  };
  Action action = Action::Serve;
  ServerOptions server;
  std::string portFile;  // --port-file: where to write the bound port
  std::string userId;    // user subcommands
  int iterations = kDefaultIterations;
  bool quiet = false;
  std::string backupTo;  // backup: the destination path
  std::string logFile;   // --log: empty for standard error
  LogFormat logFormat = LogFormat::Text;
  std::string control;   // --control: the control socket ("off": none)
  std::string metrics;   // --metrics HOST:PORT ("" none)
  // trace: whose messages (an identification, or a session number), on or off.
  std::string traceUser;
  long long traceSession = 0;
  bool traceOn = false;
  std::string helpText;  // Help: what to print on standard output
};

// Parses the arguments (without the program name), reading the --config file
// they name, with the conventions of cli/command_line.h. Nothing, with `error`
// set to one line naming the option and the reason, when they are wrong
// (exit status 2).
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args, std::string& error);

// "HOST:PORT", ":PORT", "HOST" (port `defaultPort`) or "PORT"; the host a numeric IPv4 address.
bool parseListen(const std::string& text, ListenAddress& address, std::uint16_t defaultPort = 3001);

// Every option as Markdown tables (option, value, default, meaning), for the
// documentation: what --options-markdown prints.
std::string optionsTable();


// The control socket of a server with these options: --control PATH, else
// PATH.control beside a SQLite database. Empty: none (--control off, or a
// PostgreSQL database without --control).
std::string controlPath(const CommandLine& line);

}  // namespace lumbra::server
