// Server status codes: the four-digit numbers of refused replies and their texts.
#pragma once

#include <string>
#include <string_view>

namespace lumbra::server {

// Never renumbered: hosts test these values (the client returns them negated).
enum class Status : int {
  Ok = 0,
  BadMessage = 100,           // message not understood at this point of the session
  BadCredentialBlock = 101,   // login message malformed
  LoginRefused = 102,         // unknown identification or wrong password
  BadNewPassword = 103,       // second credential cannot become a password
  NotLoggedIn = 104,          // command before a successful login
  AlreadyLoggedIn = 105,      // second login on one session
  DatabaseUnavailable = 106,  // the session's database connection could not be opened
  DatabaseUnreachable = 107,  // login refused: the database of the users cannot be reached
  MessageTooLong = 110,       // message longer than the server accepts
  UnknownCommand = 120,       // command word the server does not know
  MultipleStatements = 121,   // SELECT text with a second statement behind it
  BadBinaryInsert = 122,      // binary insert without a usable length clause or value
  TextAfterCommit = 123,      // COMMIT or ROLLBACK followed by more than blanks and one ';'
  NoOpenQuery = 140,          // CONT without a result set to continue
  BadContinuation = 141,      // CONT number malformed
  RowTooLong = 150,           // a row does not fit a block, or the row length 99999
  TooManyRows = 151,          // more rows than the eight-digit count can carry
  UnknownSetting = 160,       // SET or GETSET of a setting the server does not know
  BadSettingValue = 161,      // SET value out of range
  BadParameter = 170,         // PARM text malformed
  DatabaseBusy = 2005,        // another session holds the write lock (SQLite BUSY)
  SqlBase = 2000,             // 2000 + SQLite primary result code
};

// The fixed text of a status; SQL errors carry the database's own text instead.
std::string_view statusText(Status status);

// 2000 + the primary SQLite result code (for example 2001 for SQLITE_ERROR,
// 2019 for SQLITE_CONSTRAINT).
int sqlStatus(int sqliteCode);

// A text fit for a reply: bytes outside printable ASCII become blanks (the
// client copies texts as NUL-terminated strings), letters are upper-cased when
// asked (status texts), and the end-of-block marker is broken up as "LBX-EOB"
// so that it can only ever close a reply.
std::string hostText(std::string_view text, bool upperCase = true);

}  // namespace lumbra::server
