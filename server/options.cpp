// The command line and the configuration file of lumbra-server, both read by CLI11.
#include "server/options.h"

#include <CLI/CLI.hpp>
#include <asio/ip/address_v4.hpp>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "server/postgres/libpq.h"
#include "server/postgres/site.h"
#include "server/users.h"
#include "cli/command_line.h"

#include "suite_version.h"

namespace lumbra::server {

namespace {

bool readInt(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty() || text.size() > 12) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::atoll(text.c_str());
  return value >= low && value <= high;
}

// A whole number from `low` to `high`; `unit` and `zero` (what 0 means) for the message.
CLI::Validator numberFrom(long long low, long long high, std::string unit = "a number", std::string zero = "") {
  std::string range = unit + " from " + std::to_string(low) + (zero.empty() ? "" : " (" + zero + ")") + " to " +
                      std::to_string(high);
  return CLI::Validator(
      [low, high, range](std::string& text) -> std::string {
        long long value = 0;
        if (readInt(text, low, high, value)) return {};
        return "must be " + range + ", not '" + text + "'";
      },
      "", "");
}

// Megabytes: 0 (no limit), or from 16.
CLI::Validator megabytes() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        long long value = 0;
        if (readInt(text, 0, 1048576, value) && (value == 0 || value >= 16)) return {};
        return "must be megabytes from 16 to 1048576, or 0 (no limit), not '" + text + "'";
      },
      "", "");
}

CLI::Validator listenAddress() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        ListenAddress address;
        if (parseListen(text, address)) return {};
        return "needs HOST:PORT with a numeric IPv4 address and a port up to 65535, not '" + text + "'";
      },
      "", "");
}

CLI::Validator notEmpty(const char* what) {
  return CLI::Validator([what](std::string& text) -> std::string { return text.empty() ? std::string("needs ") + what : ""; },
                        "", "");
}

std::string seconds(std::chrono::milliseconds duration) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

CLI::Validator oneOf(std::vector<std::string> words) {
  return CLI::Validator(
      [words](std::string& text) -> std::string {
        std::string all;
        for (const std::string& word : words) {
          if (word == text) return {};
          all += (all.empty() ? "" : " or ") + word;
        }
        return "must be " + all + ", not '" + text + "'";
      },
      "", "");
}

// The options and commands, bound to `line`. Numbers land in `line` through
// callbacks, as they are read.
struct Parser {
  explicit Parser(CommandLine& line) : line(line) { build(); }

  void build();
  // A whole-number option that calls `store` with its value.
  CLI::Option* number(const std::string& name, const std::string& value, const std::string& help,
                      CLI::Validator check, const std::function<void(long long)>& store) {
    return app.add_option_function<std::string>(
                  name, [store](const std::string& text) { store(std::atoll(text.c_str())); }, help)
        ->type_name(value)
        ->check(check);
  }

  CommandLine& line;
  CLI::App app{"Serves the lumbra protocol on a SQLite database file, or on PostgreSQL.", "lumbra-server"};
  CLI::App* user = nullptr;
  CLI::App* userAdd = nullptr;
  CLI::App* userPasswd = nullptr;
  CLI::App* userRemove = nullptr;
  CLI::App* userList = nullptr;
  CLI::App* init = nullptr;
  CLI::App* upgrade = nullptr;
  CLI::App* backup = nullptr;
  CLI::App* status = nullptr;
  CLI::App* trace = nullptr;
  std::string listen;
  std::string passwordFile;
  std::string logFormat;
  std::string traceSwitch;
};

