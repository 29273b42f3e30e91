// Users of the server: identifications with salted PBKDF2-HMAC-SHA256 password hashes in the database file.
//
// Passwords travel upper-cased, as EBCDIC code page 037 of the characters blank
// to 'Z' (ASCII 0x20..0x5A), at most 24 characters (the first credential of the
// login). So a password is stored in that form: lower-case letters are
// upper-cased, and a character the client cannot carry is refused.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "server/database.h"

namespace lumbra::server {

inline constexpr int kDefaultIterations = 10000;

// An identification as users and the login carry it: 1..11 characters of
// letters, digits and _ - . $ # (trailing blanks of the login field removed).
bool validIdentification(std::string_view id, std::string* why = nullptr);

// The password as the client would send it: trailing blanks dropped, letters
// upper-cased; nothing when it is empty, begins with a blank, is longer than 24
// characters or holds a character outside blank..'Z' after upper-casing.
std::optional<std::string> normalizePassword(std::string_view password, std::string* why = nullptr);

// "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>" of a normalized password.
std::string hashPassword(std::string_view password, int iterations);
bool verifyPassword(std::string_view password, std::string_view stored);

class UserStore {
 public:
  // Opens the database (creating the table of users); nullptr with `error` on failure.
  static std::unique_ptr<UserStore> open(const std::string& path, std::string& error);

  enum class Result { Ok, NotFound, Exists, Failed };

  Result add(std::string_view id, std::string_view password, int iterations);
  Result setPassword(std::string_view id, std::string_view password, int iterations);
  Result remove(std::string_view id);
  // The stored hash of `id`, or nothing.
  std::optional<std::string> storedHash(std::string_view id);
  std::string lastError() const { return error_; }

 private:
  explicit UserStore(std::unique_ptr<Database> db) : db_(std::move(db)) {}
  Result write(const char* sql, std::string_view id, const std::string& hash);

  std::mutex mutex_;
  std::unique_ptr<Database> db_;
  std::string error_;
};

}  // namespace lumbra::server
