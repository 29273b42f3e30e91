// Taking literal statements apart into their shapes and values, and the statements of the shapes met last.
#include "server/sqlite/literal_statement.h"

#include <sqlite3.h>

#include <algorithm>

namespace lumbra::server {
namespace {

constexpr std::size_t kLongestInteger = 18;  // every value of up to 18 digits fits a long long

// The blanks SQLite's tokenizer skips between tokens (a vertical tab is none).
bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }
bool letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

// SQLite takes every byte from 0x80 up as part of a name too.
bool nameCharacter(char c) {
  return letter(c) || digit(c) || c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

// Whether the keyword `word` (upper case) stands at `at`, in any case, and no
// name character follows it.
bool wordAt(std::string_view sql, std::size_t at, std::string_view word) {
  if (sql.size() - at < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = sql[at + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != word[i]) return false;
  }
  return at + word.size() == sql.size() || !nameCharacter(sql[at + word.size()]);
}

// A cursor over the statement that copies what it passes to the shape.
class Scanner {
 public:
  Scanner(std::string_view sql, LiteralStatement& out) : sql_(sql), out_(out) {}

  bool atEnd() const { return at_ == sql_.size(); }

  void skipBlanks() {
    const std::size_t from = at_;
    while (at_ < sql_.size() && blank(sql_[at_])) ++at_;
    keep(from);
  }

  // The keyword `word` (upper case), in any case, not followed by a name character.
  bool keyword(std::string_view word) {
    if (!wordAt(sql_, at_, word)) return false;
    const std::size_t from = at_;
    at_ += word.size();
    keep(from);
    return true;
  }

  // A plain name that is not one of the keywords of the form.
  bool name() {
    const std::size_t from = at_;
    if (at_ == sql_.size() || !letter(sql_[at_])) return false;
    while (at_ < sql_.size() && nameCharacter(sql_[at_])) ++at_;
    if (isKeyword(sql_.substr(from, at_ - from))) {
      at_ = from;
      return false;
    }
    keep(from);
    return true;
  }

  bool punctuation(char c) {
    if (at_ == sql_.size() || sql_[at_] != c) return false;
    out_.shape.push_back(c);
    ++at_;
    return true;
  }

  // A comparison: = == <> != < <= > >=.
  bool comparison() {
    for (std::string_view op : {"==", "<>", "!=", "<=", ">=", "=", "<", ">"}) {
      if (sql_.substr(at_, op.size()) == op) {
        out_.shape.append(op);
        at_ += op.size();
        return true;
      }
    }
    return false;
  }

  // One literal, written to the shape as '?'.
  bool literal() {
    if (at_ == sql_.size()) return false;
    LiteralValue value;
    const char c = sql_[at_];
    if (digit(c)) {
      std::size_t end = at_;
      while (end < sql_.size() && digit(sql_[end])) ++end;
      if (end - at_ > kLongestInteger) return false;
      // "12abc", "1.5", "1e5" are no integers of this form.
      if (end < sql_.size() && (nameCharacter(sql_[end]) || sql_[end] == '.')) return false;
      value.kind = LiteralValue::Kind::Integer;
      for (std::size_t i = at_; i < end; ++i) value.integer = value.integer * 10 + (sql_[i] - '0');
      at_ = end;
    } else if (c == '\'') {
      value.kind = LiteralValue::Kind::Text;
      value.offset = out_.texts.size();
      std::size_t i = at_ + 1;
      for (;;) {
        const std::size_t quote = sql_.find('\'', i);
        if (quote == std::string_view::npos) return false;
        out_.texts.append(sql_.data() + i, quote - i);
        if (quote + 1 < sql_.size() && sql_[quote + 1] == '\'') {
          out_.texts.push_back('\'');
          i = quote + 2;
          continue;
        }
        i = quote + 1;
        break;
      }
      value.length = out_.texts.size() - value.offset;
      at_ = i;
    } else if (wordAt(sql_, at_, "NULL")) {
      value.kind = LiteralValue::Kind::Null;
      at_ += 4;
    } else {
      return false;
    }
    out_.shape.push_back('?');
    out_.values.push_back(value);
    return true;
  }

 private:
  // The words of the form itself, and those that start another form there.
  static bool isKeyword(std::string_view text) {
    static const char* const kWords[] = {"INSERT", "INTO", "VALUES", "NULL", "DEFAULT", "SELECT", "OR",
                                         "AND",    "FROM", "WHERE",  "SET",  "UPDATE",  "DELETE"};
    for (const char* word : kWords) {
      if (text.size() == std::char_traits<char>::length(word) && wordAt(text, 0, word)) return true;
    }
    return false;
  }
  void keep(std::size_t from) { out_.shape.append(sql_.data() + from, at_ - from); }

  std::string_view sql_;
  LiteralStatement& out_;
  std::size_t at_ = 0;
};

// name [, name ...] with the blanks around each.
bool names(Scanner& s) {
  do {
    s.skipBlanks();
    if (!s.name()) return false;
    s.skipBlanks();
  } while (s.punctuation(','));
  return true;
}

// name [(name, ...)] with the blanks around, up to VALUES.
bool target(Scanner& s) {
  if (!s.name()) return false;
  s.skipBlanks();
  if (!s.punctuation('(')) return true;
  return names(s) && s.punctuation(')');
}

// Empties `out` for a new text; false for one that no form takes (it holds a NUL).
bool begin(std::string_view sql, LiteralStatement& out) {
  out.shape.clear();
  out.values.clear();
  out.texts.clear();
  return sql.find('\0') == std::string_view::npos;
}

}  // namespace

bool takeApartInsert(std::string_view sql, LiteralStatement& out) {
  if (!begin(sql, out)) return false;
  Scanner s(sql, out);
  s.skipBlanks();
  if (!s.keyword("INSERT")) return false;
  s.skipBlanks();
  if (!s.keyword("INTO")) return false;
  s.skipBlanks();
  if (!target(s)) return false;
  s.skipBlanks();
  if (!s.keyword("VALUES")) return false;
  s.skipBlanks();
  if (!s.punctuation('(')) return false;
  do {
    s.skipBlanks();
    if (!s.literal()) return false;
    s.skipBlanks();
  } while (s.punctuation(','));
  if (!s.punctuation(')')) return false;
  s.skipBlanks();
  if (s.punctuation(';')) s.skipBlanks();
  return s.atEnd();
}

bool takeApartKeyed(std::string_view sql, LiteralStatement& out, bool& query) {
  if (!begin(sql, out)) return false;
  Scanner s(sql, out);
  s.skipBlanks();
  query = false;
  if (s.keyword("SELECT")) {
    query = true;
    s.skipBlanks();
    if (s.punctuation('*')) {
      s.skipBlanks();
    } else if (!names(s)) {
      return false;
    }
    if (!s.keyword("FROM")) return false;
    s.skipBlanks();
    if (!s.name()) return false;
  } else if (s.keyword("UPDATE")) {
    s.skipBlanks();
    if (!s.name()) return false;
    s.skipBlanks();
    if (!s.keyword("SET")) return false;
    do {
      s.skipBlanks();
      if (!s.name()) return false;
      s.skipBlanks();
      if (!s.punctuation('=')) return false;
      s.skipBlanks();
      if (!s.literal()) return false;
      s.skipBlanks();
    } while (s.punctuation(','));
  } else if (s.keyword("DELETE")) {
    s.skipBlanks();
    if (!s.keyword("FROM")) return false;
    s.skipBlanks();
    if (!s.name()) return false;
  } else {
    return false;
  }
  s.skipBlanks();
  if (!s.keyword("WHERE")) return false;
  do {
    s.skipBlanks();
    if (!s.name()) return false;
    s.skipBlanks();
    if (!s.comparison()) return false;
    s.skipBlanks();
    if (!s.literal()) return false;
    s.skipBlanks();
  } while (s.keyword("AND") || s.keyword("OR"));
  if (s.punctuation(';')) s.skipBlanks();
  return s.atEnd();
}

LiteralStatementCache::~LiteralStatementCache() {
  for (Entry& entry : entries_) sqlite3_finalize(entry.stmt);
}

sqlite3_stmt* LiteralStatementCache::statementOf(bool query) {
  const std::string& shape = parts_.shape;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].shape == shape) {
      if (entries_[i].open) return nullptr;  // a query steps it still
      std::rotate(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(i),
                  entries_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      return entries_.front().stmt;
    }
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, shape.data(), static_cast<int>(shape.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                         nullptr) != SQLITE_OK ||
      stmt == nullptr) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  // The shape is one statement: the forms admit nothing after it but ';' and blanks.
  if (sqlite3_bind_parameter_count(stmt) != static_cast<int>(parts_.values.size()) ||
      (sqlite3_stmt_readonly(stmt) != 0) != query) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  if (entries_.size() == kEntries) {
    // The least recently used of those no query steps now goes.
    for (auto it = entries_.end(); it != entries_.begin();) {
      --it;
      if (!it->open) {
        sqlite3_finalize(it->stmt);
        entries_.erase(it);
        break;
      }
    }
  }
  entries_.insert(entries_.begin(), Entry{shape, stmt, false});
  return stmt;
}

