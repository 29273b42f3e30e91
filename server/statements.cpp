// Running SQL for a session: EXEC, binary inserts, PARM parameters.
#include <algorithm>

#include "protocol/ebcdic.h"
#include "server/session.h"
#include "server/session_text.h"

namespace lumbra::server {

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
  if (auto refused = connection(now)) return *refused;
  // The first statement that writes takes the write lock and opens a savepoint.
  struct ExecHook final : BackendConnection::WriteHook {
    ExecHook(SessionLogic& s, Clock::time_point at) : session(s), now(at) {}
    int beforeWrite() override {
      if (savepoint) return kOk;
      if (auto refused = session.beginWrite(now)) {
        waiting = std::move(refused);
        return kBusy;
      }
      session.db_->savepoint("lumbra_exec");
      savepoint = true;
      return kOk;
    }
    SessionLogic& session;
    Clock::time_point now;
    bool savepoint = false;
    std::optional<Outcome> waiting;
  } hook(*this, now);
  std::optional<std::string> firstRow;
  long long changes = 0;
  int code = db_->run(sql, parameters_, &hook, changes, &firstRow);
  const bool savepoint = hook.savepoint;
  if (hook.waiting) return *hook.waiting;
  if (code != kOk) {
    Outcome refused = refuseSql(code, "NO EXEC");
    if (savepoint && inTransaction_) db_->rollbackTo("lumbra_exec");
    return refused;
  }
  if (savepoint) db_->release("lumbra_exec");
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
  long long changes = 0;
  int code = db_->insertBlob(sql, parameters_, frame.data, changes);
  if (code == kNoPlace) return refuse(Status::BadBinaryInsert, "UM COMANDO COM UM '?' PARA OS DADOS");
  if (code != kOk) return refuseSql(code, "NA INSERCAO BINARIA");
  recordUpdate(changes);
  return reply(0, "");
}

}  // namespace lumbra::server
