// The table of explanations, one a status, and the filling of its placeholders.
#include "tools/lumbra/explanations.h"

#include <cstring>

#include "client/lumbra32.h"

namespace lumbra::shell {

const std::vector<Explanation>& explanationTable() {
  static const std::vector<Explanation> table = {
      // The client library's own statuses.
      {LB_SEND_FAILED, "the command could not be sent: the connection broke ({reason})"},
      {LB_RECEIVE_FAILED, "no reply came: the server closed the connection or stopped ({reason})"},
      {LB_NO_CONNECTIVITY, "the system gave no socket ({reason}): too many open files, or no network"},
      {LB_BAD_SERVER_ADDRESS,
       "the server address must be a numeric IPv4 address such as 127.0.0.1, with :PORT if not 3001; "
       "a host name is not looked up"},
      {LB_TOO_MANY_CONNECTIONS, "this program holds 500 sessions already, the most the client keeps: close one first"},
      {LB_COMMAND_TOO_LONG,
       "the command is longer than the session's message length allows: shorten it, or raise the length "
       "with SET MESSAGE_LENGTH=n"},
      {LB_CONNECT_FAILED, "no connection to {address} ({reason}): is lumbra-server running and listening there?"},
      {LB_SERVER_INACTIVE,
       "what answers at {address} is not a lumbra server, or it closed the connection at once: check the "
       "address and port"},
      {LB_UPDATES_WITHOUT_COMMIT, "updates were left without COMMIT: COMMIT keeps them, ROLLBACK drops them"},
      {LB_NO_ROWS, "the result has no rows left to read: run the SELECT again"},
      {LB_INVALID_RECORD, "the client could not read a row: run the SELECT again"},
      {LB_INVALID_COMMAND,
       "the client takes only the words SELECT, INSERT, UPDATE, DELETE, COMMIT, ROLLBACK, EXEC, SET, "
       "GETSET and PARM first; other SQL goes through EXEC (EXEC CREATE TABLE ...)"},
      {LB_NOT_CONNECTED, "this session is not open: \\connect opens one"},
      {LB_INVALID_PARAMETERS,
       "the client refused its arguments: an identification of 1 to 11 characters, a password of at most "
       "24 (a new one 25), an address under 100 characters"},
      {LB_OUT_OF_MEMORY,
       "the client could not get memory for the session's buffer, or not the message length the server "
       "announced: a lower SET MESSAGE_LENGTH may do"},
      // The reference server's statuses, negated as the client returns them.
      {-100, "the server could not read the message (a broken compact form, or a zero byte in the text)"},
      {-101, "the server could not read the login message: the client and the server do not match"},
      {-102,
       "the server refused the identification or the password: check ID@ in the target (or LUMBRA_USER) "
       "and the password (LUMBRA_PASSWORD, --password-file)"},
      {-103, "the server did not take the new password: it must be 1 to 25 printable characters"},
      {-104, "the session is not logged in: \\connect opens a new one"},
      {-105, "the session is logged in already"},
      {-106, "the server could not open its database: its log tells why"},
      {-107, "the server cannot reach its database (PostgreSQL down?): try again in a moment; the server's log tells why"},
      {-110, "the message is longer than the server takes: send fewer updates at once, or a shorter command"},
      {-120, "the server does not know this command word"},
      {-121, "a SELECT takes one statement: send the second one on its own"},
      {-122,
       "a binary insert needs a place for the bytes: a '?' in its text, or a text that ends with "
       "\"VALUES (...,=\""},
      {-123,
       "COMMIT and ROLLBACK take nothing after them: end them with ';' and send what followed on its own; "
       "nothing was committed or rolled back"},
      {-140,
       "the result is no longer open (read to its end, closed by another command, or released after the "
       "server's hold time): run the SELECT again"},
      {-141, "the continuation number was malformed"},
      {-150,
       "a row does not fit the message length: raise it with SET MESSAGE_LENGTH=n (up to 16777216), or "
       "select fewer columns"},
      {-151, "the result has more than 99,999,999 rows: narrow it with WHERE or LIMIT"},
      {-160, "the server has no such setting: GETSET alone lists them"},
      {-161, "the value is out of range: MESSAGE_LENGTH 256 to 16777216, BUSY_TIMEOUT 0 to 600000 (ms)"},
      {-170, "PARM takes NAME=value; a name is letters, digits and _, not beginning with a digit"},
      {-2001,
       "the database refused the statement (its own message follows ERRO SQL): check the SQL and the "
       "names (\\dt lists the tables, \\d TABLE the columns)"},
      {-2005,
       "another session holds the write lock: try again, or wait longer with SET BUSY_TIMEOUT=ms; nothing "
       "was changed"},
      {-2007, "the server ran out of memory for the statement: narrow it"},
      {-2009,
       "the statement ran past the server's statement time-out and was stopped: narrow it, or ask for a "
       "longer --statement-timeout"},
      {-2018, "a value or a row is over 99999 bytes"},
      {-2019,
       "a constraint refused the change (a duplicate key, a NULL where none may be, a foreign key); "
       "nothing of it was applied"},
      {-2023,
       "the server does not run this through EXEC: BEGIN, COMMIT, ROLLBACK and SAVEPOINT are commands of "
       "their own; ATTACH, DETACH and most pragmas are not allowed"},
  };
  return table;
}

namespace {

// The number in the last parentheses of a library text ("... (111)"); -1 when none.
int numberInParentheses(std::string_view text) {
  const auto close = text.rfind(')');
  const auto open = text.rfind('(', close);
  if (close == std::string_view::npos || open == std::string_view::npos || close <= open + 1) return -1;
  int value = 0;
  for (std::size_t i = open + 1; i < close; ++i) {
    if (text[i] < '0' || text[i] > '9' || value > 100000) return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

void replaceAll(std::string& text, std::string_view name, const std::string& value) {
  for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size())) {
    text.replace(at, name.size(), value);
  }
}

}  // namespace

std::string explainStatus(std::int32_t status, std::string_view libraryText, const ExplainContext& context) {
  std::string text;
  for (const auto& entry : explanationTable()) {
    if (entry.status == status) text = std::string(entry.text);
  }
  if (text.empty()) {
    if (status <= -2000 && status > -2100) {
      text = "the database refused the statement (code " + std::to_string(-status - 2000) +
             "; its own message follows ERRO SQL)";
    } else {
      text = "the server refused the command with status " + std::to_string(-status) +
             " (server/README.md lists them)";
    }
  }
  std::string address = context.address.empty() ? "the server" : context.address;
  if (!context.address.empty() && context.address.find(':') == std::string::npos) address += ":3001";
  replaceAll(text, "{address}", address);
  const int number = numberInParentheses(libraryText);
  std::string reason = number > 0 ? std::strerror(number) : std::string("no reason given");
  if (number == 0) reason = "the peer closed the connection";
  replaceAll(text, "{reason}", reason);
  return text;
}

}  // namespace lumbra::shell
