// The scanner of session SQL for PostgreSQL: literals, identifiers, bodies and comments stepped over whole.
#include "server/postgres/sql_text.h"

#include <algorithm>

namespace lumbra::server::pg {

namespace {

bool wordStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool wordChar(char c) { return wordStart(c) || (c >= '0' && c <= '9') || c == '$'; }
char upperChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Where the token that begins at `at` ends, when it is a literal, a quoted
// identifier, a dollar-quoted body or a comment; `at` itself otherwise. An
// unclosed one runs to the end of the text.
std::size_t skipOpaque(std::string_view s, std::size_t at) {
  const std::size_t n = s.size();
  const char c = s[at];
  if (c == '\'' || c == '"') {
    // E'...' takes backslash escapes; '' and "" stand for the quote itself.
    const bool escapes =
        c == '\'' && at > 0 && (s[at - 1] == 'E' || s[at - 1] == 'e') && (at < 2 || !wordChar(s[at - 2]));
    for (std::size_t i = at + 1; i < n; ++i) {
      if (escapes && s[i] == '\\') {
        ++i;
      } else if (s[i] == c) {
        if (i + 1 < n && s[i + 1] == c) {
          ++i;
        } else {
          return i + 1;
        }
      }
    }
    return n;
  }
  if (c == '-' && at + 1 < n && s[at + 1] == '-') {
    std::size_t end = s.find('\n', at);
    return end == std::string_view::npos ? n : end + 1;
  }
  if (c == '/' && at + 1 < n && s[at + 1] == '*') {
    int depth = 0;
    for (std::size_t i = at; i + 1 < n; ++i) {
      if (s[i] == '/' && s[i + 1] == '*') {
        ++depth;
        ++i;
      } else if (s[i] == '*' && s[i + 1] == '/') {
        ++i;
        if (--depth == 0) return i + 1;
      }
    }
    return n;
  }
  if (c == '$' && (at == 0 || !wordChar(s[at - 1]))) {
    // $tag$ ... $tag$, the tag empty or an identifier ($1 is a parameter).
    std::size_t i = at + 1;
    if (i < n && s[i] >= '0' && s[i] <= '9') return at;
    while (i < n && wordChar(s[i]) && s[i] != '$') ++i;
    if (i >= n || s[i] != '$') return at;
    std::string_view tag = s.substr(at, i - at + 1);
    std::size_t end = s.find(tag, i + 1);
    return end == std::string_view::npos ? n : end + tag.size();
  }
  return at;
}

// Calls `each(at)` for every byte outside opaque tokens, in order; `each`
// returns how many bytes it took (at least one).
template <typename Each>
void scan(std::string_view s, Each each) {
  std::size_t at = 0;
  while (at < s.size()) {
    std::size_t after = skipOpaque(s, at);
    if (after != at) {
      at = after;
      continue;
    }
    at += std::max<std::size_t>(1, each(at));
  }
}

bool onlyBlanksAndComments(std::string_view s) {
  for (std::size_t at = 0; at < s.size();) {
    std::size_t after = skipOpaque(s, at);
    if (after == at) {
      char c = s[at];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\f') return false;
      ++at;
    } else if (s[at] == '-' || s[at] == '/') {
      at = after;  // a comment
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<std::string_view> splitStatements(std::string_view sql) {
  std::vector<std::string_view> statements;
  std::size_t start = 0;
  auto add = [&](std::size_t end) {
    std::string_view piece = sql.substr(start, end - start);
    if (!onlyBlanksAndComments(piece)) statements.push_back(piece);
    start = end + 1;
  };
  scan(sql, [&](std::size_t at) {
    if (sql[at] == ';') add(at);
    return std::size_t{1};
  });
  if (start < sql.size()) add(sql.size());
  return statements;
}

std::string leadingWord(std::string_view statement) {
  std::string word;
  bool found = false;
  scan(statement, [&](std::size_t at) -> std::size_t {
    if (found) return statement.size() - at;
    char c = statement[at];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '(') return 1;
    found = true;
    std::size_t i = at;
    while (i < statement.size() && wordStart(statement[i])) word.push_back(upperChar(statement[i++]));
    return std::max<std::size_t>(1, i - at);
  });
  return word;
}

bool holdsWord(std::string_view statement, std::string_view word) {
  bool held = false;
  scan(statement, [&](std::size_t at) -> std::size_t {
    if (!wordStart(statement[at]) || (at > 0 && wordChar(statement[at - 1]))) return 1;
    std::size_t i = at;
    std::string each;
    while (i < statement.size() && wordChar(statement[i])) each.push_back(upperChar(statement[i++]));
    if (each == word) held = true;
    return i - at;
  });
  return held;
}

std::string bindNames(std::string_view statement, std::vector<std::string>& names, bool blobPlace,
                      int& blobIndex) {
  blobIndex = 0;
  std::string out;
  out.reserve(statement.size() + 16);
  std::size_t copied = 0;
  auto number = [&](const std::string& name) {
    auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end()) {
      names.push_back(name);
      return static_cast<int>(names.size());
    }
    return static_cast<int>(found - names.begin()) + 1;
  };
  scan(statement, [&](std::size_t at) -> std::size_t {
    const char c = statement[at];
    if (c == ':') {
      if (at + 1 < statement.size() && statement[at + 1] == ':') return 2;  // a cast
      if (at + 1 >= statement.size() || !wordStart(statement[at + 1])) return 1;
      std::size_t end = at + 1;
      std::string name;
      while (end < statement.size() && wordChar(statement[end]) && statement[end] != '$') {
        name.push_back(upperChar(statement[end++]));
      }
      out.append(statement.substr(copied, at - copied));
      out += "$" + std::to_string(number(name));
      copied = end;
      return end - at;
    }
    if (c == '?' && blobPlace && blobIndex == 0) {
      out.append(statement.substr(copied, at - copied));
      blobIndex = number(std::string());
      out += "$" + std::to_string(blobIndex);
      copied = at + 1;
    }
    return 1;
  });
  out.append(statement.substr(copied));
  return out;
}

bool refusedWord(const std::string& word) {
  static const char* const kRefused[] = {
      "BEGIN",   "START",      "COMMIT",  "END",   "ROLLBACK", "ABORT",  "SAVEPOINT", "RELEASE",
      "PREPARE", "DEALLOCATE", "SET",     "RESET", "DISCARD",  "LISTEN", "UNLISTEN",  "NOTIFY",
      "COPY",    "LOAD",       "DECLARE", "FETCH", "MOVE",     "CLOSE"};
  return std::find(std::begin(kRefused), std::end(kRefused), word) != std::end(kRefused);
}

bool refusedStatement(std::string_view statement, const std::string& word) {
  return refusedWord(word) || holdsWord(statement, "SET_CONFIG");
}

bool createsTemporary(std::string_view statement, const std::string& word) {
  return word == "CREATE" && (holdsWord(statement, "TEMP") || holdsWord(statement, "TEMPORARY"));
}

bool readsOnly(std::string_view statement, const std::string& word) {
  if (word == "SHOW" || word == "EXPLAIN") return true;
  if (word != "SELECT" && word != "WITH" && word != "VALUES" && word != "TABLE") return false;
  for (const char* writer : {"INSERT", "UPDATE", "DELETE", "MERGE", "SHARE", "NEXTVAL", "SETVAL"}) {
    if (holdsWord(statement, writer)) return false;
  }
  return true;
}

}  // namespace lumbra::server::pg
