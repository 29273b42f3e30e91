// Running SQL for a session: statements one after the other, EXEC, binary inserts, PARM parameters.
#include "server/statements.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "protocol/ebcdic.h"
#include "server/session.h"
#include "server/session_text.h"

namespace lumbra::server {

int StatementSteps::beforeStep(sqlite3_stmt*) { return SQLITE_OK; }

int runStatements(sqlite3* db, std::string_view sql, StatementSteps& steps, long long& changes,
                  std::optional<std::string>* firstRow) {
  changes = 0;
  const char* at = sql.data();
  const char* end = sql.data() + sql.size();
  while (at < end) {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    int rc = steps.prepare(std::string_view(at, static_cast<std::size_t>(end - at)), &stmt, &tail);
    if (rc != SQLITE_OK) return rc;
    // SQLite reads a text only up to a NUL byte and leaves the tail there: the
    // rest is never SQL, and taking it again would loop forever.
    if (tail == nullptr || tail <= at) {
      if (stmt != nullptr) sqlite3_finalize(stmt);
      break;
    }
    at = tail;
    if (stmt == nullptr) continue;  // blanks or a comment
    rc = steps.beforeStep(stmt);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(stmt);
      return rc;
    }
    long long before = sqlite3_total_changes64(db);
    bool gaveRow = false;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      if (firstRow != nullptr && !gaveRow) {
        std::string text;
        // No reply carries more than the longest message length: the rest is never read.
        for (int i = 0;
             i < sqlite3_column_count(stmt) && text.size() < static_cast<std::size_t>(kMaxMessageLength);
             ++i) {
          if (i > 0) text.push_back(',');
          const unsigned char* value = sqlite3_column_text(stmt, i);
          if (value != nullptr) text.append(reinterpret_cast<const char*>(value));
        }
        *firstRow = std::move(text);
      }
      gaveRow = true;
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) return rc;
    changes += sqlite3_total_changes64(db) - before;
  }
  return SQLITE_OK;
}

// ---------------------------------------------------------------- preparing with PARM parameters

int SessionLogic::prepare(std::string_view sql, sqlite3_stmt** stmt, const char** tail) {
  int rc = sqlite3_prepare_v2(db_->handle(), sql.data(), static_cast<int>(sql.size()), stmt, tail);
  if (rc == SQLITE_OK && *stmt != nullptr) bindParameters(*stmt);
  return rc;
}

SessionLogic::SessionSteps::SessionSteps(SessionLogic& s) : session(s) {}

int SessionLogic::SessionSteps::prepare(std::string_view sql, sqlite3_stmt** stmt, const char** tail) {
  return session.prepare(sql, stmt, tail);
}

