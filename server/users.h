// Users of the server: identifications with salted PBKDF2-HMAC-SHA256 password hashes in a file of their own.
//
// Passwords travel upper-cased, as EBCDIC code page 037 of the characters blank
// to 'Z' (ASCII 0x20..0x5A), at most 24 characters (the first credential of the
// login); every other character arrives as a blank. So a password is stored in
// that form: lower-case letters are upper-cased, and blanks and characters the
// client cannot carry are refused.
//
// With SQLite the users live in their own file beside the database
// (userStorePath), which sessions never open, so no session SQL can read or
// change them, and the connections of the store run no triggers, views or
// foreign-key actions. Users of a database of an older layout, kept in its
// table lumbra_server_users, stay there until `lumbra-server upgrade` moves
// them (server/layout.h); nothing moves them on its own. With PostgreSQL they
// live in a schema the sessions' role has no access to (server/postgres/site.h).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The users of one server, in one of two stores chosen by the --database
// value: the SQLite file beside the database (userStorePath), or, for a
// PostgreSQL URI, the table lumbra_server.users of that database, reached as
// the URI's role and never as the sessions' role (server/postgres/site.h).
// Both behave alike: the same hashes and rules, the same results, the list
// sorted, and an unknown identification costs the same PBKDF2 work as a known
// one. Every member is safe to call from several threads at once.
class UserStore {
 public:
  // Opens the users of the database `database` (a path, or a PostgreSQL
  // URI). For a file: creates the users' file (mode 0600, marked) when it is
  // missing; the callers that must not create one check the files first
  // (checkDatabase, server/layout.h). `migrated`, when given, is set to 0:
  // nothing is moved here any more. For PostgreSQL: runs the set-up first
  // (pg::prepareSite, server/postgres/site.h). nullptr with `error` on failure.
  static std::unique_ptr<UserStore> open(const std::string& database, std::string& error,
                                         int* migrated = nullptr);

  enum class Result { Ok, NotFound, Exists, Failed };

  virtual ~UserStore() = default;

  virtual Result add(std::string_view id, std::string_view password, int iterations) = 0;
  virtual Result setPassword(std::string_view id, std::string_view password, int iterations) = 0;
  virtual Result remove(std::string_view id) = 0;
  // The stored hash of `id`, or nothing (also when the store cannot be read).
  virtual std::optional<std::string> storedHash(std::string_view id) = 0;
  // Every identification, sorted (by bytes).
  virtual std::vector<std::string> list() = 0;
  // Why the last change failed.
  std::string lastError() const;
  // After a look-up that found nothing: false, with `why`, when that was
  // because the store cannot be reached now (its database is down).
  virtual bool reachable(std::string& /*why*/) { return true; }

  // Whether `password` is the password of `id`. An unknown `id` costs the same
  // PBKDF2 work as a known one: a hash of the highest iteration count seen in
  // the store (counted at open, after each change made here, and raised when
  // a login meets a higher one, which another process may have written).
  bool check(std::string_view id, std::string_view password);

 protected:
  UserStore() = default;
  // The highest iteration count of the stored hashes (0 when none or unreadable).
  virtual int highestIterations() = 0;
  // Makes the decoy hash match highestIterations() (at least the default).
  void refreshDecoy();
  void setError(std::string text);

 private:
  void raiseDecoy(int iterations);

  mutable std::mutex errorMutex_;
  std::string error_;
  std::mutex decoyMutex_;
  std::string decoy_;  // the hash checked for unknown identifications
};

// The users of the SQLite database `databasePath` (UserStore::open for a
// path, which the backend chooses: server/backend.cpp).
std::unique_ptr<UserStore> openUserFile(const std::string& databasePath, std::string& error,
                                        int* migrated = nullptr);

// The iteration count of a stored hash (0 when it is not one of ours).
int hashIterations(std::string_view stored);

}  // namespace lumbra::server
