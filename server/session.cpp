// The session logic: login, dispatch, transactions, batches, binary inserts, queries, settings.
#include "server/session.h"

#include <sqlite3.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/ebcdic.h"
#include "protocol/run_length.h"
#include "protocol/wire.h"
#include "server/batch.h"
#include "server/login.h"
#include "server/reply.h"
#include "server/result_cursor.h"
#include "server/rows.h"

namespace lumbra::server {

namespace {

constexpr std::size_t kInitialReplyLimit = kInitialBufferSize - 1;  // 1900
constexpr std::size_t kInputSlack = 1024;
constexpr std::size_t kMaxCountedUpdates = kMaxMessageLength / kCommitItemLength + 1;

bool startsWithWord(std::string_view text, std::string_view word) {
  return text.starts_with(word) && (text.size() == word.size() || text[word.size()] == ' ');
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == ';')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool onlyBlanks(const char* text) {
  for (; text != nullptr && *text != '\0'; ++text) {
    if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r' && *text != ';') {
      return false;
    }
  }
  return true;
}

std::string dottedAddress(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%03u.%03u.%03u.%03u", (address >> 24) & 255,
                (address >> 16) & 255, (address >> 8) & 255, address & 255);
  return text;
}

// Reads a decimal setting value; false when it is not a plain number.
bool readNumber(std::string_view text, long long& value) {
  std::string digits{trim(text)};
  if (digits.empty() || digits.size() > 12) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  value = std::atoll(digits.c_str());
  return true;
}

}  // namespace

// An open result set: the statement stays prepared between continuation requests.
struct SessionLogic::Cursor {
  sqlite3_stmt* stmt = nullptr;
  ResultCursor result;       // the count, the widths, kept rows, the rows sent
  bool ownsTransaction = false;
  Clock::time_point opened = Clock::now();
};

SessionLogic::SessionLogic(const ServerSettings& settings, UserStore& users,
                           std::uint32_t clientAddress,
                           std::function<void(const std::string&)> log)
    : settings_(settings),
      users_(users),
      clientAddress_(clientAddress),
      log_(std::move(log)),
      messageLength_(settings.messageLength),
      busyTimeoutMs_(settings.busyTimeoutMs),
      replyLimit_(kInitialReplyLimit) {}