void SessionLogic::bindParameters(sqlite3_stmt* stmt) {
  int count = sqlite3_bind_parameter_count(stmt);
  for (int i = 1; i <= count; ++i) {
    const char* name = sqlite3_bind_parameter_name(stmt, i);
    if (name == nullptr || name[0] != ':') continue;
    auto found = parameters_.find(upper(name + 1));
    if (found == parameters_.end() || found->second.kind == Parameter::Kind::Null) continue;
    const std::string& value = found->second.value;
    if (found->second.kind == Parameter::Kind::Text) {
      sqlite3_bind_text(stmt, i, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
      continue;
    }
    // Whole numbers bind as integers, other numbers as reals, the rest as text.
    char* end = nullptr;
    errno = 0;
    long long integer = std::strtoll(value.c_str(), &end, 10);
    if (!value.empty() && *end == '\0' && errno == 0) {
      sqlite3_bind_int64(stmt, i, integer);
      continue;
    }
    double real = std::strtod(value.c_str(), &end);
    if (!value.empty() && *end == '\0' && value.find_first_of("0123456789") != std::string::npos) {
      sqlite3_bind_double(stmt, i, real);
      continue;
    }
    sqlite3_bind_text(stmt, i, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  }
}

SessionLogic::Outcome SessionLogic::parm(std::string_view text) {
  auto show = [](const std::string& name, const Parameter& value) {
    switch (value.kind) {
      case Parameter::Kind::Null:
        return name + "=NULL";
      case Parameter::Kind::Text:
        return name + "='" + value.value + "'";
      case Parameter::Kind::Literal:
        break;
    }
    return name + "=" + value.value;
  };
  text = trim(text);
  if (text.empty()) {
    std::string all;
    for (const auto& [name, value] : parameters_) {
      if (!all.empty()) all += ';';
      all += show(name, value);
    }
    return reply(0, all);
  }
  std::size_t split = text.find('=');
  std::string name = upper(trim(text.substr(0, split)));
  bool validName = !name.empty() && !(name[0] >= '0' && name[0] <= '9') &&
                   std::all_of(name.begin(), name.end(), [](char c) {
                     return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
                   });
  if (!validName) return refuse(Status::BadParameter, "NOME " + name);
  if (split == std::string_view::npos) {
    parameters_.erase(name);
    return reply(0, name);
  }
  std::string_view valueText = trim(text.substr(split + 1));
  Parameter value;
  if (valueText.size() >= 2 && valueText.front() == '\'' && valueText.back() == '\'') {
    // A quoted value is text even when it looks like a number; '' is one quote.
    value.kind = Parameter::Kind::Text;
    for (std::size_t i = 1; i + 1 < valueText.size(); ++i) {
      value.value.push_back(valueText[i]);
      if (valueText[i] == '\'' && i + 2 < valueText.size() && valueText[i + 1] == '\'') ++i;
    }
  } else if (upper(valueText) != "NULL") {
    value.kind = Parameter::Kind::Literal;
    value.value = std::string(valueText);
  }
  parameters_[name] = value;
  return reply(0, show(name, value));
}

// ---------------------------------------------------------------- EXEC

SessionLogic::Outcome SessionLogic::exec(std::string_view sql, Clock::time_point now) {
  std::string error;
  if (database(error) == nullptr) return refuse(Status::DatabaseUnavailable, error);
  // The first statement that writes takes the write lock and opens a savepoint.
  struct ExecSteps final : SessionSteps {
    ExecSteps(SessionLogic& s, Clock::time_point at) : SessionSteps(s), now(at) {}
    int beforeStep(sqlite3_stmt* stmt) override {
      if (sqlite3_stmt_readonly(stmt) || savepoint) return SQLITE_OK;
      if (auto refused = session.beginWrite(now)) {
        waiting = std::move(refused);
        return SQLITE_ABORT;
      }
      session.db_->run("SAVEPOINT lumbra_exec");
      savepoint = true;
      return SQLITE_OK;
    }
    Clock::time_point now;
    bool savepoint = false;
    std::optional<Outcome> waiting;
  } steps(*this, now);
  std::optional<std::string> firstRow;
  long long changes = 0;
  int rc = runStatements(db_->handle(), sql, steps, changes, &firstRow);
  const bool savepoint = steps.savepoint;
  if (steps.waiting) return *steps.waiting;
  if (rc != SQLITE_OK) {
    Outcome refused = refuseSql(rc, "NO EXEC");
    if (savepoint && inTransaction_) {
      db_->run("ROLLBACK TO lumbra_exec");
      db_->run("RELEASE lumbra_exec");
    }
    return refused;
  }
  if (savepoint) db_->run("RELEASE lumbra_exec");
  return reply(0, firstRow ? *firstRow : std::to_string(changes));
}

// ---------------------------------------------------------------- binary insert

SessionLogic::Outcome SessionLogic::binaryInsert(const Frame& frame, Clock::time_point now) {
  deadline_ = statementDeadline();
  closeCursor();
  std::string prefix(frame.text.size(), ' ');
  if (!ebcdicToAsciiText(reinterpret_cast<const unsigned char*>(frame.text.data()), frame.text.size(),
                         prefix.data())) {
    return refuse(Status::BadBinaryInsert, "PREFIXO NAO E EBCDIC");
  }
  // The prefix names where the bytes go with one '?'; without one, they are the
  // last value of the VALUES list, which the server closes.
  std::string sql = prefix;
  if (sql.find('?') == std::string::npos) sql = std::string(trim(sql)) + " ?)";
  if (auto refused = beginWrite(now)) return *refused;
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  int rc = prepare(sql, &stmt, &tail);
  if (rc != SQLITE_OK) return refuseSql(rc, "NA INSERCAO BINARIA");
  if (stmt == nullptr || !onlyBlanks(tail) || sqlite3_bind_parameter_count(stmt) < 1) {
    sqlite3_finalize(stmt);
    return refuse(Status::BadBinaryInsert, "UM COMANDO COM UM '?' PARA OS DADOS");
  }
  // The data goes to the first unnamed '?' (named parameters come from PARM).
  int index = 0;
  for (int i = 1; i <= sqlite3_bind_parameter_count(stmt); ++i) {
    if (sqlite3_bind_parameter_name(stmt, i) == nullptr) {
      index = i;
      break;
    }
  }
  if (index == 0) {
    sqlite3_finalize(stmt);
    return refuse(Status::BadBinaryInsert, "UM COMANDO COM UM '?' PARA OS DADOS");
  }
  sqlite3_bind_blob(stmt, index, frame.data.data(), static_cast<int>(frame.data.size()), SQLITE_TRANSIENT);
  long long before = sqlite3_total_changes64(db_->handle());
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) return refuseSql(rc, "NA INSERCAO BINARIA");
  recordUpdate(sqlite3_total_changes64(db_->handle()) - before);
  return reply(0, "");
}

}  // namespace lumbra::server
