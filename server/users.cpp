// The user store: identification and password rules, PBKDF2 hashing, the table of users.
#include "server/users.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "protocol/wire.h"

namespace lumbra::server {

namespace {

constexpr std::size_t kSaltLength = 16;
constexpr std::size_t kHashLength = 32;

std::string toHex(const unsigned char* bytes, std::size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

bool fromHex(std::string_view hex, std::vector<unsigned char>& out) {
  if (hex.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int byte = hexPairValue(hex[i], hex[i + 1]);
    if (byte < 0) return false;
    out.push_back(static_cast<unsigned char>(byte));
  }
  return true;
}

bool derive(std::string_view password, const unsigned char* salt, std::size_t saltLength,
            int iterations, unsigned char* hash) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt,
                           static_cast<int>(saltLength), iterations, EVP_sha256(),
                           static_cast<int>(kHashLength), hash) == 1;
}

}  // namespace

bool validIdentification(std::string_view id, std::string* why) {
  auto fail = [&](const char* text) {
    if (why != nullptr) *why = text;
    return false;
  };
  if (id.empty()) return fail("the identification is empty");
  if (id.size() > kIdentificationLength) return fail("the identification is longer than 11 characters");
  for (char c : id) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.' || c == '$' || c == '#';
    if (!ok) return fail("the identification may hold only letters, digits and _ - . $ #");
  }
  return true;
}

std::optional<std::string> normalizePassword(std::string_view password, std::string* why) {
  auto fail = [&](const char* text) -> std::optional<std::string> {
    if (why != nullptr) *why = text;
    return std::nullopt;
  };
  while (!password.empty() && (password.back() == ' ' || password.back() == '\n' ||
                               password.back() == '\r')) {
    password.remove_suffix(1);
  }
  if (password.empty()) return fail("the password is empty");
  if (password.front() == ' ') return fail("the password begins with a blank");
  if (password.size() > kFirstCredentialLength) return fail("the password is longer than 24 characters");
  std::string out;
  for (char c : password) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c < 0x20 || c > 0x5A) {
      return fail("the password may hold only blanks, digits, letters and the punctuation ! \" # $ % & ' ( ) * + , - . / : ; < = > ? @");
    }
    out.push_back(c);
  }
  return out;
}

std::string hashPassword(std::string_view password, int iterations) {
  unsigned char salt[kSaltLength];
  unsigned char hash[kHashLength];
  if (RAND_bytes(salt, sizeof salt) != 1 || !derive(password, salt, sizeof salt, iterations, hash)) {
    return {};
  }
  return "pbkdf2-sha256$" + std::to_string(iterations) + "$" + toHex(salt, sizeof salt) + "$" +
         toHex(hash, sizeof hash);
}

bool verifyPassword(std::string_view password, std::string_view stored) {
  constexpr std::string_view kScheme = "pbkdf2-sha256$";
  if (!stored.starts_with(kScheme)) return false;
  stored.remove_prefix(kScheme.size());
  std::size_t first = stored.find('$');
  std::size_t second = first == std::string_view::npos ? first : stored.find('$', first + 1);
  if (second == std::string_view::npos) return false;
  int iterations = std::atoi(std::string(stored.substr(0, first)).c_str());
  std::vector<unsigned char> salt;
  std::vector<unsigned char> expected;
  if (iterations < 1 || !fromHex(stored.substr(first + 1, second - first - 1), salt) ||
      !fromHex(stored.substr(second + 1), expected) || expected.size() != kHashLength) {
    return false;
  }
  unsigned char hash[kHashLength];
  if (!derive(password, salt.data(), salt.size(), iterations, hash)) return false;
  return CRYPTO_memcmp(hash, expected.data(), kHashLength) == 0;
}

std::unique_ptr<UserStore> UserStore::open(const std::string& path, std::string& error) {
  auto db = Database::open(path, Database::Role::Admin, error);
  if (!db) return nullptr;
  std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + kUserTable +
                    " (id TEXT PRIMARY KEY, hash TEXT NOT NULL, changed TEXT NOT NULL)";
  if (db->run(sql.c_str()) != SQLITE_OK) {
    error = db->errorText();
    return nullptr;
  }
  return std::unique_ptr<UserStore>(new UserStore(std::move(db)));
}

UserStore::Result UserStore::write(const char* sql, std::string_view id, const std::string& hash) {
  std::lock_guard lock(mutex_);
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_->handle(), sql, -1, &stmt, nullptr) != SQLITE_OK) {
    error_ = db_->errorText();
    return Result::Failed;
  }
  sqlite3_bind_text(stmt, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
  if (!hash.empty()) {
    sqlite3_bind_text(stmt, 2, hash.data(), static_cast<int>(hash.size()), SQLITE_TRANSIENT);
  }
  int rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (rc == SQLITE_CONSTRAINT) return Result::Exists;
  if (rc != SQLITE_DONE) {
    error_ = db_->errorText();
    return Result::Failed;
  }
  return sqlite3_changes(db_->handle()) > 0 ? Result::Ok : Result::NotFound;
}

UserStore::Result UserStore::add(std::string_view id, std::string_view password, int iterations) {
  std::string hash = hashPassword(password, iterations);
  if (hash.empty()) return Result::Failed;
  std::string sql = std::string("INSERT INTO ") + kUserTable +
                    " (id, hash, changed) VALUES (?1, ?2, datetime('now'))";
  return write(sql.c_str(), id, hash);
}

UserStore::Result UserStore::setPassword(std::string_view id, std::string_view password,
                                         int iterations) {
  std::string hash = hashPassword(password, iterations);
  if (hash.empty()) return Result::Failed;
  std::string sql = std::string("UPDATE ") + kUserTable +
                    " SET hash = ?2, changed = datetime('now') WHERE id = ?1";
  return write(sql.c_str(), id, hash);
}

UserStore::Result UserStore::remove(std::string_view id) {
  std::string sql = std::string("DELETE FROM ") + kUserTable + " WHERE id = ?1";
  return write(sql.c_str(), id, {});
}

std::optional<std::string> UserStore::storedHash(std::string_view id) {
  std::lock_guard lock(mutex_);
  std::string sql = std::string("SELECT hash FROM ") + kUserTable + " WHERE id = ?1";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_->handle(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    error_ = db_->errorText();
    return std::nullopt;
  }
  sqlite3_bind_text(stmt, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
  std::optional<std::string> hash;
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    hash = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  }
  sqlite3_finalize(stmt);
  return hash;
}

}  // namespace lumbra::server