void Parser::build() {
  ServerOptions& s = line.server;
  // An option given twice: the last one counts, as in most programs.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.set_config("--config", "", "read options from this TOML file (keys: the long options without dashes)")
      ->type_name("FILE");
  app.allow_config_extras(CLI::config_extras_mode::error);
  app.fallthrough();
  app.allow_extras();  // named in one line after the parse

  app.add_option("--listen", listen, "numeric IPv4 address and port; port 0 picks a free port")
      ->type_name("HOST:PORT")
      ->default_str("127.0.0.1:3001")
      ->check(listenAddress());
  app.add_option("--database", s.settings.databasePath,
                 "the database file (its users in PATH.users), or a postgresql:// URI")
      ->type_name("PATH|URI")
      ->default_str(s.settings.databasePath)
      ->check(notEmpty("a path"));
  app.add_option("--database-password-file", passwordFile,
                 "with a PostgreSQL database: its password, the first line of this file")
      ->type_name("FILE");
  number("--message-length", "N", "the message length announced at login with ,ML=",
         numberFrom(kMinMessageLength, kMaxMessageLength),
         [&s](long long v) { s.settings.messageLength = static_cast<int>(v); })
      ->default_str(std::to_string(kDefaultAnnouncedLength));
  app.add_option("--port-file", line.portFile, "writes the port bound (one line) once the server accepts connections")
      ->type_name("PATH");
  number("--threads", "N", "threads that read, write, greet and log in", numberFrom(1, 256),
         [&s](long long v) { s.threads = static_cast<int>(v); })
      ->default_str("processors, 2 to 8");
  number("--sql-threads", "N", "threads that run the sessions' SQL", numberFrom(1, 256),
         [&s](long long v) { s.sqlThreads = static_cast<int>(v); })
      ->default_str("as --threads");
  number("--busy-timeout", "MS", "how long an update waits for the write lock of another session",
         numberFrom(0, 600000, "milliseconds"), [&s](long long v) { s.settings.busyTimeoutMs = static_cast<int>(v); })
      ->default_str(std::to_string(s.settings.busyTimeoutMs));
  number("--statement-timeout", "S", "the SQL of one message is interrupted after this long (2009)",
         numberFrom(0, 86400, "seconds", "no limit"),
         [&s](long long v) { s.settings.statementTimeout = std::chrono::seconds(v); })
      ->default_str(seconds(s.settings.statementTimeout));
  number("--login-timeout", "S", "from the connection to a successful login, at most",
         numberFrom(0, 3600, "seconds", "no limit"),
         [&s](long long v) { s.settings.preLoginTimeout = std::chrono::seconds(v); })
      ->default_str(seconds(s.settings.preLoginTimeout));
  number("--idle-timeout", "S", "a logged-in session silent this long is closed",
         numberFrom(0, 604800, "seconds", "never"),
         [&s](long long v) { s.settings.idleTimeout = std::chrono::seconds(v); })
      ->default_str(seconds(s.settings.idleTimeout));
  number("--result-hold", "S", "an open result is let go this long after its SELECT",
         numberFrom(0, 86400, "seconds", "never"),
         [&s](long long v) { s.settings.resultHold = std::chrono::seconds(v); })
      ->default_str(seconds(s.settings.resultHold));
  number("--max-sessions", "N", "sessions open at once, at most", numberFrom(1, 1000000),
         [&s](long long v) { s.maxSessions = static_cast<long>(v); })
      ->default_str("(open files - 64) / 3");
  number("--login-failures", "N", "failed logins after which the connection is closed",
         numberFrom(0, 1000, "a number", "never close"),
         [&s](long long v) { s.settings.loginFailures = static_cast<int>(v); })
      ->default_str(std::to_string(s.settings.loginFailures));
  number("--login-delay", "MS", "first wait for logins from an address that keeps failing",
         numberFrom(0, 60000, "milliseconds", "no delay"),
         [&s](long long v) { s.loginDelay = std::chrono::milliseconds(v); })
      ->default_str(std::to_string(kDefaultLoginDelayMs));
  number("--memory-limit", "MB", "SQLite's memory in the whole server, at most (0: no limit)", megabytes(),
         [&s](long long v) { s.memoryLimitMb = v; })
      ->default_str(std::to_string(kDefaultMemoryLimitMb));
  number("--reply-memory", "MB", "replies built and not yet sent, all sessions together (0: no limit)",
         megabytes(), [&s](long long v) { s.replyMemoryMb = v; })
      ->default_str(std::to_string(kDefaultReplyMemoryMb));
  app.add_option("--users", s.usersDatabase,
                 "with a PostgreSQL database: the users of PATH.users instead of those in PostgreSQL (for tests)")
      ->type_name("PATH")
      ->check(notEmpty("a path"));
  number("--pool-size", "N", "with a PostgreSQL database: the most connections the server opens to it",
         numberFrom(1, 10000), [&s](long long v) { s.poolSize = static_cast<int>(v); })
      ->default_str(std::to_string(kDefaultPoolSize));
  app.add_flag("--trace", s.trace, "one log line per message of every session (see also 'trace')");
  app.add_flag("--quiet", line.quiet, "no log at all");
  app.add_option("--log", line.logFile, "the log file (appended to; SIGHUP reopens it)")
      ->type_name("FILE")
      ->default_str("standard error")
      ->check(notEmpty("a path"));
  app.add_option("--log-format", logFormat, "text lines, or JSON objects one a line")
      ->type_name("text|json")
      ->default_str("text")
      ->check(oneOf({"text", "json"}));

  app.add_option("--control", line.control,
                 "the control socket of 'status' and 'trace' (a Unix socket, mode 0600); off: none")
      ->type_name("PATH")
      ->default_str("PATH.control beside a SQLite database")
      ->check(notEmpty("a path"));
  app.add_option("--metrics", line.metrics, "serves Prometheus metrics over HTTP at /metrics")
      ->type_name("HOST:PORT")
      ->check(listenAddress());

  user = app.add_subcommand("user", "manage the users")->require_subcommand(1);
  auto iterations = [this](CLI::App* command) {
    command->add_option("--iterations", line.iterations, "PBKDF2 iterations of the stored hash")
        ->type_name("N")
        ->default_str(std::to_string(kDefaultIterations))
        ->check(numberFrom(1, 10000000));
  };
  auto identification = [this](CLI::App* command) {
    command->add_option("ID", line.userId, "the identification")->type_name("ID")->required()->check(CLI::Validator(
        [](std::string& id) {
          std::string why;
          return validIdentification(id, &why) ? std::string() : why;
        },
        "", ""));
  };
  userAdd = user->add_subcommand("add", "add a user; the password is the first line of standard input "
                                        "(the first user of a new database makes it)");
  identification(userAdd);
  iterations(userAdd);
  userPasswd = user->add_subcommand("passwd", "change a password, read from standard input");
  identification(userPasswd);
  iterations(userPasswd);
  userRemove = user->add_subcommand("remove", "remove a user");
  identification(userRemove);
  userList = user->add_subcommand("list", "print the identifications, one a line");
  init = app.add_subcommand("init", "make a new database and its file of users");
  upgrade = app.add_subcommand("upgrade", "convert a database of an older server (a backup first)");
  backup = app.add_subcommand("backup", "copy the database and its users while servers run on them");
  backup->add_option("DEST", line.backupTo, "the copy (and DEST.users)")->type_name("PATH")->required()->check(notEmpty("a path"));
  status = app.add_subcommand("status", "list the sessions of the running server (its control socket)");
  trace = app.add_subcommand("trace", "trace the messages of a user's sessions, or of one session, at run time");
  auto* traceUser = trace->add_option("--user", line.traceUser, "every session of this identification, now and later")
                        ->type_name("ID");
  trace->add_option_function<std::string>(
           "--session", [this](const std::string& text) { line.traceSession = std::atoll(text.c_str()); },
           "the session of this number (as status lists it)")
      ->type_name("N")
      ->check(numberFrom(1, 999999999999LL))
      ->excludes(traceUser);
  trace->add_option("SWITCH", traceSwitch, "on or off")->type_name("on|off")->required()->check(oneOf({"on", "off"}));
  app.require_subcommand(0, 1);
  cli::applyConventions(app, SUITE_VERSION);
}

