// command_line.h -- the command-line conventions that lumbra-server, lumbra,
// tabrel and orvak share, over CLI11.
//
// Every program declares its options once, on a CLI::App; that table is the
// one source of its --help text and of the options tables in the docs
// (--options-markdown prints them). Every program answers a command line the
// same way:
//
//   --help, -h        the help of the program or of the subcommand named, on
//                     standard output; exit status 0
//   --version         "NAME VERSION" on standard output; exit status 0
//   a wrong command   one line "NAME: REASON" naming the option or argument,
//   line              then "Try 'NAME --help'." on standard error; exit
//                     status 2 (kExitUsage), and nothing else done
#pragma once

#include <CLI/CLI.hpp>

#include <iosfwd>
#include <string>

namespace cli {

inline constexpr int kExitUsage = 2;  // the command line is wrong

// The result of parse(): go on with the parsed options, or end the program
// with `exitStatus` (help or version printed, or a usage error reported).
struct Outcome {
  bool proceed = false;
  int exitStatus = 0;
};

// Gives `app` the shared conventions: --version printing "NAME VERSION", the
// hidden --options-markdown, help for subcommands by --help after them, and
// option names shown as they are typed. Call after all options and
// subcommands are declared.
void applyConventions(CLI::App& app, const std::string& version);

// Parses the command line; prints what the conventions above say.
Outcome parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out, std::ostream& err);
Outcome parse(CLI::App& app, int argc, const char* const* argv);

// The options of `app` and of each of its subcommands as Markdown tables
// (option, value, default, meaning), in the order they were declared.
std::string optionsMarkdown(const CLI::App& app);

}  // namespace cli
