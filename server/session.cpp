// The session logic: construction, replies, login and greeting, dispatch of each message.
//
// The handlers live beside it: transaction.cpp (write lock, batches, COMMIT,
// ROLLBACK), statements.cpp (EXEC, binary insert, PARM), result_set.cpp
// (SELECT and CONT), settings.cpp (SET, GETSET).
#include "server/session.h"

#include <algorithm>

#include "protocol/commands.h"
#include "protocol/wire.h"
#include "server/login.h"
#include "server/reply.h"
#include "server/session_cursor.h"
#include "server/session_text.h"

namespace lumbra::server {

namespace {

constexpr std::size_t kInputSlack = 1024;

}  // namespace

SessionLogic::SessionLogic(const ServerSettings& settings, Backend& backend, UserStore& users,
                           std::uint32_t clientAddress, std::function<void(const std::string&)> log)
    : settings_(settings),
      backend_(backend),
      users_(users),
      clientAddress_(clientAddress),
      log_(std::move(log)),
      messageLength_(settings.messageLength),
      busyTimeoutMs_(settings.busyTimeoutMs),
      replyLimit_(kInitialReplyLimit) {}

SessionLogic::~SessionLogic() {
  closeCursor();
  if (db_ && inTransaction_) {
    db_->rollback();
    log_("open transaction rolled back (" + std::to_string(updateCount_) + " updates)");
  }
}

std::size_t SessionLogic::inputLimit() const {
  return static_cast<std::size_t>(std::max(messageLength_, kInitialBufferSize)) + kInputSlack;
}

SessionLogic::Outcome SessionLogic::reply(int status, std::string_view text) {
  return Outcome{makeReply(status, hostText(text, false), replyLimit_)};
}

SessionLogic::Outcome SessionLogic::refuse(Status status, std::string_view detail) {
  return Outcome{makeRefusal(status, detail, replyLimit_)};
}

SessionLogic::Outcome SessionLogic::refuseSql(int code, std::string_view where) {
  // A connection lost before the database answered anything on it (it died
  // in the pool): handle() runs the message again on a new one, once.
  if (code == kLostConnection && db_ && db_->lostBeforeUse() && !inTransaction_ && !freshConnection_) {
    retryOnFresh_ = true;
  }
  if (code == kBusy) {
    // A lock waited for inside the database (a row's, on PostgreSQL) for a
    // moment: as when the write lock is taken, the message is undone (a
    // write it began included) and handed in again, up to the busy timeout.
    if (db_ && inTransaction_ && begunNow_) {
      db_->rollback();
      inTransaction_ = false;
    }
    syncTransaction();
    // Counted from the start of the first attempt: the wait inside the database is part of it.
    if (!busySince_) busySince_ = handledSince_;
    return waitOrRefuseBusy(Clock::now());
  }
  std::string text = "ERRO SQL";
  if (!where.empty()) text += " " + std::string(where);
  text += ": ";
  // The transaction gone with the failure (a lost connection, a full disk):
  // said once, plainly; the next command finds no transaction and goes on.
  if (const long long lost = syncTransaction(); lost >= 0) {
    text += "TRANSACAO DESFEITA (" + std::to_string(lost) + " ATUALIZACOES PERDIDAS): ";
  }
  if (db_) text += db_->errorText();
  return Outcome{makeReply(code, hostText(text), replyLimit_)};
}

// ---------------------------------------------------------------- login

SessionLogic::Outcome SessionLogic::handle(const Frame& frame, Clock::time_point now) {
  begunNow_ = false;
  lockSeen_.reset();
  handledSince_ = now;
  Outcome outcome = handleFrame(frame, now);
  if (retryOnFresh_) {
    // The pooled connection had died while it waited, and nothing of the
    // message reached the database: the message runs again, on a new one.
    retryOnFresh_ = false;
    log_("the database connection taken from the pool had closed: the message runs again on a new one");
    dropConnection();
    freshConnection_ = true;
    begunNow_ = false;
    outcome = handleFrame(frame, now);
    freshConnection_ = false;
    retryOnFresh_ = false;
  }
  // A message answered ends any waiting for a lock (a retried one goes on waiting).
  if (!outcome.retry) busySince_.reset();
  releaseIdleConnection();
  return outcome;
}

SessionLogic::Outcome SessionLogic::handleFrame(const Frame& frame, Clock::time_point now) {
  switch (frame.kind) {
    case Frame::Kind::Login:
      return login(frame.text);
    case Frame::Kind::Oversized:
      log_("message longer than " + std::to_string(inputLimit()) + " bytes refused");
      return refuse(Status::MessageTooLong);
    case Frame::Kind::Malformed:
      closeCursor();
      return refuse(Status::BadBinaryInsert, "CLAUSULA DE TAMANHO, APOSTROFO OU MARCA AUSENTE");
    case Frame::Kind::BinaryInsert:
      if (!loggedIn_) return refuse(Status::NotLoggedIn);
      return binaryInsert(frame, now);
    case Frame::Kind::Ordinary:
      break;
  }
  std::string_view text = frame.text;
  // The client sends texts as C strings: a zero byte means the message is not one of its own.
  if (text.find('\0') != std::string_view::npos) return refuse(Status::BadMessage, "BYTE ZERO NO TEXTO");
  if (text == kGreeting) return reply(0, std::string("LUMBRA-SERVER ") + kServerVersion);
  if (text.starts_with("FIM")) {
    log_("farewell");
    Outcome outcome = reply(0, "SESSAO ENCERRADA");
    outcome.close = true;
    return outcome;
  }
  if (!loggedIn_) return refuse(Status::NotLoggedIn);
  return dispatch(text, now);
}

bool SessionLogic::runsSql(const Frame& frame) const {
  switch (frame.kind) {
    case Frame::Kind::Login: {
      if (loggedIn_) return false;
      std::optional<LoginRequest> request = parseLogin(frame.text);
      return request && !request->secondCredential.empty();
    }
    case Frame::Kind::BinaryInsert:
      return loggedIn_;
    case Frame::Kind::Ordinary:
      if (!loggedIn_ || frame.text.empty() || frame.text == kGreeting || frame.text.starts_with("FIM"))
        return false;
      // A continuation answered by the block laid out ahead needs no SQL, so
      // it is not sent round the SQL threads.
      return !answersAhead(frame.text);
    case Frame::Kind::Malformed:
      return cursor_ != nullptr;  // closing the result finalizes a statement
    case Frame::Kind::Oversized:
      break;
  }
  return false;
}

std::optional<Clock::time_point> SessionLogic::resultOpenedAt() const {
  if (!cursor_) return std::nullopt;
  return cursor_->opened;
}

void SessionLogic::releaseResult() {
  if (!cursor_) return;
  closeCursor();
  resultReleased_ = true;
  releaseIdleConnection();
}

SessionLogic::Outcome SessionLogic::login(std::string_view message) {
  if (loggedIn_) return refuse(Status::AlreadyLoggedIn);
  std::optional<LoginRequest> request = parseLogin(message);
  if (!request) {
    log_("login refused: malformed credential block");
    return refuse(Status::BadCredentialBlock);
  }
  if (!users_.check(request->identification, request->firstCredential)) {
    // The users could not be read at all (PostgreSQL down): no verdict on the
    // password, so no failed login either; the client may try again.
    if (std::string why; !users_.reachable(why)) {
      log_("login of '" + hostText(request->identification, false) +
           "' refused: the database of the users cannot be reached: " + why);
      return refuse(Status::DatabaseUnreachable);
    }
    ++failedLogins_;
    log_("login refused for '" + hostText(request->identification, false) + "'");
    Outcome outcome = refuse(Status::LoginRefused);
    outcome.loginFailed = true;
    if (settings_.loginFailures > 0 && failedLogins_ >= settings_.loginFailures) {
      log_("closing after " + std::to_string(failedLogins_) + " failed logins");
      outcome.close = true;
    }
    return outcome;
  }
  std::string note;
  if (!request->secondCredential.empty()) {
    std::optional<std::string> password = normalizePassword(request->secondCredential);
    if (!password) {
      log_("login of '" + request->identification + "' refused: unusable new password");
      return refuse(Status::BadNewPassword, request->secondCredential.size() > kFirstCredentialLength
                                                ? "EXCEDE 24 CARACTERES"
                                                : "CARACTERE NAO PERMITIDO");
    }
    int iterations = kDefaultIterations;
    if (UserStore::Result result = users_.setPassword(request->identification, *password, iterations);
        result != UserStore::Result::Ok) {
      log_("login of '" + request->identification + "' refused: password not stored: " + users_.lastError());
      return refuse(Status::BadNewPassword, "SENHA NAO GRAVADA");
    }
    note = " (SENHA ALTERADA)";
    log_("password of '" + request->identification + "' changed");
  }
  loggedIn_ = true;
  user_ = request->identification;
  log_("login of '" + user_ + "' (client " + request->clientVersion + ")");
  Outcome outcome{makeReply(0,
                            "SESSAO ABERTA PARA " + user_ + note +
                                serverInformation(clientAddress_, messageLength_, backend_.version()),
                            replyLimit_)};
  // From now on the client's buffer has the announced size.
  replyLimit_ = static_cast<std::size_t>(messageLength_) - 1;
  return outcome;
}

// ---------------------------------------------------------------- dispatch

SessionLogic::Outcome SessionLogic::dispatch(std::string_view text, Clock::time_point now) {
  // A continuation that the block laid out ahead answers runs no SQL and
  // leaves the connection's limits as they are: rows may be stepped ahead
  // under them on an SQL thread meanwhile.
  const bool continues = text.starts_with(kContinuationPrefix);
  if (!continues || !answersAhead(text)) {
    deadline_ = statementDeadline();
    if (db_) db_->setLimits(deadline_, busyTimeoutMs_);
  }
  if (continues) return continuation(text.substr(5));
  // Every other message ends the open result set, as the client does.
  closeCursor();
  resultReleased_ = false;
  if (isCommitCommand(text)) return commit(text);
  if (namesBatchedWord(text)) return batch(text, now);
  if (text.starts_with("SELECT")) return select(text);
  if (text.starts_with("ROLLBACK")) return rollback(text);
  if (startsWithWord(text, "EXEC")) return exec(text.substr(4), now);
  if (startsWithWord(text, "GETSET")) return getset(text.substr(6));
  if (startsWithWord(text, "SET")) return set(text.substr(3));
  if (startsWithWord(text, "PARM")) return parm(text.substr(4));
  if (text.empty()) return reply(0, "");
  return refuse(Status::UnknownCommand, commandWord(text));
}

}  // namespace lumbra::server
