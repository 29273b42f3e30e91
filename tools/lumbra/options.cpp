// Command line of the shell.
#include "tools/lumbra/options.h"

namespace lumbra_shell {

const char* const kUsage =
    "usage: lumbra [options] [ID@]ADDRESS[:PORT]\n"
    "  ADDRESS is a numeric IPv4 address (or localhost); PORT is 1 to 65535, 3001 by default.\n"
    "  -c COMMAND              run COMMAND (may be repeated), then leave\n"
    "  -f FILE                 run the commands of FILE ('-': standard input)\n"
    "  -F, --format FORMAT     table (default), csv or raw\n"
    "  -o, --output FILE       write results to FILE\n"
    "  -a, --echo              print each command before its result\n"
    "      --stop-on-error     stop at the first command that fails\n"
    "      --password-file F   read the password from the first line of F\n"
    "      --new-password-file F  change the password to the first line of F\n"
    "  -q, --quiet             no banner in interactive use\n"
    "  -h, --help              this text\n"
    "      --version           the version, alone on the command line\n"
    "Commands: command words in any case; '--' begins a comment. At the prompt a\n"
    "command ends with ';' and may run over several lines. In a file (and in -c) a\n"
    "line that begins with a command word (SELECT, INSERT, UPDATE, DELETE, COMMIT,\n"
    "ROLLBACK, EXEC, SET, GETSET, PARM), a backslash, help, quit or exit begins a new\n"
    "command, other lines continue the one before, joined with a blank, and a ';'\n"
    "at the end of a line ends it: one command a line needs no ';'. COMMIT and\n"
    "ROLLBACK take nothing after them and end with their line. A command whose\n"
    "first word is not a command word is refused before it is sent (other SQL goes\n"
    "through EXEC); errors of a file begin with FILE:LINE:. Text is UTF-8\n"
    "on the terminal and Windows-1252 on the server (-F raw gives the bytes).\n"
    "Updates count only after COMMIT: the shell says how many the end of the\n"
    "session would roll back; at the prompt a second \\q or Ctrl-D leaves anyway.\n"
    "Ctrl-C stops the rows being shown or clears the line. \\? lists the backslash\n"
    "commands.\n"
    "Environment: LUMBRA_PASSWORD and LUMBRA_NEW_PASSWORD stand in for the files;\n"
    "LUMBRA_USER is the identification when the target names none. Without either,\n"
    "the password is asked on the terminal without echo. History: ~/.lumbra_history.\n"
    "Exit status: 0 all commands succeeded, 1 a command failed or updates were left\n"
    "without COMMIT, 2 usage or connection error (a -f file that cannot be read is\n"
    "one, found before connecting), 130 a script stopped by Ctrl-C.\n";

std::optional<Options> parseOptions(const std::vector<std::string>& arguments, std::string& error) {
  Options options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= arguments.size()) {
        error = argument + " needs a value";
        return false;
      }
      into = arguments[++i];
      return true;
    };
    std::string text;
    if (argument == "-h" || argument == "--help") {
      options.help = true;
    } else if (argument == "-c" || argument == "-f") {
      if (!value(text)) return std::nullopt;
      options.steps.push_back({argument == "-c" ? ScriptStep::Kind::command : ScriptStep::Kind::file, text});
    } else if (argument == "-F" || argument == "--format") {
      if (!value(text)) return std::nullopt;
      const auto format = parseFormat(text);
      if (!format) {
        error = "unknown format " + text + " (table, csv or raw)";
        return std::nullopt;
      }
      options.format = *format;
    } else if (argument == "-o" || argument == "--output") {
      if (!value(options.outputFile)) return std::nullopt;
    } else if (argument == "--password-file") {
      if (!value(options.passwordFile)) return std::nullopt;
    } else if (argument == "--new-password-file") {
      if (!value(options.newPasswordFile)) return std::nullopt;
    } else if (argument == "-a" || argument == "--echo") {
      options.echo = true;
    } else if (argument == "--stop-on-error") {
      options.stopOnError = true;
    } else if (argument == "-q" || argument == "--quiet") {
      options.quiet = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      error = "unknown option " + argument;
      return std::nullopt;
    } else if (options.target.empty()) {
      options.target = argument;
    } else {
      error = "more than one server named";
      return std::nullopt;
    }
  }
  if (options.target.empty() && !options.help) {
    error = "no server named";
    return std::nullopt;
  }
  return options;
}

}  // namespace lumbra_shell