// A password as a value of a libpq URI's query.
std::string percentEncoded(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(c);
    } else {
      out += '%';
      out.push_back(kDigits[byte >> 4]);
      out.push_back(kDigits[byte & 15]);
    }
  }
  return out;
}

// --database-password-file: the first line of the file becomes the URI's
// password, in memory only (the log shows URIs with ***).
bool applyPasswordFile(CommandLine& line, const std::string& file, std::string& error) {
  std::string& uri = line.server.settings.databasePath;
  if (!pg::isPostgresUri(uri)) {
    error = "--database-password-file: only for a postgresql:// database";
    return false;
  }
  if (pg::redactedUri(uri) != uri) {
    error = "--database-password-file: the --database URI has a password already";
    return false;
  }
  std::ifstream in(file);
  std::string password;
  if (!in || !std::getline(in, password)) {
    error = "--database-password-file " + file + ": cannot be read";
    return false;
  }
  while (!password.empty() && (password.back() == '\r' || password.back() == ' ')) password.pop_back();
  if (password.empty()) {
    error = "--database-password-file " + file + ": its first line is empty";
    return false;
  }
  uri += (uri.find('?') == std::string::npos ? "?" : "&") + std::string("password=") + percentEncoded(password);
  return true;
}

// CLI11's messages, with the option or the key named first.
std::string explain(const std::string& what, const std::string& configFile) {
  const std::string unknownKey = "INI was not able to parse ";
  if (auto at = what.find(unknownKey); at != std::string::npos) {
    return "--config " + configFile + ": unknown key '" + what.substr(at + unknownKey.size()) + "'";
  }
  if (what.find("was not readable") != std::string::npos) return "--config " + configFile + ": cannot be read";
  for (const std::string unexpected :
       {"The following argument was not expected: ", "The following arguments were not expected: "}) {
    if (what.starts_with(unexpected)) {
      std::string first = what.substr(unexpected.size());
      return first.substr(0, first.find(' ')) + ": no such option or command";
    }
  }
  if (what.starts_with("A subcommand is required")) return "user: needs an action (add, passwd, remove or list)";
  return what;
}

}  // namespace

