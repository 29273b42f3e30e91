// lumbra: an interactive shell over the client library, and its scripted use.
#include "cli/command_line.h"
#include "tools/lumbra/client_api.h"
#include "tools/lumbra/options.h"
#include "tools/lumbra/shell.h"
#include "tools/lumbra/statements.h"
#include "tools/lumbra/terminal.h"

#include "suite_version.h"

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using namespace lumbra_shell;

// The first line of a file, without its line end.
std::optional<std::string> firstLine(const std::string& path) {
  std::string contents;
  std::string error;
  if (!readFile(path, contents, error)) {
    std::cerr << "lumbra: " << error << '\n';
    return std::nullopt;
  }
  const auto end = contents.find_first_of("\r\n");
  return contents.substr(0, end);
}

std::optional<std::string> secret(const std::string& file, const char* variable, const char* prompt) {
  if (!file.empty()) return firstLine(file);
  if (const char* value = std::getenv(variable)) return std::string(value);
  if (prompt == nullptr) return std::string();
  auto typed = readSecret(prompt);
  if (!typed)
    std::cerr << "lumbra: no terminal to ask the password on; set LUMBRA_PASSWORD or use --password-file\n";
  return typed;
}

std::string defaultIdentification() {
  for (const char* variable : {"LUMBRA_USER", "USER"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && std::string(value).size() <= kMaxIdentification) return value;
  }
  return {};
}

struct Runner {
  Shell& shell;
  const Options& options;
  const std::map<std::string, std::string>& files;  // the -f files, read before connecting
  bool failed = false;
  bool interrupted = false;

  // false when the run should stop (a \q, Ctrl-C, or a failure with --stop-on-error).
  bool run(const std::string& command) {
    if (options.echo) std::cout << "lumbra> " << command << '\n';
    clearInterrupt();
    const bool ok = shell.execute(command);
    if (interruptRequested()) {
      interrupted = true;
      return false;
    }
    if (!ok) {
      failed = true;
      if (options.stopOnError) return false;
    }
    return !shell.quitRequested();
  }

  // The commands of a -c text, or of a file named `origin`: the shell's
  // errors then begin with "FILE:LINE: ".
  bool runText(const std::string& text, const std::string& origin = {}) {
    for (const auto& command : scriptCommands(text)) {
      if (!origin.empty()) shell.setLocation(origin + ":" + std::to_string(command.line));
      const bool goOn = run(command.text);
      shell.setLocation({});
      if (!goOn) return false;
    }
    return true;
  }

  bool runFile(const std::string& path) {
    if (path != "-") return runText(files.at(path), path);
    return runText(std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()),
                   "<stdin>");
  }
};

