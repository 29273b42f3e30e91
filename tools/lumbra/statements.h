// Commands out of typed or written lines: "--" comments, where a command ends,
// the words help/quit/exit, and the leading command word made upper-case.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumbra_shell {

// Whether `word` is one the client accepts at the start of a command (COMMIT
// DELETE EXEC INSERT ROLLBACK SELECT UPDATE PARM SET GETSET), in any case.
bool isCommandWord(std::string_view word);

// The leading word of a text: up to the first blank, tab or '('.
std::string_view leadingWord(std::string_view text);

// One line without its "--" comment (a "--" outside '...' and "..." literals)
// and without trailing blanks. `quote` carries an open literal from one line to
// the next: 0, or the quote character that opened it.
std::string_view withoutComment(std::string_view line, char& quote);

// A command ready for the client: blanks and ';' at its end dropped, and its
// leading word upper-cased when it is a command word in another case
// ("select * from t;" goes as "SELECT * from t"). The rest is left as typed.
std::string commandForServer(std::string_view text);

// The words a psql user types alone on a line.
enum class ShellWord { none, help, quit };
ShellWord shellWord(std::string_view text);

// One command of a file and the line (from 1) it begins on.
struct ScriptCommand {
  std::string text;
  std::size_t line = 0;
  bool operator==(const ScriptCommand&) const = default;
};

// The commands of a file. A line that begins with a command word (any case), a
// backslash, help, quit or exit begins a new command; any other line continues
// the command before it (the lines are joined with a blank); a ';' at the end of
// a line ends the command, and so does the end of a line that begins with
// COMMIT or ROLLBACK, which take nothing after them. So a file of one command a
// line reads as before, and a statement may run over several lines. Blank
// lines and "--" comments are skipped; a CR before the LF goes; a backslash
// command is one line.
std::vector<ScriptCommand> scriptCommands(std::string_view fileText);

// Lines typed at the prompt, gathered into commands: a command ends with a ';'
// at the end of a line. A backslash command, help, quit and exit need none and
// run at once.
class StatementBuffer {
 public:
  // The finished command, or nothing while the command goes on (or the line
  // held only blanks or a comment).
  std::optional<std::string> add(std::string_view line);
  // Whether a command has been begun and not finished.
  bool pending() const { return !text_.empty(); }
  void clear();

 private:
  std::string text_;
  char quote_ = 0;
};

}  // namespace lumbra_shell