std::string optionsTable() {
  CommandLine line;
  Parser parser(line);
  return cli::optionsMarkdown(parser.app);
}

bool parseListen(const std::string& text, ListenAddress& address, std::uint16_t defaultPort) {
  std::string host = text;
  std::string port;
  std::size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  } else if (!text.empty() && text.find('.') == std::string::npos) {
    host.clear();
    port = text;
  }
  if (host.empty()) host = "127.0.0.1";
  std::error_code ec;
  asio::ip::make_address_v4(host, ec);
  if (ec) return false;
  long long value = defaultPort;
  if (!port.empty() && !readInt(port, 0, 65535, value)) return false;
  address.host = host;
  address.port = static_cast<std::uint16_t>(value);
  return true;
}

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args, std::string& error) {
  CommandLine line;
  Parser parser(line);
  std::vector<const char*> argv{"lumbra-server"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out;
  std::ostringstream err;
  cli::Outcome outcome = cli::parse(parser.app, static_cast<int>(argv.size()), argv.data(), out, err);
  if (!outcome.proceed && outcome.exitStatus == 0) {
    // --help, --version or --options-markdown: what they print.
    line.action = CommandLine::Action::Help;
    line.helpText = out.str();
    return line;
  }
  if (!outcome.proceed) {
    std::string said = err.str();
    said = said.substr(0, said.find('\n'));
    const std::string name = "lumbra-server: ";
    if (said.starts_with(name)) said = said.substr(name.size());
    std::string configFile;
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (args[i] == "--config" && i + 1 < args.size()) configFile = args[i + 1];
      if (args[i].starts_with("--config=")) configFile = args[i].substr(9);
    }
    error = explain(said, configFile);
    return std::nullopt;
  }
  if (std::vector<std::string> rest = parser.app.remaining(); !rest.empty()) {
    error = rest.front() + ": no such option or command";
    return std::nullopt;
  }
  if (!parser.listen.empty()) parseListen(parser.listen, line.server.listen);
  line.logFormat = parser.logFormat == "json" ? LogFormat::Json : LogFormat::Text;
  line.traceOn = parser.traceSwitch == "on";
  using A = CommandLine::Action;
  const std::pair<CLI::App*, A> commands[] = {
      {parser.userAdd, A::UserAdd}, {parser.userPasswd, A::UserPasswd}, {parser.userRemove, A::UserRemove},
      {parser.userList, A::UserList}, {parser.init, A::Init}, {parser.upgrade, A::Upgrade},
      {parser.backup, A::Backup}, {parser.status, A::Status}, {parser.trace, A::Trace}};
  for (const auto& [command, action] : commands) {
    if (command->parsed()) line.action = action;
  }
  if (line.action == CommandLine::Action::Trace && line.traceUser.empty() && line.traceSession == 0) {
    error = "trace: needs --user ID or --session N";
    return std::nullopt;
  }
  if (!parser.passwordFile.empty() && !applyPasswordFile(line, parser.passwordFile, error)) return std::nullopt;
  return line;
}

std::string controlPath(const CommandLine& line) {
  if (line.control == "off") return {};
  if (!line.control.empty()) return line.control;
  const std::string& database = line.server.settings.databasePath;
  if (database == ":memory:" || pg::isPostgresUri(database)) return {};
  return database + ".control";
}

}  // namespace lumbra::server