bool LiteralStatementCache::bind(sqlite3_stmt* stmt, bool copyTexts) {
  for (std::size_t i = 0; i < parts_.values.size(); ++i) {
    const LiteralValue& value = parts_.values[i];
    const int index = static_cast<int>(i) + 1;
    int rc = SQLITE_OK;
    switch (value.kind) {
      case LiteralValue::Kind::Integer:
        rc = sqlite3_bind_int64(stmt, index, value.integer);
        break;
      case LiteralValue::Kind::Text:
        // Static: the texts stay put until the statement is reset and cleared.
        rc = sqlite3_bind_text(stmt, index, parts_.texts.data() + value.offset,
                               static_cast<int>(value.length), copyTexts ? SQLITE_TRANSIENT : SQLITE_STATIC);
        break;
      case LiteralValue::Kind::Null:
        rc = sqlite3_bind_null(stmt, index);
        break;
    }
    if (rc != SQLITE_OK) return false;
  }
  return true;
}

int LiteralStatementCache::run(std::string_view sql) {
  bool query = false;
  if (!takeApartInsert(sql, parts_) && (!takeApartKeyed(sql, parts_, query) || query)) return kNotTaken;
  sqlite3_stmt* stmt = statementOf(false);
  if (stmt == nullptr) return kNotTaken;
  if (!bind(stmt, false)) {
    // A value SQLite refuses to bind (a text over the length limit): the
    // ordinary path gives the error it gives for the literal.
    sqlite3_clear_bindings(stmt);
    return kNotTaken;
  }
  int rc = sqlite3_step(stmt);
  while (rc == SQLITE_ROW) rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  return rc;
}

sqlite3_stmt* LiteralStatementCache::open(std::string_view sql) {
  bool query = false;
  if (!takeApartKeyed(sql, parts_, query) || !query) return nullptr;
  sqlite3_stmt* stmt = statementOf(true);
  if (stmt == nullptr) return nullptr;
  if (!bind(stmt, true)) {
    sqlite3_clear_bindings(stmt);
    return nullptr;
  }
  entries_.front().open = true;
  return stmt;
}

void LiteralStatementCache::close(sqlite3_stmt* stmt) {
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  for (Entry& entry : entries_) {
    if (entry.stmt == stmt) entry.open = false;
  }
}

}  // namespace lumbra::server
