// lumbra-server: the reference server of the lumbra protocol, and its user administration.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "server/log.h"
#include "server/login.h"
#include "server/options.h"
#include "server/postgres/site.h"
#include "server/server.h"
#include "platform/system.h"
#include "server/users.h"

#include "suite_version.h"

using namespace lumbra::server;

namespace {

int manageUser(const CommandLine& line) {
  std::string error;
  auto users = UserStore::open(line.server.settings.databasePath, error);
  if (!users) {
    std::fprintf(stderr, "lumbra-server: cannot open the users of %s: %s\n",
                 pg::redactedUri(line.server.settings.databasePath).c_str(), error.c_str());
    return 1;
  }
  if (line.action == CommandLine::Action::UserList) {
    for (const std::string& id : users->list()) std::printf("%s\n", id.c_str());
    return 0;
  }
  if (line.action == CommandLine::Action::UserRemove) {
    UserStore::Result result = users->remove(line.userId);
    if (result == UserStore::Result::NotFound) {
      std::fprintf(stderr, "lumbra-server: no user '%s'\n", line.userId.c_str());
      return 1;
    }
    if (result != UserStore::Result::Ok) {
      std::fprintf(stderr, "lumbra-server: %s\n", users->lastError().c_str());
      return 1;
    }
    std::fprintf(stderr, "user '%s' removed\n", line.userId.c_str());
    return 0;
  }
  std::string password;
  if (!std::getline(std::cin, password)) {
    std::fprintf(stderr, "lumbra-server: no password on standard input\n");
    return 1;
  }
  std::string why;
  auto normalized = normalizePassword(password, &why);
  if (!normalized) {
    std::fprintf(stderr, "lumbra-server: %s\n", why.c_str());
    return 1;
  }
  bool adding = line.action == CommandLine::Action::UserAdd;
  UserStore::Result result = adding ? users->add(line.userId, *normalized, line.iterations)
                                    : users->setPassword(line.userId, *normalized, line.iterations);
  switch (result) {
    case UserStore::Result::Ok:
      std::fprintf(stderr, "user '%s' %s\n", line.userId.c_str(), adding ? "added" : "password changed");
      return 0;
    case UserStore::Result::Exists:
      std::fprintf(stderr, "lumbra-server: user '%s' exists already (use 'user passwd')\n",
                   line.userId.c_str());
      return 1;
    case UserStore::Result::NotFound:
      std::fprintf(stderr, "lumbra-server: no user '%s' (use 'user add')\n", line.userId.c_str());
      return 1;
    case UserStore::Result::Failed:
      break;
  }
  std::fprintf(stderr, "lumbra-server: %s\n", users->lastError().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  std::optional<CommandLine> line = parseCommandLine(args, error);
  if (!line) {
    std::fprintf(stderr, "lumbra-server: %s (see lumbra-server --help)\n", error.c_str());
    return 2;
  }
  switch (line->action) {
    case CommandLine::Action::Help:
      std::fputs(usageText(), stdout);
      return 0;
    case CommandLine::Action::Version:
      std::printf("lumbra-server %s\n", SUITE_VERSION);
      return 0;
    case CommandLine::Action::Serve:
      break;
    default:
      return manageUser(*line);
  }
  if (line->quiet) setLogging(false);
  platform::raiseFileLimit();
  Server server(line->server);
  if (!server.start(error)) {
    std::fprintf(stderr, "lumbra-server: %s\n", error.c_str());
    return 1;
  }
  if (server.maxSessions() < 2000) {
    logLine("warning: the open-file limit allows only " + std::to_string(server.maxSessions()) + " sessions");
  }
  if (!line->portFile.empty()) {
    // Written whole under another name, then renamed: a reader never sees half a number.
    std::string temporary = line->portFile + ".tmp";
    {
      std::ofstream out(temporary, std::ios::trunc);
      out << server.port() << "\n";
      if (!out) {
        std::fprintf(stderr, "lumbra-server: cannot write %s\n", line->portFile.c_str());
        return 1;
      }
    }
    if (std::rename(temporary.c_str(), line->portFile.c_str()) != 0) {
      std::fprintf(stderr, "lumbra-server: cannot write %s\n", line->portFile.c_str());
      return 1;
    }
  }
  server.run(true);
  return 0;
}
