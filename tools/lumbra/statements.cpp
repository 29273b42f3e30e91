// Comments, command ends and command words of typed and written lines.
#include "tools/lumbra/statements.h"

#include "protocol/commands.h"

namespace lumbra_shell {

namespace {

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool sameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

// Whether a line (without its comment) ends its command: a ';' last, outside a literal.
bool endsWithSemicolon(std::string_view code, char quote) {
  return quote == 0 && !code.empty() && code.back() == ';';
}

// Whether a line begins a command of its own in a file.
bool beginsCommand(std::string_view line) {
  const auto text = trimBlanks(line);
  if (text.empty()) return false;
  if (text.front() == '\\') return true;
  return isCommandWord(leadingWord(text)) || shellWord(text) != ShellWord::none;
}

// COMMIT and ROLLBACK: a command of one word, ended with its line.
bool takesNothingAfter(std::string_view command) {
  const auto word = leadingWord(command);
  return sameWord(word, "COMMIT") || sameWord(word, "ROLLBACK");
}

// Lines are joined with a blank; a line that goes on inside a literal keeps
// its line end, so that the literal holds what was typed.
void append(std::string& text, std::string_view code, bool inLiteral) {
  if (!text.empty()) text += inLiteral ? '\n' : ' ';
  text += code;
}

// The code of a line without its comment; the blanks at its start belong to
// a literal it goes on with.
std::string_view codeOf(std::string_view line, char& quote) {
  const bool inLiteral = quote != 0;
  const auto code = withoutComment(line, quote);
  return inLiteral ? code : trimBlanks(code);
}

}  // namespace

bool isCommandWord(std::string_view word) {
  for (const auto known : lumbra::kCommandWordList) {
    if (sameWord(word, known)) return true;
  }
  return false;
}

std::string_view leadingWord(std::string_view text) {
  const auto end = text.find_first_of(" \t(;");
  return text.substr(0, end);
}

std::string_view withoutComment(std::string_view line, char& quote) {
  std::size_t i = 0;
  for (; i < line.size(); ++i) {
    const char c = line[i];
    if (quote != 0) {
      if (c == quote) quote = 0;  // a doubled quote closes and reopens: the same state
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '-' && i + 1 < line.size() && line[i + 1] == '-') {
      break;
    }
  }
  std::string_view code = line.substr(0, i);
  while (!code.empty() && (code.back() == ' ' || code.back() == '\t' || code.back() == '\r')) {
    code.remove_suffix(1);
  }
  return code;
}

std::string commandForServer(std::string_view text) {
  text = trimBlanks(text);
  while (!text.empty() && (text.back() == ';' || text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  std::string command(text);
  const auto word = leadingWord(text);
  if (isCommandWord(word)) {
    for (std::size_t i = 0; i < word.size(); ++i) command[i] = upper(command[i]);
  }
  return command;
}

ShellWord shellWord(std::string_view text) {
  text = trimBlanks(text);
  while (!text.empty() && (text.back() == ';' || text.back() == ' ')) text.remove_suffix(1);
  if (sameWord(text, "help")) return ShellWord::help;
  if (sameWord(text, "quit") || sameWord(text, "exit")) return ShellWord::quit;
  return ShellWord::none;
}

std::vector<ScriptCommand> scriptCommands(std::string_view fileText) {
  std::vector<ScriptCommand> commands;
  ScriptCommand open;  // the command being gathered
  char quote = 0;
  auto finish = [&] {
    if (!open.text.empty()) commands.push_back(std::move(open));
    open = ScriptCommand{};
    quote = 0;
  };
  std::size_t number = 0;
  while (!fileText.empty()) {
    const auto end = fileText.find('\n');
    std::string_view line = fileText.substr(0, end);
    fileText = end == std::string_view::npos ? std::string_view{} : fileText.substr(end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (quote == 0 && beginsCommand(line)) finish();
    const auto body = trimBlanks(line);
    if (open.text.empty() && !body.empty() && body.front() == '\\') {
      commands.push_back({std::string(body), number});
      continue;
    }
    const char inLiteral = quote;
    const auto code = codeOf(line, quote);
    if (code.empty() && inLiteral == 0) continue;
    if (open.text.empty()) open.line = number;
    append(open.text, code, inLiteral != 0);
    if (endsWithSemicolon(code, quote) || (quote == 0 && takesNothingAfter(open.text))) finish();
  }
  finish();
  return commands;
}

std::optional<std::string> StatementBuffer::add(std::string_view line) {
  const auto body = trimBlanks(line);
  if (text_.empty() && !body.empty() && (body.front() == '\\' || shellWord(body) != ShellWord::none)) {
    return std::string(body);
  }
  if (!text_.empty() && !body.empty() && body.front() == '\\') return std::string(body);
  const char inLiteral = quote_;
  const auto code = codeOf(line, quote_);
  if (code.empty() && inLiteral == 0) return std::nullopt;
  append(text_, code, inLiteral != 0);
  if (!endsWithSemicolon(code, quote_)) return std::nullopt;
  std::string command = std::move(text_);
  clear();
  return command;
}

void StatementBuffer::clear() {
  text_.clear();
  quote_ = 0;
}

}  // namespace lumbra_shell
