// The shell's session logic: connect, commands, rows, backslash commands.
#include "tools/lumbra/shell.h"

#include "client/lumbra32.h"
#include "protocol/commands.h"
#include "protocol/wire.h"
#include "tools/common/file_reason.h"
#include "tools/lumbra/explanations.h"
#include "tools/lumbra/statements.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace lumbra_shell {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// A message not sent whole, or a reply not received: the connection may be gone.
bool connectionBroke(std::int32_t status) { return status == LB_SEND_FAILED || status == LB_RECEIVE_FAILED; }

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The words of a text, upper-cased.
std::vector<std::string> upperWords(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '(') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
      if (c == '(') break;
    } else {
      word += upper(c);
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// The SQL of an EXEC that only reads.
bool execReads(std::string_view sql) {
  const auto words = upperWords(sql);
  return !words.empty() && (words[0] == "SELECT" || words[0] == "VALUES" || words[0] == "EXPLAIN");
}

// What an EXEC of a data definition or change says in a table, in place of
// the bare count the server answers: "CREATE TABLE", "3 rows changed".
std::optional<std::string> execSummary(std::string_view sql, std::string_view answer) {
  if (answer.empty() || answer.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  const auto words = upperWords(sql);
  if (words.empty()) return std::nullopt;
  const std::string& verb = words[0];
  if (verb == "CREATE" || verb == "DROP" || verb == "ALTER") {
    std::string tag = verb;
    for (std::size_t i = 1; i < words.size() && i < 4; ++i) {
      const std::string& w = words[i];
      if (w != "UNIQUE" && w != "TEMP" && w != "TEMPORARY" && w != "VIRTUAL" && w != "TABLE" &&
          w != "INDEX" && w != "VIEW" && w != "TRIGGER") {
        break;
      }
      tag += ' ' + w;
      if (w == "TABLE" || w == "INDEX" || w == "VIEW" || w == "TRIGGER") break;
    }
    return tag;
  }
  if (verb == "INSERT" || verb == "UPDATE" || verb == "DELETE" || verb == "REPLACE") {
    return std::string(answer) + (answer == "1" ? " row changed" : " rows changed");
  }
  return std::nullopt;
}

std::string plural(std::int64_t count, std::string_view one) {
  return std::to_string(count) + " " + std::string(one) + (count == 1 ? "" : "s");
}

// Status codes of LBInsertBin, which writes no message text.
std::string_view insertBinReason(std::int32_t status) {
  switch (status) {
    case LB_SEND_FAILED:
      return "fewer than seven characters before the last '='";
    case LB_COMMAND_TOO_LONG:
      return "command and data do not fit the session's message length";
    case LB_NOT_CONNECTED:
      return "no session on this handle";
    case LB_INVALID_PARAMETERS:
      return "invalid session";
    default:
      return "refused";
  }
}

// Words that begin SQL the server runs through EXEC.
bool isExecWord(std::string_view word) {
  static constexpr std::string_view kWords[] = {"CREATE", "DROP",   "ALTER",   "REPLACE", "WITH",
                                                "VALUES", "PRAGMA", "EXPLAIN", "ANALYZE", "VACUUM",
                                                "REINDEX", "TRUNCATE", "GRANT", "REVOKE", "COMMENT"};
  std::string upperWord(word);
  for (char& c : upperWord) c = upper(c);
  for (const auto known : kWords) {
    if (upperWord == known) return true;
  }
  return false;
}

// The refusal of a command whose first word the client does not take.
std::string notACommandWord(std::string_view word) {
  const std::string shown = toDisplay(word);
  if (isExecWord(word)) {
    return "\"" + shown + "\" is not a command word: SQL other than SELECT, INSERT, UPDATE and DELETE goes " +
           "through EXEC (EXEC " + shown + " ...); not sent";
  }
  return "\"" + shown + "\" is not a command word (SELECT, INSERT, UPDATE, DELETE, COMMIT, ROLLBACK, EXEC, " +
         "SET, GETSET, PARM; \\? lists the shell's own); not sent";
}

constexpr std::string_view kHelp =
    "Commands go to the server: SELECT, INSERT, UPDATE, DELETE, COMMIT, ROLLBACK,\n"
    "EXEC, SET, GETSET, PARM, in any case. At the prompt a command ends with ';' and\n"
    "may run over several lines; in a file a line that begins with a command word\n"
    "begins a new command (so one command a line needs no ';'), and COMMIT or\n"
    "ROLLBACK, which take nothing after them, ends with its line. Other SQL goes\n"
    "through EXEC (EXEC CREATE TABLE ...). \"--\" begins a comment. INSERT, UPDATE\n"
    "and DELETE are batched by the client and reach the server with the next\n"
    "other command; nothing is kept until COMMIT (the prompt\n"
    "shows lumbra*> while updates wait for one, lumbra!> without a session).\n"
    "  \\insertbin \"TEXT=\" FILE  binary insert: TEXT up to its last '=', then the\n"
    "                           bytes of FILE as the last value (at most 32767)\n"
    "  \\crc FILE                CRC-16 of the bytes of FILE (at most 32767)\n"
    "  \\ebcdic TEXT             TEXT converted to EBCDIC, in hexadecimal\n"
    "  \\format table|csv|raw|json|ndjson  output format of SELECT results\n"
    "  \\dt                     the tables and views\n"
    "  \\d TABLE                the columns of TABLE\n"
    "  \\x [on|off]             expanded display: a row as \"column | value\" lines\n"
    "  \\o [FILE]                results to FILE; without FILE, back to the screen\n"
    "  \\info                    server information and client address\n"
    "  \\null [TEXT]             TEXT for cells of blanks only (NULL, or an empty text)\n"
    "  \\timing [on|off]         time of each command\n"
    "  \\connect [ID@]ADDRESS[:PORT]  a new session (without one: the last target)\n"
    "  \\q, quit, exit           quit (again to leave updates not committed)\n"
    "Ctrl-C stops the rows being shown or clears the line; while the server works\n"
    "it says so, and a second Ctrl-C drops the connection (the server rolls back\n"
    "what was not committed) and opens a new session. Ctrl-D leaves.\n";

}  // namespace

bool readFile(const std::string& path, std::string& contents, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (const std::string reason = tools::readErrorText(path); !reason.empty() || !in) {
    error = "cannot open " + path + ": " + (reason.empty() ? "cannot be read" : reason);
    return false;
  }
  contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

Shell::Shell(ClientApi& api, std::ostream& out, std::ostream& err) : api_(api), out_(out), err_(err) {}

Shell::~Shell() {
  if (connected()) disconnect();
}

char* Shell::messageBuffer(std::size_t rowLength) {
  const auto wanted = static_cast<std::size_t>(
      std::max<long long>({messageLength_, kInitialMessageLength, static_cast<long long>(rowLength)}) + 64);
  if (message_.size() < wanted) {
    try {
      message_.assign(wanted, '\0');
    } catch (const std::bad_alloc&) {
      message_.clear();
      return nullptr;
    }
  }
  return message_.data();
}

std::string Shell::messageText() const {
  return std::string(message_.data(), strnlen(message_.data(), message_.size()));
}

bool Shell::fail(std::int32_t status, std::string_view text, bool explain) {
  std::string line = "error " + std::to_string(status);
  if (!text.empty()) line += ": " + toDisplay(text);
  if (explain) line += "\n  " + explainStatus(status, text, ExplainContext{address_});
  report(line);
  return false;
}

void Shell::report(std::string_view text) {
  while (!text.empty()) {
    const auto end = text.find('\n');
    if (!location_.empty()) err_ << location_ << ": ";
    err_ << text.substr(0, end) << '\n';
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  }
}

bool Shell::usage(std::string_view text) {
  report(text);
  return false;
}

bool Shell::connect(const ConnectTarget& target, const std::string& firstCredential,
                    const std::string& secondCredential) {
  char* message = messageBuffer();
  if (message == nullptr) return usage("out of memory");
  address_ = target.serverAddress;
  const std::int32_t result = api_.connect(target.identification.c_str(), firstCredential.c_str(),
                                           secondCredential.c_str(), target.serverAddress.c_str(), message);
  // LBConnect gives its handle or status in the low 16 bits.
  const auto status = static_cast<std::int16_t>(result & 0xFFFF);
  loginReply_ = messageText();
  if (status < 0) return fail(status, loginReply_);
  handle_ = status;
  dialect_ = Dialect::unknown;
  lost_ = false;
  target_ = target;
  password_ = secondCredential.empty() ? firstCredential : secondCredential;
  batch_.clear();
  sentUpdates_ = 0;
  execWrote_ = false;
  messageLength_ = kInitialMessageLength;
  if (const auto length = announcedMessageLength(loginReply_)) messageLength_ = *length;
  return true;
}

bool Shell::disconnect() {
  if (!connected()) return true;
  char* message = messageBuffer();
  if (message == nullptr) return usage("out of memory");
  const std::int32_t status = api_.disconnect(handle_, message);
  handle_ = -1;
  batch_.clear();
  sentUpdates_ = 0;
  execWrote_ = false;
  if (status < 0) return fail(status, messageText());
  return true;
}

bool Shell::connectionFailure(std::int32_t status, const std::string& text) {
  fail(status, text, false);
  // -1 and -2 also stand for a reply that did not decode: a round trip tells
  // whether the connection is still there.
  char* message = messageBuffer();
  if (message != nullptr) {
    const std::int32_t probe = api_.command(handle_, "GETSET VERSION", message);
    if (!connectionBroke(probe)) {
      report("  the reply could not be read; the session goes on");
      batchSent();
      return false;
    }
  }
  report("  " + explainStatus(status, text, ExplainContext{address_}));
  loseConnection();
  return false;
}

void Shell::loseConnection() {
  std::string line = "connection lost";
  if (uncommitted() > 0) line += ", and with it " + plural(uncommitted(), "update") + " not committed";
  report(line + " (\\connect opens a new session)");
  // The session is of no more use; free it without a word about the farewell.
  if (char* message = messageBuffer()) api_.disconnect(handle_, message);
  handle_ = -1;
  lost_ = true;
  batch_.clear();
  sentUpdates_ = 0;
  execWrote_ = false;
}

std::optional<std::string> Shell::askServer(const char* command) {
  char* message = messageBuffer();
  if (!connected() || message == nullptr) return std::nullopt;
  const std::int32_t result = api_.command(handle_, command, message);
  if (result < 0) {
    const std::string text = messageText();
    if (connectionBroke(result)) {
      loseConnection();
      return std::nullopt;
    }
    if (lumbra::readBatchUpdatePlace(text)) {
      serverFailure(result, "", text);
      return std::nullopt;
    }
    batchSent();
    return std::nullopt;
  }
  batchSent();
  return std::string(trim(messageText()));
}

std::optional<std::string> Shell::uncommittedWarning() {
  if (!connected() || !transactionOpen()) return std::nullopt;
  // The server knows best (a batch that was refused, an EXEC that wrote nothing).
  const auto updates = askServer("GETSET UPDATES");
  if (!connected()) return std::nullopt;
  std::int64_t count = uncommitted();
  bool open = execWrote_;
  if (updates && !updates->empty() && updates->size() <= 18 &&
      updates->find_first_not_of("0123456789") == std::string::npos) {
    count = std::stoll(*updates);
    open = false;
    if (const auto state = askServer("GETSET TRANSACTION")) open = *state == "ABERTA";
  }
  if (count > 0) return plural(count, "update") + " not committed";
  if (open) return std::string("a transaction with changes not committed");
  sentUpdates_ = 0;
  execWrote_ = false;
  return std::nullopt;
}

std::string Shell::serverInfo() {
  char* message = messageBuffer();
  if (!connected() || message == nullptr) return {};
  if (api_.command(handle_, "GETSET SERVERINFO", message) < 0) return {};
  return toDisplay(messageText());
}

std::string Shell::clientId() {
  char* message = messageBuffer();
  if (!connected() || message == nullptr) return {};
  if (api_.command(handle_, "GETSET CLIENTID", message) < 0) return {};
  return toDisplay(messageText());
}

bool Shell::execute(std::string_view line) {
  const auto text = trim(line);
  if (startsWith(text, "\\")) return runBackslash(text);
  char quote = 0;
  const std::string command = commandForServer(withoutComment(text, quote));
  if (command.empty()) return true;
  switch (shellWord(command)) {
    case ShellWord::help:
      help();
      return true;
    case ShellWord::quit:
      quit_ = true;
      return true;
    case ShellWord::none:
      break;
  }
  if (!connected()) {
    return usage(lost_ ? "not connected: the connection was lost (\\connect opens a new session)"
                       : "not connected (\\connect opens a session)");
  }
  const auto word = leadingWord(command);
  if (!isCommandWord(word)) {
    // Refused here, before the client sees it: the client would refuse it too,
    // and drop the batch that waits with it.
    std::string text = notACommandWord(word);
    if (!batch_.empty()) {
      text += ", and the " + plural(static_cast<std::int64_t>(batch_.size()), "batched update") + " kept";
    }
    return usage(text);
  }
  if (startsWith(command, "EXEC")) {
    const auto sqlWords = upperWords(std::string_view(command).substr(4));
    if (!sqlWords.empty() && sqlWords[0] == "SELECT") {
      return usage("EXEC SELECT answers with the first row alone; the SELECT itself gives every row (" +
                   toDisplay(trim(std::string_view(command).substr(4))) + "); not sent");
    }
  }
  std::string error;
  const auto encoded = toWindows1252(command, error);
  if (!encoded) return usage(error + "; the command was not sent");
  const auto started = std::chrono::steady_clock::now();
  const bool ok = runServerCommand(*encoded);
  if (timing_) {
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - started;
    char shown[64];
    std::snprintf(shown, sizeof shown, "Time: %.3f ms", took.count());
    out_ << shown << '\n';
  }
  return ok;
}

void Shell::batchSent() {
  sentUpdates_ += static_cast<std::int64_t>(batch_.size());
  batch_.clear();
}

bool Shell::serverFailure(std::int32_t status, const std::string& command, const std::string& text) {
  if (connectionBroke(status)) return connectionFailure(status, text);
  const auto failed = lumbra::readBatchUpdatePlace(text);
  if (!failed || batch_.empty()) {
    // The batch went ahead of the command and was taken.
    if (!lumbra::isBatchedCommand(command)) batchSent();
    return fail(status, text);
  }
  fail(status, text);
  // The whole batch the update went in was refused. The client sends it in one
  // message unless it outgrew the message length, so the update can be named
  // when the batch certainly fitted.
  std::size_t room = 0;
  for (const auto& entry : batch_)
    room += entry.size() + 1 + static_cast<std::size_t>(std::count(entry.begin(), entry.end(), '@'));
  const bool oneMessage = static_cast<long long>(room) <= messageLength_ - 20;
  if (oneMessage && *failed >= 1 && *failed <= batch_.size()) {
    report("the batch of " + plural(static_cast<std::int64_t>(batch_.size()), "update") +
           " was refused, none of them applied; update " + std::to_string(*failed) +
           " failed: " + toDisplay(batch_[*failed - 1]));
  } else {
    report("the batch was refused (update " + std::to_string(*failed) +
           " of the message sent last); none of its updates applied");
  }
  batch_.clear();
  if (command.empty()) return false;  // a question of the shell's own
  if (lumbra::isBatchedCommand(command)) {
    report("not batched either: " + toDisplay(command));
  } else {
    report("not run: " + toDisplay(command));
  }
  return false;
}

void Shell::execDone(const std::string& command, const std::string& answer) {
  const std::string_view sql = trim(std::string_view(command).substr(4));
  if (!execReads(sql)) execWrote_ = true;
  if (format_ == OutputFormat::table) {
    if (const auto summary = execSummary(sql, answer)) {
      out() << *summary << '\n';
      return;
    }
  }
  if (!answer.empty()) out() << toDisplay(answer) << '\n';
}

bool Shell::runServerCommand(const std::string& command) {
  char* message = messageBuffer();
  if (message == nullptr) return usage("out of memory");
  const std::int32_t result = api_.command(handle_, command.c_str(), message);
  const std::string answer = messageText();
  if (result < 0) return serverFailure(result, command, answer);

  if (lumbra::isBatchedCommand(command)) {
    batch_.push_back(command);
    if (answer.empty()) {
      if (interactive_) out() << "(batched)\n";
      return true;
    }
    out() << toDisplay(answer) << '\n';
    return true;
  }
  if (lumbra::localAnswerOf(command) == lumbra::LocalAnswer::None) batchSent();
  if (startsWith(command, "SELECT")) return printRows(result);
  if (startsWith(command, "SET")) {
    if (const auto length = announcedMessageLength(answer)) messageLength_ = *length;
  }
  const bool table = format_ == OutputFormat::table;
  if (startsWith(command, "COMMIT")) {
    sentUpdates_ = 0;
    execWrote_ = false;
    const std::int64_t total = lumbra::commitTotal(answer).value_or(result);
    if (table) out() << "COMMIT " << total << (total == 1 ? " update" : " updates") << '\n';
    return true;
  }
  if (startsWith(command, "ROLLBACK")) {
    sentUpdates_ = 0;
    execWrote_ = false;
  }
  if (startsWith(command, "EXEC")) {
    execDone(command, answer);
    return true;
  }
  if (!answer.empty()) out() << toDisplay(answer) << '\n';
  return true;
}

bool Shell::printRows(std::int32_t count) {
  const auto answer = parseSelectAnswer(messageText());
  // Without a readable answer the row length is unknown: room for the largest.
  const std::size_t rowLength = answer ? answer->rowLength : lumbra::kMaxRowLength;
  std::vector<Column> columns =
      answer ? columnsToShow(answer->description, rowLength) : std::vector<Column>{Column{"ROW", 0}};
  const auto writer = makeRowWriter(format_, out(), CellStyle{nullText_, expanded_});
  char* message = messageBuffer(rowLength);
  if (message == nullptr) return usage("out of memory");
  const std::size_t capacity = message_.size();
  // The header waits for the first row: a result that fails at once shows
  // nothing but its failure.
  bool begun = false;
  auto begin = [&] {
    if (!begun) writer->begin(columns);
    begun = true;
  };
  auto finish = [&](std::int64_t delivered) {
    if (progress_) progress_->finish();
    begin();
    writer->end(delivered);
    if (format_ == OutputFormat::raw && interactive_ && !redirect_.is_open() && delivered > 0) out() << '\n';
    out().flush();
  };

  std::int64_t delivered = 0;
  while (delivered < count) {
    if (interrupted_ && interrupted_()) {
      finish(delivered);
      report("interrupted: " + std::to_string(delivered) + " of " + plural(count, "row") +
             " shown; the next command drops the rest");
      return false;
    }
    const std::int32_t length = api_.getNext(handle_, message);
    if (length < 0) {
      const std::string text = messageText();
      if (delivered > 0) finish(delivered);
      if (progress_) progress_->finish();
      if (connectionBroke(length)) return connectionFailure(length, text);
      return fail(length, text);
    }
    begin();
    const auto size = std::min<std::size_t>(static_cast<std::size_t>(length), capacity - 1);
    writer->row(std::string_view(message, size));
    ++delivered;
    if (progress_) progress_->rows(delivered, count);
  }
  finish(delivered);
  return true;
}

bool Shell::reconnect(const std::vector<std::string>& words) {
  if (words.size() > 2) return usage("usage: \\connect [[ID@]ADDRESS[:PORT]]");
  if (connected() && uncommitted() > 0) {
    return usage(plural(uncommitted(), "update") + " not committed: COMMIT or ROLLBACK before \\connect");
  }
  ConnectTarget target = target_;
  std::string password = password_;
  if (words.size() == 2) {
    std::string error;
    auto named = parseTarget(words[1], error);
    if (!named) return usage(words[1] + ": " + error);
    if (!named->hasIdentification) named->identification = target_.identification;
    if (named->identification != target_.identification) {
      const auto typed = passwordSource_ ? passwordSource_(named->identification) : std::nullopt;
      if (!typed) return usage("no password for " + named->identification);
      password = *typed;
    }
    target = *named;
  }
  if (target.serverAddress.empty()) return usage("usage: \\connect [ID@]ADDRESS[:PORT]");
  // The session there is is kept until the new one is open.
  const std::int32_t previous = handle_;
  if (!connect(target, password, "")) return false;
  if (previous >= 0) {
    if (char* message = messageBuffer()) api_.disconnect(previous, message);
  }
  if (interactive_)
    out() << "connected to " << target.serverAddress << " as " << target.identification << '\n';
  return true;
}

bool Shell::runBackslash(std::string_view line) {
  std::string error;
  const auto parsed = splitWords(line, error);
  if (!parsed) return usage(error);
  const auto& words = *parsed;
  const std::string& name = words.front();
  const bool needsSession = name == "\\insertbin" || name == "\\info";
  if (needsSession && !connected()) return usage("not connected (\\connect opens a session)");

  if (name == "\\q" || name == "\\quit") {
    quit_ = true;
    return true;
  }
  if (name == "\\?" || name == "\\help") {
    help();
    return true;
  }
  if (name == "\\dt" || name == "\\d") {
    if (!connected()) return usage("not connected (\\connect opens a session)");
    if (name == "\\d" && words.size() != 2) return usage("usage: \\d TABLE (\\dt lists the tables)");
    if (name == "\\dt" && words.size() != 1) return usage("usage: \\dt");
    if (dialect_ == Dialect::unknown) {
      // Asked once a session, while no batch waits (a query would send it).
      if (!batch_.empty()) {
        return usage(plural(static_cast<std::int64_t>(batch_.size()), "batched update") +
                     " wait: COMMIT or ROLLBACK before the first " + name);
      }
      char* message = messageBuffer();
      if (message == nullptr) return usage("out of memory");
      const std::int32_t probe = api_.command(handle_, "SELECT sqlite_version()", message);
      if (connectionBroke(probe)) return connectionFailure(probe, messageText());
      dialect_ = probe >= 0 ? Dialect::sqlite : Dialect::postgres;
    }
    std::string query;
    if (name == "\\dt") {
      query = dialect_ == Dialect::sqlite
                  ? "SELECT name AS \"Name\", type AS \"Type\" FROM sqlite_master WHERE type IN ('table', 'view') "
                    "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name"
                  : "SELECT table_name AS \"Name\", CASE table_type WHEN 'BASE TABLE' THEN 'table' ELSE 'view' END "
                    "AS \"Type\" FROM information_schema.tables WHERE table_schema = current_schema() ORDER BY "
                    "table_name";
    } else {
      const auto encoded = toWindows1252(words[1], error);
      if (!encoded) return usage(error);
      std::string table;
      for (const char c : *encoded) {
        // PostgreSQL keeps names typed without quotes in lower case.
        const char folded = dialect_ == Dialect::postgres && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        table += folded == '\'' ? std::string("''") : std::string(1, folded);
      }
      query = dialect_ == Dialect::sqlite
                  ? "SELECT name AS \"Column\", type AS \"Type\", CASE WHEN \"notnull\" THEN 'not null' ELSE '' END "
                    "AS \"Nullable\", COALESCE(dflt_value, '') AS \"Default\", CASE WHEN pk > 0 THEN 'primary key' "
                    "ELSE '' END AS \"Key\" FROM pragma_table_info('" +
                        table + "') ORDER BY cid"
                  : "SELECT column_name AS \"Column\", data_type AS \"Type\", CASE is_nullable WHEN 'NO' THEN 'not "
                    "null' ELSE '' END AS \"Nullable\", COALESCE(column_default, '') AS \"Default\" FROM "
                    "information_schema.columns WHERE table_schema = current_schema() AND table_name = '" +
                        table + "' ORDER BY ordinal_position";
    }
    const bool ok = runServerCommand(query);
    return ok;
  }
  if (name == "\\x") {
    if (words.size() == 1) {
      expanded_ = !expanded_;
    } else if (words.size() == 2 && (words[1] == "on" || words[1] == "off")) {
      expanded_ = words[1] == "on";
    } else {
      return usage("usage: \\x [on|off]");
    }
    out_ << "expanded display " << (expanded_ ? "on" : "off") << '\n';
    return true;
  }
  if (name == "\\format") {
    const auto format = words.size() == 2 ? parseFormat(words[1]) : std::nullopt;
    if (!format) return usage("usage: \\format table|csv|raw|json|ndjson");
    format_ = *format;
    return true;
  }
  if (name == "\\o") return redirect(words);
  if (name == "\\insertbin") {
    if (words.size() != 3) return usage("usage: \\insertbin \"TEXT=\" FILE");
    return insertBinary(words[1], words[2]);
  }
  if (name == "\\crc") {
    if (words.size() != 2) return usage("usage: \\crc FILE");
    return crcOfFile(words[1]);
  }
  if (name == "\\ebcdic") {
    if (words.size() != 2) return usage("usage: \\ebcdic TEXT");
    return ebcdic(words[1]);
  }
  if (name == "\\info") {
    out() << "server: " << serverInfo() << '\n' << "client: " << clientId() << '\n';
    return true;
  }
  if (name == "\\null") {
    if (words.size() > 2) return usage("usage: \\null [TEXT]");
    std::string encoded;
    if (words.size() == 2) {
      const auto text = toWindows1252(words[1], error);
      if (!text) return usage(error);
      encoded = *text;
    }
    nullText_ = encoded;
    return true;
  }
  if (name == "\\timing") {
    if (words.size() == 1) {
      timing_ = !timing_;
    } else if (words.size() == 2 && (words[1] == "on" || words[1] == "off")) {
      timing_ = words[1] == "on";
    } else {
      return usage("usage: \\timing [on|off]");
    }
    out_ << "timing " << (timing_ ? "on" : "off") << '\n';
    return true;
  }
  if (name == "\\connect" || name == "\\c") return reconnect(words);
  return usage("unknown command " + name + " (\\? lists them)");
}

void Shell::help() { out() << kHelp; }

bool Shell::redirect(const std::vector<std::string>& words) {
  if (redirect_.is_open()) redirect_.close();
  if (words.size() == 1) return true;
  if (words.size() != 2) return usage("usage: \\o [FILE]");
  redirect_.open(words[1], std::ios::binary | std::ios::trunc);
  if (!redirect_) return usage("cannot write " + words[1]);
  return true;
}

bool Shell::insertBinary(const std::string& text, const std::string& path) {
  std::string data;
  std::string error;
  if (!readFile(path, data, error)) return usage(error);
  if (data.size() > kMaxBinaryLength) {
    return usage(path + ": " + std::to_string(data.size()) + " bytes, at most 32767 go in one binary insert");
  }
  if (text.find('=') == std::string::npos) return usage("the text needs a '=' before the data");
  if (!startsWith(text, "INSERT ")) return usage("a binary insert text begins with \"INSERT \"");
  // The prepared command: the text, the length clause, the data, a quote, a NUL.
  std::vector<char> command(text.size() + 9 + data.size() + 2 + 16, '\0');
  std::memcpy(command.data(), text.data(), text.size());
  const std::int32_t prepared =
      api_.insertBin(handle_, command.data(), data.data(), static_cast<std::int32_t>(data.size()));
  if (prepared < 0) return fail(prepared, insertBinReason(prepared), false);

  char* message = messageBuffer();
  if (message == nullptr) return usage("out of memory");
  const std::int32_t result = api_.command(handle_, command.data(), message);
  if (result < 0) return serverFailure(result, "\\insertbin", messageText());
  batchSent();
  ++sentUpdates_;
  if (format_ == OutputFormat::table) out() << "INSERT " << data.size() << " bytes\n";
  return true;
}

bool Shell::crcOfFile(const std::string& path) {
  std::string data;
  std::string error;
  if (!readFile(path, data, error)) return usage(error);
  if (data.size() > kMaxBinaryLength) {
    return usage(path + ": " + std::to_string(data.size()) + " bytes, the CRC takes at most 32767");
  }
  const auto crc =
      static_cast<unsigned>(api_.crc(static_cast<std::int32_t>(data.size()), data.data()) & 0xFFFF);
  char line[64];
  std::snprintf(line, sizeof line, "CRC-16 0x%04X over %zu bytes", crc, data.size());
  out() << line << '\n';
  return true;
}

bool Shell::ebcdic(const std::string& text) {
  std::string converted = text;
  api_.asciiToEbcdic(converted.data());
  std::string hex;
  char pair[4];
  for (std::size_t i = 0; i < converted.size(); ++i) {
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned char>(converted[i]));
    if (i > 0) hex += ' ';
    hex += pair;
  }
  out() << hex << '\n';
  return true;
}

}  // namespace lumbra_shell