SessionLogic::~SessionLogic() {
  closeCursor();
  if (db_ && inTransaction_) {
    db_->run("ROLLBACK");
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

SessionLogic::Outcome SessionLogic::refuseSql(int rc, std::string_view where) {
  std::string text = "ERRO SQL";
  if (!where.empty()) text += " " + std::string(where);
  text += ": ";
  text += db_ ? db_->errorText() : sqlite3_errstr(rc);
  syncTransaction();
  return Outcome{makeReply(sqlStatus(rc), hostText(text), replyLimit_)};
}

// ---------------------------------------------------------------- login

SessionLogic::Outcome SessionLogic::handle(const Frame& frame, Clock::time_point now) {
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
      return loggedIn_ && !frame.text.empty() && frame.text != kGreeting &&
             !frame.text.starts_with("FIM");
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
}

SessionLogic::Outcome SessionLogic::login(std::string_view message) {
  if (loggedIn_) return refuse(Status::AlreadyLoggedIn);
  std::optional<LoginRequest> request = parseLogin(message);
  if (!request) {
    log_("login refused: malformed credential block");
    return refuse(Status::BadCredentialBlock);
  }
  if (!users_.check(request->identification, request->firstCredential)) {
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
      log_("login of '" + request->identification + "' refused: password not stored: " +
           users_.lastError());
      return refuse(Status::BadNewPassword, "SENHA NAO GRAVADA");
    }
    note = " (SENHA ALTERADA)";
    log_("password of '" + request->identification + "' changed");
  }
  loggedIn_ = true;
  user_ = request->identification;
  log_("login of '" + user_ + "' (client " + request->clientVersion + ")");
  Outcome outcome{makeReply(0, "SESSAO ABERTA PARA " + user_ + note +
                                   serverInformation(clientAddress_, messageLength_),
                            replyLimit_)};
  // From now on the client's buffer has the announced size.
  replyLimit_ = static_cast<std::size_t>(messageLength_) - 1;
  return outcome;
}

// ---------------------------------------------------------------- dispatch

SessionLogic::Outcome SessionLogic::dispatch(std::string_view text, Clock::time_point now) {
  deadline_ = statementDeadline();
  if (text.starts_with(kContinuationPrefix)) return continuation(text.substr(5));
  // Every other message ends the open result set, as the client does.
  closeCursor();
  resultReleased_ = false;
  if (text.starts_with("COMMIT")) return commit();
  if (text.starts_with("INSERT") || text.starts_with("UPDATE") || text.starts_with("DELETE")) {
    return batch(text, now);
  }
  if (text.starts_with("SELECT")) return select(text);
  if (text.starts_with("ROLLBACK")) return rollback();
  if (startsWithWord(text, "EXEC")) return exec(text.substr(4), now);
  if (startsWithWord(text, "GETSET")) return getset(text.substr(6));
  if (startsWithWord(text, "SET")) return set(text.substr(3));
  if (startsWithWord(text, "PARM")) return parm(text.substr(4));
  if (text.empty()) return reply(0, "");
  std::string word{text.substr(0, std::min<std::size_t>(text.find(' '), 16))};
  return refuse(Status::UnknownCommand, word);
}

// ---------------------------------------------------------------- transactions

Database* SessionLogic::database(std::string& error) {
  if (!db_) {
    db_ = Database::open(settings_.databasePath, Database::Role::Session, error);
    if (db_) {
      sqlite3_progress_handler(db_->handle(), 10000, &SessionLogic::progress, this);
    }
  }
  return db_.get();
}

Clock::time_point SessionLogic::statementDeadline() const {
  if (settings_.statementTimeout.count() <= 0) return Clock::time_point::max();
  return Clock::now() + settings_.statementTimeout;
}

// A query that runs away holds a worker thread: interrupt it at the deadline.
int SessionLogic::progress(void* self) {
  auto* session = static_cast<SessionLogic*>(self);
  return session->interrupted_ || Clock::now() > session->deadline_ ? 1 : 0;
}

std::optional<SessionLogic::Outcome> SessionLogic::beginWrite(Clock::time_point now) {
  std::string error;
  if (database(error) == nullptr) return refuse(Status::DatabaseUnavailable, error);
  if (inTransaction_) return std::nullopt;
  int rc = db_->run("BEGIN IMMEDIATE");
  if (rc == SQLITE_OK) {
    inTransaction_ = true;
    busySince_.reset();
    return std::nullopt;
  }
  if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
    if (!busySince_) busySince_ = now;
    if (now - *busySince_ < std::chrono::milliseconds(busyTimeoutMs_)) return Outcome{{}, false, true};
    busySince_.reset();
    log_("write lock not obtained within " + std::to_string(busyTimeoutMs_) + " ms");
    return refuse(Status::DatabaseBusy);
  }
  return refuseSql(rc);
}

// SQLite rolls a whole transaction back on some errors (disk full, I/O): follow it.
void SessionLogic::syncTransaction() {
  if (db_ && inTransaction_ && sqlite3_get_autocommit(db_->handle()) != 0) {
    inTransaction_ = false;
    updateChanges_.clear();
    updateCount_ = 0;
    log_("transaction rolled back by the database");
  }
}

void SessionLogic::recordUpdate(long long changes) {
  ++updateCount_;
  if (updateChanges_.size() < kMaxCountedUpdates) {
    updateChanges_.push_back(static_cast<std::uint32_t>(std::min<long long>(changes, 0xFFFFFFFFLL)));
  }
}

int SessionLogic::prepare(std::string_view sql, sqlite3_stmt** stmt, const char** tail) {
  int rc = sqlite3_prepare_v2(db_->handle(), sql.data(), static_cast<int>(sql.size()), stmt, tail);
  if (rc == SQLITE_OK && *stmt != nullptr) bindParameters(*stmt);
  return rc;
}

