// Command line of the shell.
#include "tools/lumbra/options.h"

namespace lumbra_shell {

namespace {

const char* const kFooter =
    "ADDRESS is a numeric IPv4 address (or localhost); PORT is 1 to 65535, 3001 by default.\n"
    "Commands: command words in any case; '--' begins a comment. At the prompt a\n"
    "command ends with ';' and may run over several lines. In a file (and in -c) a\n"
    "line that begins with a command word (SELECT, INSERT, UPDATE, DELETE, COMMIT,\n"
    "ROLLBACK, EXEC, SET, GETSET, PARM), a backslash, help, quit or exit begins a new\n"
    "command, other lines continue the one before, joined with a blank, and a ';'\n"
    "at the end of a line ends it: one command a line needs no ';'. COMMIT and\n"
    "ROLLBACK take nothing after them and end with their line. A command whose\n"
    "first word is not a command word is refused before it is sent (other SQL goes\n"
    "through EXEC); errors of a file begin with FILE:LINE:. Every error is followed\n"
    "by a line that tells its cause and remedy. Text is UTF-8 on the terminal and\n"
    "Windows-1252 on the server (-F raw gives the bytes).\n"
    "Updates count only after COMMIT: the shell says how many the end of the\n"
    "session would roll back; at the prompt a second \\q or Ctrl-D leaves anyway.\n"
    "Ctrl-C stops the rows being shown or clears the line; while the server works\n"
    "it says so, and a second Ctrl-C drops the connection (the server rolls back\n"
    "what was not committed) and opens a new session. \\? lists the backslash\n"
    "commands.\n"
    "Environment: LUMBRA_PASSWORD and LUMBRA_NEW_PASSWORD stand in for the files;\n"
    "LUMBRA_USER is the identification when the target names none. Without either,\n"
    "the password is asked on the terminal without echo. History: ~/.lumbra_history.\n"
    "Exit status: 0 all commands succeeded, 1 a command failed or updates were left\n"
    "without COMMIT, 2 wrong command line or connection error (a -f file that cannot\n"
    "be read is one, found before connecting), 130 a script stopped by Ctrl-C.";

}  // namespace

void declareOptions(CLI::App& app, Options& options) {
  app.description("An interactive shell over the client library lumbra32, and its scripted use.");
  app.add_option("TARGET", options.target, "[ID@]ADDRESS[:PORT]: the server, and who logs in")->required();
  app.add_option("-c", options.commands, "run COMMAND, then leave (may be repeated; with -f, in order)")
      ->type_name("COMMAND")
      ->allow_extra_args(false);
  app.add_option("-f", options.files, "run the commands of FILE ('-': standard input)")
      ->type_name("FILE")
      ->allow_extra_args(false);
  app.add_option("-F,--format", options.formatName,
                 "output format of SELECT results: json is one array of objects, ndjson one object a line")
      ->check(CLI::IsMember({"table", "csv", "raw", "json", "ndjson"}))
      ->capture_default_str();
  app.add_option("-o,--output", options.outputFile, "write results to FILE")->type_name("FILE");
  app.add_flag("-a,--echo", options.echo, "print each command before its result");
  app.add_flag("--stop-on-error", options.stopOnError, "stop at the first command that fails");
  app.add_option("--password-file", options.passwordFile, "read the password from the first line of FILE")
      ->type_name("FILE");
  app.add_option("--new-password-file", options.newPasswordFile,
                 "change the password to the first line of FILE")
      ->type_name("FILE");
  app.add_flag("-q,--quiet", options.quiet, "no banner in interactive use");
  app.footer(kFooter);
}

bool finishOptions(const CLI::App& app, Options& options, std::string& error) {
  options.steps.clear();
  std::size_t command = 0;
  std::size_t file = 0;
  for (const CLI::Option* option : app.parse_order()) {
    if (option->get_name() == "-c" && command < options.commands.size()) {
      options.steps.push_back({ScriptStep::Kind::command, options.commands[command++]});
    } else if (option->get_name() == "-f" && file < options.files.size()) {
      options.steps.push_back({ScriptStep::Kind::file, options.files[file++]});
    }
  }
  const auto format = parseFormat(options.formatName);
  if (!format) {
    error = "--format: unknown format " + options.formatName;
    return false;
  }
  options.format = *format;
  return true;
}

std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& error) {
  Options options;
  CLI::App app{"", "lumbra"};
  declareOptions(app, options);
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return std::nullopt;
  }
  if (!finishOptions(app, options, error)) return std::nullopt;
  return options;
}

}  // namespace lumbra_shell