void interactiveLoop(Shell& shell, InterruptibleApi& api) {
  LineEditor editor;
  StatementBuffer buffer;
  bool warned = false;  // the last attempt to leave was told of updates not committed
  for (;;) {
    std::string prompt = "lumbra";
    if (!shell.connected()) {
      prompt += '!';
    } else if (shell.transactionOpen()) {
      prompt += '*';
    }
    prompt += buffer.pending() ? "-> " : "> ";
    std::string line;
    const auto outcome = editor.readLine(prompt.c_str(), line);
    if (outcome == LineEditor::Outcome::interrupted) {
      buffer.clear();
      continue;
    }
    if (outcome == LineEditor::Outcome::line) {
      const auto command = buffer.add(line);
      if (!command) continue;
      editor.remember(*command);
      clearInterrupt();
      shell.execute(*command);
      clearInterrupt();
      std::cout.flush();
      if (api.takeDropped()) {
        // A second Ctrl-C while the server worked: the session is gone.
        std::cerr << "Ctrl-C dropped the connection: the server rolls back that session's open transaction "
                     "(nothing since its last COMMIT is kept); opening a new session\n";
        shell.execute("\\connect");
        clearInterrupt();
        std::cout.flush();
      }
      if (!shell.quitRequested()) {
        warned = false;
        continue;
      }
    } else {
      std::cout << '\n';
    }
    shell.clearQuit();
    buffer.clear();
    const auto warning = shell.uncommittedWarning();
    std::cout.flush();
    if (warning && !warned) {
      std::cerr
          << *warning
          << ": COMMIT to keep them, ROLLBACK to drop them, or \\q (or Ctrl-D) again to leave without them\n";
      warned = true;
      continue;
    }
    break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  useUtf8Locale();
  std::string error;
  Options parsed;
  CLI::App app{"", "lumbra"};
  declareOptions(app, parsed);
  cli::applyConventions(app, SUITE_VERSION);
  if (const cli::Outcome outcome = cli::parse(app, argc, argv); !outcome.proceed) return outcome.exitStatus;
  if (!finishOptions(app, parsed, error)) {
    std::cerr << "lumbra: " << error << "\nTry 'lumbra --help'.\n";
    return kExitUsage;
  }
  const Options* options = &parsed;
  auto target = parseTarget(options->target, error);
  if (!target) {
    std::cerr << "lumbra: " << options->target << ": " << error << '\n';
    return kExitUsage;
  }
  if (!target->hasIdentification) target->identification = defaultIdentification();
  // Command files are read before the connection is opened.
  std::map<std::string, std::string> files;
  for (const auto& step : options->steps) {
    if (step.kind != ScriptStep::Kind::file || step.text == "-" || files.count(step.text) != 0) continue;
    if (!readFile(step.text, files[step.text], error)) {
      std::cerr << "lumbra: " << error << '\n';
      return kExitUsage;
    }
  }

  const std::string prompt = "Password for " + target->identification + ": ";
  const auto password = secret(options->passwordFile, "LUMBRA_PASSWORD", prompt.c_str());
  if (!password) return kExitUsage;
  const auto newPassword = secret(options->newPasswordFile, "LUMBRA_NEW_PASSWORD", nullptr);
  if (!newPassword) return kExitUsage;
  if (password->size() > kMaxFirstCredential || newPassword->size() > kMaxSecondCredential) {
    std::cerr << "lumbra: a password has at most 24 characters (a new one at most 25)\n";
    return kExitUsage;
  }

  InterruptibleApi api(lumbra32Api());
  Shell shell(api, std::cout, std::cerr);
  shell.setFormat(options->format);
  TerminalProgress progress;
  // The progress line goes to the terminal while the rows go elsewhere (a file or a pipe);
  // rows written to the same terminal would tear it.
  if (isatty(STDERR_FILENO) && (!isatty(STDOUT_FILENO) || !options->outputFile.empty())) {
    shell.setProgress(&progress);
  }
  if (!options->outputFile.empty() && !shell.setOutputFile(options->outputFile)) return kExitUsage;
  if (!shell.connect(*target, *password, *newPassword)) return kExitUsage;

  catchInterrupts();
  shell.setInterrupted(interruptRequested);
  shell.setPasswordSource([](const std::string& identification) {
    return readSecret(("Password for " + identification + ": ").c_str());
  });

  Runner runner{shell, *options, files};
  const bool interactive = options->steps.empty() && isatty(STDIN_FILENO);
  if (!options->steps.empty()) {
    for (const auto& step : options->steps) {
      const bool goOn =
          step.kind == ScriptStep::Kind::command ? runner.runText(step.text) : runner.runFile(step.text);
      if (!goOn) break;
    }
  } else if (!interactive) {
    runner.runFile("-");
  } else {
    shell.setInteractive(true);
    if (!options->quiet) {
      std::cout << "connected to " << target->serverAddress << " as " << target->identification << '\n'
                << "server: " << shell.serverInfo() << '\n'
                << "client: " << shell.clientId() << '\n'
                << "\\? for help, \\q to quit\n";
      std::cout.flush();  // the line editor writes through its own stream
    }
    interactiveLoop(shell, api);
  }
  std::cout.flush();
  if (!interactive) {
    if (const auto warning = shell.uncommittedWarning()) {
      std::cerr << "lumbra: " << *warning << "; the end of the session rolls them back (COMMIT keeps them)\n";
      runner.failed = true;
    }
  }
  std::cout.flush();
  const bool farewell = shell.disconnect();
  if (runner.interrupted) return kExitInterrupted;
  if (runner.failed) return kExitCommandFailed;
  return farewell ? kExitOk : kExitCommandFailed;
}
