// lumbra-server: the reference server of the lumbra protocol, and its user administration.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "cli/command_line.h"
#include "server/control.h"
#include "server/layout.h"
#include "server/log.h"
#include "server/login.h"
#include "server/metrics.h"
#include "server/options.h"
#include "server/postgres/libpq.h"
#include "server/postgres/site.h"
#include "server/server.h"
#include "server/service.h"
#include "platform/system.h"
#include "server/users.h"

#include "suite_version.h"

using namespace lumbra::server;

namespace {

// status and trace: asked of the running server through its control socket.
int askServer(const CommandLine& line) {
  const std::string path = controlPath(line);
  if (path.empty()) {
    std::fprintf(stderr, "lumbra-server: no control socket: give the server's --control PATH (a server on "
                         "PostgreSQL has one only when given --control)\n");
    return 1;
  }
  std::string request = "status";
  if (line.action == CommandLine::Action::Trace) {
    request = "trace " + (line.traceUser.empty() ? "session " + std::to_string(line.traceSession)
                                                 : "user " + line.traceUser) +
              (line.traceOn ? " on" : " off");
  }
  std::string answer;
  if (!controlRequest(path, request, answer)) {
    std::fprintf(stderr, "lumbra-server: %s\n", answer.c_str());
    return 1;
  }
  std::fputs(answer.c_str(), stdout);
  return 0;
}

// init, upgrade and backup: the files of a database on SQLite.
int manageFiles(const CommandLine& line) {
  const std::string& database = line.server.settings.databasePath;
  if (pg::isPostgresUri(database)) {
    std::fprintf(stderr, "lumbra-server: '%s' is for a database on SQLite (%s)\n",
                 line.action == CommandLine::Action::Backup ? "backup" : "init and upgrade",
                 line.action == CommandLine::Action::Backup
                     ? "back up a PostgreSQL database with pg_dump"
                     : "on PostgreSQL the server and the user commands set the database up themselves");
    return 1;
  }
  std::string report;
  std::string error;
  bool done = false;
  switch (line.action) {
    case CommandLine::Action::Init:
      done = createDatabase(database, report, error);
      break;
    case CommandLine::Action::Upgrade:
      done = upgradeDatabase(database, report, error);
      break;
    default:
      done = backupDatabase(database, line.backupTo, report, error);
      break;
  }
  if (!done) {
    std::fprintf(stderr, "lumbra-server: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "%s\n", report.c_str());
  return 0;
}

int manageUser(const CommandLine& line) {
  std::string error;
  const std::string& database = line.server.settings.databasePath;
  if (line.action == CommandLine::Action::UserList) {
    // Reads only: creates no file, sets nothing up.
    std::optional<std::vector<std::string>> ids;
    if (pg::isPostgresUri(database)) {
      if (auto users = pg::openUserStore(database, false, error)) ids = users->list();
    } else {
      ids = readUsers(database, error);
    }
    if (!ids) {
      std::fprintf(stderr, "lumbra-server: %s\n", error.c_str());
      return 1;
    }
    for (const std::string& id : *ids) std::printf("%s\n", id.c_str());
    return 0;
  }
  if (!pg::isPostgresUri(database)) {
    // The first user of a new database makes it; every other change needs
    // the database and its users as they should be.
    if (line.action == CommandLine::Action::UserAdd && inspectFile(database).kind == FileKind::Missing) {
      std::string report;
      if (!createDatabase(database, report, error)) {
        std::fprintf(stderr, "lumbra-server: %s\n", error.c_str());
        return 1;
      }
      std::fprintf(stderr, "%s\n", report.c_str());
    }
    if (!checkDatabase(database, error)) {
      std::fprintf(stderr, "lumbra-server: %s\n", error.c_str());
      return 1;
    }
  }
  auto users = UserStore::open(database, error);
  if (!users) {
    std::fprintf(stderr, "lumbra-server: cannot open the users of %s: %s\n",
                 pg::redactedUri(line.server.settings.databasePath).c_str(), error.c_str());
    return 1;
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

// A PostgreSQL password on the command line is there for every user of the
// machine to read (ps, /proc): said once at the start.
void warnOfPasswordsInArguments(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if (args[i] == "--database" && i + 1 < args.size()) value = args[i + 1];
    if (args[i].starts_with("--database=")) value = args[i].substr(11);
    if (pg::isPostgresUri(value) && pg::redactedUri(value) != value) {
      logLine("warning: the PostgreSQL password is on the command line, where every user of this machine can "
              "read it: give it in the environment (PGPASSWORD) or with --database-password-file");
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  std::optional<CommandLine> line = parseCommandLine(args, error);
  if (!line) {
    std::fprintf(stderr, "lumbra-server: %s\nTry 'lumbra-server --help'.\n", error.c_str());
    return cli::kExitUsage;
  }
  switch (line->action) {
    case CommandLine::Action::Help:
      std::fputs(line->helpText.c_str(), stdout);
      return 0;
    case CommandLine::Action::Serve:
      break;
    case CommandLine::Action::Status:
    case CommandLine::Action::Trace:
      return askServer(*line);
    case CommandLine::Action::Init:
    case CommandLine::Action::Upgrade:
    case CommandLine::Action::Backup:
      return manageFiles(*line);
    default:
      return manageUser(*line);
  }
  // SIGHUP reopens the log file (after a rotation): a thread of its own
  // waits for it, the signal blocked in every thread, those started later too.
  sigset_t hangup;
  sigemptyset(&hangup);
  sigaddset(&hangup, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &hangup, nullptr);
  std::thread([hangup] {
    for (;;) {
      int signal = 0;
      if (sigwait(&hangup, &signal) == 0) reopenLogFile();
    }
  }).detach();
  if (line->quiet) setLogging(false);
  setLogFormat(line->logFormat);
  // What could refuse the start comes first, each refusal one line, and
  // nothing is left behind: the files checked (written to by nobody), the
  // metrics' port and the control socket taken (the socket removed again on
  // a refusal after it), the log file opened.
  const std::string& database = line->server.settings.databasePath;
  std::optional<int> users;
  if (!pg::isPostgresUri(database)) {
    users = checkDatabase(database, error);
    if (!users) {
      std::fprintf(stderr, "lumbra-server: %s\n", error.c_str());
      return 1;
    }
  }
  MetricsEndpoint metricsEndpoint;
  if (!line->metrics.empty()) {
    ListenAddress address;
    parseListen(line->metrics, address);
    if (!metricsEndpoint.start(address.host, address.port, error)) {
      std::fprintf(stderr, "lumbra-server: --metrics %s: %s\n", line->metrics.c_str(), error.c_str());
      return 1;
    }
  }
  ControlSocket control;
  std::string noControl;
  if (const std::string path = controlPath(*line); !path.empty() && !control.start(path, error)) {
    if (!line->control.empty()) {
      std::fprintf(stderr, "lumbra-server: --control %s: %s\n", path.c_str(), error.c_str());
      return 1;
    }
    // The default place is taken (another server on this database): this one runs without.
    noControl = "warning: no control socket (" + path + ": " + error + "); 'status' and 'trace' need --control PATH";
  }
  if (!line->logFile.empty() && !openLogFile(line->logFile, error)) {
    std::fprintf(stderr, "lumbra-server: --log %s: %s\n", line->logFile.c_str(), error.c_str());
    return 1;
  }
  warnOfPasswordsInArguments(args);
  if (users && *users == 0) {
    logLine("warning: no users in " + userStorePath(database) +
            ": every login is refused until 'lumbra-server user add ID --database " + database + "'");
  }
  if (!noControl.empty()) logLine(noControl);
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
  if (!line->metrics.empty()) {
    logLine("metrics on http://" + line->metrics.substr(0, line->metrics.rfind(':')) + ":" +
            std::to_string(metricsEndpoint.port()) + "/metrics");
  }
  notifyReady("listening on " + line->server.listen.host + ":" + std::to_string(server.port()));
  server.run(true);
  return 0;
}
