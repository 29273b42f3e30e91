// The command line of lumbra-server: serving options and the user subcommands.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/server.h"

namespace lumbra::server {

struct CommandLine {
  enum class Action { Serve, UserAdd, UserPasswd, UserRemove, UserList, Init, Upgrade, Backup, Help, Version };
  Action action = Action::Serve;
  ServerOptions server;
  std::string portFile;  // --port-file: where to write the bound port
  std::string userId;    // user subcommands
  std::string backupTo;  // backup: the destination path
  int iterations = kDefaultIterations;
  bool quiet = false;
};

// Parses the arguments (without the program name). Nothing, with `error` set,
// when they are wrong.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args, std::string& error);

// "HOST:PORT", ":PORT", "HOST" (port 3001) or "PORT"; the host a numeric IPv4 address.
bool parseListen(const std::string& text, ListenAddress& address);

// The usage text printed by --help.
const char* usageText();

}  // namespace lumbra::server
