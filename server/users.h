// Users of the server: identifications with salted PBKDF2-HMAC-SHA256 password hashes in a file of their own.
//
// Passwords travel upper-cased, as EBCDIC code page 037 of the characters blank
// to 'Z' (ASCII 0x20..0x5A), at most 24 characters (the first credential of the
// login); every other character arrives as a blank. So a password is stored in
// that form: lower-case letters are upper-cased, and blanks and characters the
// client cannot carry are refused.
//
// The users live in their own SQLite file beside the database (userStorePath),
// which sessions never open, so no session SQL can read or change them, and
// the connections of the store run no triggers, views or foreign-key actions.
// Users of an older database, kept in its table lumbra_server_users, move to
// that file on the first start (every user kept) and the table is dropped.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/database.h"

namespace lumbra::server {

inline constexpr int kDefaultIterations = 10000;

// An identification as users and the login carry it: 1..11 characters of
// letters, digits and _ - . $ # (trailing blanks of the login field removed).
bool validIdentification(std::string_view id, std::string* why = nullptr);

// The password as the client would send it: trailing blanks dropped, letters
// upper-cased; nothing when it is empty, longer than 24 characters, or holds a
// blank or a character outside '!'..'Z' after upper-casing (those could not be
// told apart once the client has sent them). The one rule of `user add`,
// `user passwd` and a login's new password.
std::optional<std::string> normalizePassword(std::string_view password, std::string* why = nullptr);

// "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>" of a normalized password.
std::string hashPassword(std::string_view password, int iterations);
bool verifyPassword(std::string_view password, std::string_view stored);

// The file of users that belongs to the database at `databasePath`: the same
// path with ".users" added (":memory:" stays in memory).
std::string userStorePath(const std::string& databasePath);

class UserStore {
 public:
  // Opens the users of the database at `databasePath` (creating their file,
  // mode 0600, and moving the users of an older database into it); nullptr
  // with `error` on failure. `migrated`, when given, receives how many users moved.
  static std::unique_ptr<UserStore> open(const std::string& databasePath, std::string& error,
                                         int* migrated = nullptr);

  enum class Result { Ok, NotFound, Exists, Failed };

  Result add(std::string_view id, std::string_view password, int iterations);
  Result setPassword(std::string_view id, std::string_view password, int iterations);
  Result remove(std::string_view id);
  // The stored hash of `id`, or nothing.
  std::optional<std::string> storedHash(std::string_view id);
  // Whether `password` is the password of `id`. An unknown `id` costs the same
  // PBKDF2 work as a known one (a hash of the store's highest iteration count).
  bool check(std::string_view id, std::string_view password);
  // Every identification, sorted.
  std::vector<std::string> list();
  std::string lastError() const;

 private:
  UserStore(std::unique_ptr<Database> reader, std::unique_ptr<Database> writer)
      : reader_(std::move(reader)), writer_(std::move(writer)) {}
  Result write(const char* sql, std::string_view id, const std::string& hash);
  void refreshDecoy();

  // Reads and writes go through connections of their own: a change that waits
  // for the file's write lock never holds back the logins of others.
  std::mutex readMutex_;
  std::unique_ptr<Database> reader_;
  mutable std::mutex writeMutex_;
  std::unique_ptr<Database> writer_;
  std::string error_;
  std::mutex decoyMutex_;
  std::string decoy_;  // the hash checked for unknown identifications
};

}  // namespace lumbra::server
