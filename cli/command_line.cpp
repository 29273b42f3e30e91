// command_line.cpp -- parsing with the shared conventions, and the options as Markdown.
#include "cli/command_line.h"

#include <iostream>
#include <sstream>

namespace cli {

namespace {

constexpr const char* kMarkdownFlag = "--options-markdown";

// Thrown by the hidden flag's callback, so that nothing else is checked
// (required options, subcommands) once the table is asked for.
struct MarkdownRequested {};

std::string cellText(std::string text) {
  std::string out;
  for (char c : text) {
    if (c == '|') {
      out += "\\|";
    } else if (c == '\n') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

bool shownInTables(const CLI::Option* option) {
  if (option->get_group().empty()) return false;  // hidden
  const std::string name = option->get_name();
  return name != "--help" && name != "--version" && name != "--help-all";
}

void appendTable(const CLI::App& app, const std::string& title, std::ostringstream& md) {
  const auto options = app.get_options(shownInTables);
  if (options.empty()) return;
  if (!title.empty()) md << "\n#### `" << title << "`\n\n";
  md << "| option | value | default | meaning |\n|---|---|---|---|\n";
  for (const CLI::Option* option : options) {
    const std::string names = option->get_name(/*positional=*/true, /*all_options=*/true);
    const std::string value = option->get_type_size_max() == 0 ? "" : option->get_type_name();
    md << "| `" << cellText(names) << "` | " << cellText(value) << " | "
       << cellText(option->get_default_str()) << " | " << cellText(option->get_description()) << " |\n";
  }
}

void appendTables(const CLI::App& app, const std::string& path, std::ostringstream& md) {
  appendTable(app, path, md);
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    appendTables(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), md);
  }
}

}  // namespace

void applyConventions(CLI::App& app, const std::string& version) {
  app.set_version_flag("--version", app.get_name() + " " + version);
  app.add_flag_callback(
         kMarkdownFlag, [] { throw MarkdownRequested{}; }, "Print the options as Markdown tables")
      ->group("");
}

Outcome parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  try {
    app.parse(argc, argv);
    return {true, 0};
  } catch (const MarkdownRequested&) {
    out << optionsMarkdown(app);
    return {false, 0};
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return {false, 0};
  } catch (const CLI::CallForAllHelp&) {
    out << app.help("", CLI::AppFormatMode::All);
    return {false, 0};
  } catch (const CLI::CallForVersion& e) {
    out << e.what() << '\n';
    return {false, 0};
  } catch (const CLI::ParseError& e) {
    err << app.get_name() << ": " << e.what() << '\n'
        << "Try '" << app.get_name() << " --help'.\n";
    return {false, kExitUsage};
  }
}

Outcome parse(CLI::App& app, int argc, const char* const* argv) {
  return parse(app, argc, argv, std::cout, std::cerr);
}

std::string optionsMarkdown(const CLI::App& app) {
  std::ostringstream md;
  appendTables(app, "", md);
  return md.str();
}

}  // namespace cli