// Runs every statement of `sql`; `changes` gets the rows they changed, `firstRow`
// the first row of the last statement that gave rows.
static int runStatements(sqlite3* db, std::string_view sql, long long& changes,
                         std::optional<std::string>* firstRow,
                         const std::function<int(std::string_view, sqlite3_stmt**, const char**)>& prepare,
                         const std::function<int(sqlite3_stmt*)>& beforeStep) {
  changes = 0;
  const char* at = sql.data();
  const char* end = sql.data() + sql.size();
  while (at < end) {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    int rc = prepare(std::string_view(at, static_cast<std::size_t>(end - at)), &stmt, &tail);
    if (rc != SQLITE_OK) return rc;
    // SQLite reads a text only up to a NUL byte and leaves the tail there: the
    // rest is never SQL, and taking it again would loop forever.
    if (tail == nullptr || tail <= at) {
      if (stmt != nullptr) sqlite3_finalize(stmt);
      break;
    }
    at = tail;
    if (stmt == nullptr) continue;  // blanks or a comment
    rc = beforeStep(stmt);
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
        for (int i = 0; i < sqlite3_column_count(stmt) && text.size() < static_cast<std::size_t>(kMaxMessageLength); ++i) {
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

// ---------------------------------------------------------------- batches and COMMIT

SessionLogic::Outcome SessionLogic::batch(std::string_view text, Clock::time_point now) {
  BatchParts parts = splitBatch(text);
  if (!parts.entries.empty()) {
    if (auto refused = beginWrite(now)) return *refused;
    db_->run("SAVEPOINT lumbra_batch");
    std::string decoded;
    std::size_t number = 0;
    std::vector<long long> changes;
    for (std::string_view entry : parts.entries) {
      ++number;
      decoded.resize(entry.size() * 12 + 1);
      std::ptrdiff_t length = decodeOutgoingRunLength(entry.data(), entry.size(), decoded.data(),
                                                      decoded.size());
      std::string where = "NA ATUALIZACAO " + std::to_string(number) + " DO LOTE";
      if (length < 0) {
        db_->run("ROLLBACK TO lumbra_batch");
        db_->run("RELEASE lumbra_batch");
        return refuse(Status::BadMessage, where + ": FORMA COMPACTADA INVALIDA");
      }
      long long changed = 0;
      int rc = runStatements(
          db_->handle(), std::string_view(decoded.data(), static_cast<std::size_t>(length)),
          changed, nullptr,
          [this](std::string_view sql, sqlite3_stmt** stmt, const char** tail) {
            return prepare(sql, stmt, tail);
          },
          [](sqlite3_stmt*) { return SQLITE_OK; });
      if (rc != SQLITE_OK) {
        Outcome refused = refuseSql(rc, where);
        if (inTransaction_) {
          db_->run("ROLLBACK TO lumbra_batch");
          db_->run("RELEASE lumbra_batch");
        }
        return refused;
      }
      changes.push_back(changed);
    }
    db_->run("RELEASE lumbra_batch");
    for (long long changed : changes) recordUpdate(changed);
    if (!parts.commit) return reply(0, std::to_string(changes.size()));
  }
  return commit();
}

SessionLogic::Outcome SessionLogic::commit() {
  if (db_ && inTransaction_) {
    int rc = db_->run("COMMIT");
    if (rc != SQLITE_OK) return refuseSql(rc, "NO COMMIT");
    inTransaction_ = false;
  }
  // One item of 11 characters per update: the rows it changed in ten digits and
  // a blank. When they do not all fit, the last item that fits carries the
  // total number of updates instead: '+', nine digits, a blank.
  std::size_t room = replyLimit_ > kMinimumReplyLength ? replyLimit_ - kMinimumReplyLength : 0;
  std::size_t fit = room / kCommitItemLength;
  std::size_t count = static_cast<std::size_t>(updateCount_);
  std::string text;
  bool summary = count > fit;
  std::size_t items = summary ? (fit > 0 ? fit - 1 : 0) : count;
  text.reserve((items + 1) * kCommitItemLength);
  char item[24];
  for (std::size_t i = 0; i < items; ++i) {
    std::snprintf(item, sizeof item, "%010u ", i < updateChanges_.size() ? updateChanges_[i] : 0U);
    text.append(item, kCommitItemLength);
  }
  if (summary && fit > 0) {
    std::snprintf(item, sizeof item, "+%09lld ", std::min(updateCount_, 999999999LL));
    text.append(item, kCommitItemLength);
  }
  updateChanges_.clear();
  updateCount_ = 0;
  return Outcome{makeReply(0, text, replyLimit_)};
}

SessionLogic::Outcome SessionLogic::rollback() {
  if (db_ && inTransaction_) {
    int rc = db_->run("ROLLBACK");
    if (rc != SQLITE_OK) return refuseSql(rc, "NO ROLLBACK");
    inTransaction_ = false;
  }
  updateChanges_.clear();
  updateCount_ = 0;
  return reply(0, "TRANSACAO DESFEITA");
}

// ---------------------------------------------------------------- binary insert

SessionLogic::Outcome SessionLogic::binaryInsert(const Frame& frame, Clock::time_point now) {
  deadline_ = statementDeadline();
  closeCursor();
  std::string prefix(frame.text.size(), ' ');
  if (!ebcdicToAsciiText(reinterpret_cast<const unsigned char*>(frame.text.data()),
                         frame.text.size(), prefix.data())) {
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
  sqlite3_bind_blob(stmt, index, frame.data.data(), static_cast<int>(frame.data.size()),
                    SQLITE_TRANSIENT);
  long long before = sqlite3_total_changes64(db_->handle());
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) return refuseSql(rc, "NA INSERCAO BINARIA");
  recordUpdate(sqlite3_total_changes64(db_->handle()) - before);
  return reply(0, "");
}

// ---------------------------------------------------------------- SELECT and CONT

void SessionLogic::closeCursor() {
  if (!cursor_) return;
  sqlite3_finalize(cursor_->stmt);
  if (cursor_->ownsTransaction && db_) db_->run("COMMIT");
  cursor_.reset();
}

bool SessionLogic::fillBlock(std::string& block, std::size_t limit, bool first, long long& added,
                             int& rc) {
  // Past `limit` a row waits for the next block, unless it is the block's first
  // and fits the client's capacity.
  return cursor_->result.fill(cursor_->stmt, block, limit, replyLimit_, first, added, rc);
}

void SessionLogic::prepareAhead() {
  if (cursor_) cursor_->result.prepareAhead(blockLimit(), replyLimit_);
}

SessionLogic::Outcome SessionLogic::select(std::string_view sql) {
  std::string error;
  if (database(error) == nullptr) return refuse(Status::DatabaseUnavailable, error);
  cursor_ = std::make_unique<Cursor>();
  if (!inTransaction_) {
    // One read snapshot for the counting pass and the rows.
    db_->run("BEGIN");
    cursor_->ownsTransaction = true;
  }
  const char* tail = nullptr;
  int rc = prepare(sql, &cursor_->stmt, &tail);
  if (rc != SQLITE_OK) {
    Outcome refused = refuseSql(rc);
    closeCursor();
    return refused;
  }
  if (cursor_->stmt == nullptr || !onlyBlanks(tail)) {
    closeCursor();
    return refuse(Status::MultipleStatements);
  }
  // One pass: the row count and the width of every column, rows kept within a budget.
  sqlite3_stmt* stmt = cursor_->stmt;
  rc = cursor_->result.count(stmt);
  if (rc != SQLITE_DONE) {
    Outcome refused = refuseSql(rc);
    closeCursor();
    return refused;
  }
  const long long count = cursor_->result.total();
  const std::size_t rowLength = cursor_->result.rowLength();
  if (count > kMaxRowCount) {
    closeCursor();
    return refuse(Status::TooManyRows);
  }
  if (rowLength > kMaxRowLength) {
    closeCursor();
    return refuse(Status::RowTooLong, "COMPRIMENTO " + std::to_string(rowLength));
  }

  // The head: status, row count, row length, the column description up to '.'.
  char head[kSelectHeadLength + 1];
  formatSelectHead(count, rowLength, head);
  std::string block(head, kSelectHeadLength);
  std::string description = describeColumns(stmt, cursor_->result.widths());
  std::size_t room = replyLimit_ - block.size() - 1 - kEndOfBlockLength;
  if (description.size() > room) description.resize(room);
  block += description;
  block += kDescriptionEnd;
  long long added = 0;
  if (!fillBlock(block, blockLimit(), true, added, rc)) {
    Outcome refused = refuseSql(rc);
    closeCursor();
    return refused;
  }
  block.append(kEndOfBlock, kEndOfBlockLength);
  if (cursor_->result.sent() == cursor_->result.total()) closeCursor();
  return Outcome{std::move(block)};
}

SessionLogic::Outcome SessionLogic::continuation(std::string_view number) {
  if (number.size() < 3 || number.size() > 10 ||
      !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    closeCursor();
    return refuse(Status::BadContinuation, number);
  }
  if (!cursor_ && resultReleased_) {
    return refuse(Status::NoOpenQuery,
                  "RESULTADO LIBERADO APOS " +
                      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(settings_.resultHold).count()) +
                      " S");
  }
  if (!cursor_) return refuse(Status::NoOpenQuery);
  if (cursor_->result.exhausted()) {
    closeCursor();
    return refuse(Status::NoOpenQuery, "O RESULTADO MUDOU DURANTE A LEITURA");
  }
  std::string block;
  int rc = SQLITE_OK;
  long long added = 0;
  if (cursor_->result.takeAhead(number, blockLimit(), block)) {
    added = 1;  // laid out ahead, never without a row
  } else {
    const auto tag = continuationTag(number);
    block.assign(tag.data(), tag.size());
    if (!fillBlock(block, blockLimit(), false, added, rc)) {
      Outcome refused = refuseSql(rc);
      closeCursor();
      return refused;
    }
  }
  if (added == 0) {
    // A block without a row would have the client read the marker as a row.
    bool changed = cursor_->result.exhausted();
    closeCursor();
    if (changed) return refuse(Status::NoOpenQuery, "O RESULTADO MUDOU DURANTE A LEITURA");
    return refuse(Status::RowTooLong, "AUMENTE O TAMANHO DA MENSAGEM (SET MESSAGE_LENGTH)");
  }
  block.append(kEndOfBlock, kEndOfBlockLength);
  if (cursor_->result.sent() == cursor_->result.total()) closeCursor();
  return Outcome{std::move(block)};
}

// ---------------------------------------------------------------- EXEC

SessionLogic::Outcome SessionLogic::exec(std::string_view sql, Clock::time_point now) {
  std::string error;
  if (database(error) == nullptr) return refuse(Status::DatabaseUnavailable, error);
  bool savepoint = false;
  std::optional<Outcome> waiting;
  std::optional<std::string> firstRow;
  long long changes = 0;
  int rc = runStatements(
      db_->handle(), sql, changes, &firstRow,
      [this](std::string_view text, sqlite3_stmt** stmt, const char** tail) {
        return prepare(text, stmt, tail);
      },
      [&](sqlite3_stmt* stmt) {
        if (sqlite3_stmt_readonly(stmt) || savepoint) return SQLITE_OK;
        if (auto refused = beginWrite(now)) {
          waiting = std::move(refused);
          return SQLITE_ABORT;
        }
        db_->run("SAVEPOINT lumbra_exec");
        savepoint = true;
        return SQLITE_OK;
      });
  if (waiting) return *waiting;
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

// ---------------------------------------------------------------- SET, GETSET, PARM

std::string SessionLogic::settingValue(const std::string& name) const {
  if (name == "MESSAGE_LENGTH" || name == "ML") return std::to_string(messageLength_);
  if (name == "BUSY_TIMEOUT") return std::to_string(busyTimeoutMs_);
  if (name == "VERSION") return kServerVersion;
  if (name == "USER") return user_;
  if (name == "CLIENTID") return dottedAddress(clientAddress_);
  if (name == "SERVERINFO") return serverInformation(clientAddress_, messageLength_);
  if (name == "TRANSACTION") return inTransaction_ ? "ABERTA" : "FECHADA";
  if (name == "UPDATES") return std::to_string(updateCount_);
  return {};
}

SessionLogic::Outcome SessionLogic::getset(std::string_view text) {
  std::string name = upper(trim(text));
  if (name.empty()) {
    std::string all;
    for (const char* each : {"MESSAGE_LENGTH", "BUSY_TIMEOUT", "VERSION", "USER", "CLIENTID",
                             "TRANSACTION", "UPDATES"}) {
      if (!all.empty()) all += ';';
      all += std::string(each) + "=" + settingValue(each);
    }
    return reply(0, all);
  }
  std::string value = settingValue(name);
  if (value.empty() && name != "USER") return refuse(Status::UnknownSetting, name);
  return reply(0, value);
}

SessionLogic::Outcome SessionLogic::set(std::string_view text) {
  text = trim(text);
  std::size_t split = text.find_first_of("= ");
  std::string name = upper(trim(text.substr(0, split)));
  std::string_view valueText = split == std::string_view::npos ? std::string_view{} : text.substr(split + 1);
  valueText = trim(valueText);
  if (!valueText.empty() && valueText.front() == '=') valueText = trim(valueText.substr(1));
  long long value = 0;
  if (name == "MESSAGE_LENGTH" || name == "ML") {
    if (!readNumber(valueText, value) || value < kMinMessageLength || value > kMaxMessageLength) {
      return refuse(Status::BadSettingValue, "MESSAGE_LENGTH DE " + std::to_string(kMinMessageLength) +
                                                 " A " + std::to_string(kMaxMessageLength));
    }
    // The reply still travels within the old size; the client resizes on ",ML=".
    Outcome outcome = reply(0, std::string(kKeyMessageLength) + std::to_string(value));
    messageLength_ = static_cast<int>(value);
    replyLimit_ = static_cast<std::size_t>(value) - 1;
    return outcome;
  }
  if (name == "BUSY_TIMEOUT") {
    if (!readNumber(valueText, value) || value > 600000) {
      return refuse(Status::BadSettingValue, "BUSY_TIMEOUT DE 0 A 600000");
    }
    busyTimeoutMs_ = static_cast<int>(value);
    return reply(0, "BUSY_TIMEOUT=" + std::to_string(value));
  }
  return refuse(Status::UnknownSetting, name);
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

}  // namespace lumbra::server
