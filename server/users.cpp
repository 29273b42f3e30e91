// The user store: identification and password rules, PBKDF2 hashing, the table of users.
#include "server/users.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "protocol/hex.h"
#include "protocol/wire.h"
#include "server/database.h"
#include "server/layout.h"
#include "platform/system.h"

namespace lumbra::server {

namespace {

constexpr std::size_t kSaltLength = 16;
constexpr std::size_t kHashLength = 32;

bool fromHex(std::string_view hex, std::vector<unsigned char>& out) {
  out.resize(hex.size() / 2);
  return readHexText(hex, out.data());
}

bool derive(std::string_view password, const unsigned char* salt, std::size_t saltLength, int iterations,
            unsigned char* hash) {
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
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
              c == '-' || c == '.' || c == '$' || c == '#';
    if (!ok) return fail("the identification may hold only letters, digits and _ - . $ #");
  }
  return true;
}

std::optional<std::string> normalizePassword(std::string_view password, std::string* why) {
  auto fail = [&](const char* text) -> std::optional<std::string> {
    if (why != nullptr) *why = text;
    return std::nullopt;
  };
  while (!password.empty() &&
         (password.back() == ' ' || password.back() == '\n' || password.back() == '\r')) {
    password.remove_suffix(1);
  }
  if (password.empty()) return fail("the password is empty");
  if (password.size() > kFirstCredentialLength) return fail("the password is longer than 24 characters");
  std::string out;
  for (char c : password) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == ' ') {
      return fail(
          "the password may not hold blanks (the client sends every character it cannot carry as a blank)");
    }
    if (c < 0x21 || c > 0x5A) {
      return fail(
          "the password may hold only digits, letters and the punctuation ! \" # $ % & ' ( ) * + , - . / : ; "
          "< = > ? @");
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
  return "pbkdf2-sha256$" + std::to_string(iterations) + "$" + hexText(salt, sizeof salt, false) + "$" +
         hexText(hash, sizeof hash, false);
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

int hashIterations(std::string_view stored) {
  constexpr std::string_view kScheme = "pbkdf2-sha256$";
  if (!stored.starts_with(kScheme)) return 0;
  return std::atoi(std::string(stored.substr(kScheme.size())).c_str());
}

std::string userStorePath(const std::string& databasePath) {
  if (databasePath == ":memory:") return databasePath;
  return databasePath + ".users";
}

namespace {

std::string tableSql() {
  return std::string("CREATE TABLE IF NOT EXISTS ") + kUserTable +
         " (id TEXT PRIMARY KEY, hash TEXT NOT NULL, changed TEXT NOT NULL)";
}

int readUserVersion(Database& db) {
  sqlite3_stmt* stmt = nullptr;
  int version = -1;
  if (sqlite3_prepare_v2(db.handle(), "PRAGMA user_version", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    version = sqlite3_column_int(stmt, 0);
  }
  sqlite3_finalize(stmt);
  return version;
}

// The users in a SQLite file of their own.
class SqliteUserStore final : public UserStore {
 public:
  static std::unique_ptr<UserStore> open(const std::string& databasePath, std::string& error, int* migrated);

  Result add(std::string_view id, std::string_view password, int iterations) override;
  Result setPassword(std::string_view id, std::string_view password, int iterations) override;
  Result remove(std::string_view id) override;
  std::optional<std::string> storedHash(std::string_view id) override;
  std::vector<std::string> list() override;

 protected:
  int highestIterations() override;

 private:
  SqliteUserStore(std::unique_ptr<Database> reader, std::unique_ptr<Database> writer)
      : reader_(std::move(reader)), writer_(std::move(writer)) {}
  Result write(const char* sql, std::string_view id, const std::string& hash);

  // Reads and writes go through connections of their own: a change that waits
  // for the file's write lock never holds back the logins of others.
  std::mutex readMutex_;
  std::unique_ptr<Database> reader_;
  std::mutex writeMutex_;
  std::unique_ptr<Database> writer_;
};

}  // namespace

std::unique_ptr<UserStore> openUserFile(const std::string& databasePath, std::string& error, int* migrated) {
  return SqliteUserStore::open(databasePath, error, migrated);
}

std::string UserStore::lastError() const {
  std::lock_guard lock(errorMutex_);
  return error_;
}

void UserStore::setError(std::string text) {
  std::lock_guard lock(errorMutex_);
  error_ = std::move(text);
}

void UserStore::refreshDecoy() {
  int iterations = highestIterations();
  if (iterations <= 0) iterations = kDefaultIterations;
  std::lock_guard lock(decoyMutex_);
  if (hashIterations(decoy_) == iterations) return;
  decoy_ = hashPassword("DECOY", iterations);
}

void UserStore::raiseDecoy(int iterations) {
  std::lock_guard lock(decoyMutex_);
  if (hashIterations(decoy_) >= iterations) return;
  decoy_ = hashPassword("DECOY", iterations);
}

bool UserStore::check(std::string_view id, std::string_view password) {
  std::optional<std::string> stored;
  if (validIdentification(id)) stored = storedHash(id);
  if (!stored) {
    std::string decoy;
    {
      std::lock_guard lock(decoyMutex_);
      decoy = decoy_;
    }
    verifyPassword(password, decoy);
    return false;
  }
  // A hash written by another process (a `user` command, another server) may
  // take more work than the decoy: the decoy follows it.
  raiseDecoy(hashIterations(*stored));
  return verifyPassword(password, *stored);
}

std::unique_ptr<UserStore> SqliteUserStore::open(const std::string& databasePath, std::string& error, int*) {
  const std::string path = userStorePath(databasePath);
  auto writer = Database::open(path, Database::Role::Admin, error);
  if (!writer) return nullptr;
  if (writer->run(tableSql().c_str()) != SQLITE_OK) {
    error = writer->errorText();
    return nullptr;
  }
  // A new store gets its mark and user_version 1 (server/layout.h). Users
  // of a database of an older layout are never moved here: that is
  // `lumbra-server upgrade`, which writes a backup first.
  if (readUserVersion(*writer) == 0) {
    std::string mark = "PRAGMA application_id=" + std::to_string(kUsersMark);
    if (writer->run("PRAGMA user_version=1") != SQLITE_OK || writer->run(mark.c_str()) != SQLITE_OK) {
      error = writer->errorText();
      return nullptr;
    }
  }
  // An in-memory store has one connection for both (a second would be another database).
  std::unique_ptr<Database> reader;
  if (path != ":memory:") {
    reader = Database::open(path, Database::Role::Admin, error);
    if (!reader) return nullptr;
  }
  std::unique_ptr<SqliteUserStore> store(new SqliteUserStore(std::move(reader), std::move(writer)));
  store->refreshDecoy();
  return store;
}

int SqliteUserStore::highestIterations() {
  int iterations = 0;
  std::unique_lock lock(reader_ ? readMutex_ : writeMutex_);
  Database& db = reader_ ? *reader_ : *writer_;
  std::string sql = std::string("SELECT hash FROM ") + kUserTable;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const unsigned char* hash = sqlite3_column_text(stmt, 0);
      if (hash != nullptr) {
        iterations = std::max(iterations, hashIterations(reinterpret_cast<const char*>(hash)));
      }
    }
  }
  sqlite3_finalize(stmt);
  return iterations;
}

UserStore::Result SqliteUserStore::write(const char* sql, std::string_view id, const std::string& hash) {
  Result outcome;
  {
    std::lock_guard lock(writeMutex_);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(writer_->handle(), sql, -1, &stmt, nullptr) != SQLITE_OK) {
      setError(writer_->errorText());
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
      setError(writer_->errorText());
      return Result::Failed;
    }
    outcome = sqlite3_changes(writer_->handle()) > 0 ? Result::Ok : Result::NotFound;
  }
  if (outcome == Result::Ok && !hash.empty()) refreshDecoy();
  return outcome;
}

UserStore::Result SqliteUserStore::add(std::string_view id, std::string_view password, int iterations) {
  std::string hash = hashPassword(password, iterations);
  if (hash.empty()) return Result::Failed;
  std::string sql =
      std::string("INSERT INTO ") + kUserTable + " (id, hash, changed) VALUES (?1, ?2, datetime('now'))";
  return write(sql.c_str(), id, hash);
}

UserStore::Result SqliteUserStore::setPassword(std::string_view id, std::string_view password,
                                               int iterations) {
  std::string hash = hashPassword(password, iterations);
  if (hash.empty()) return Result::Failed;
  std::string sql =
      std::string("UPDATE ") + kUserTable + " SET hash = ?2, changed = datetime('now') WHERE id = ?1";
  return write(sql.c_str(), id, hash);
}

UserStore::Result SqliteUserStore::remove(std::string_view id) {
  std::string sql = std::string("DELETE FROM ") + kUserTable + " WHERE id = ?1";
  return write(sql.c_str(), id, {});
}

std::optional<std::string> SqliteUserStore::storedHash(std::string_view id) {
  std::unique_lock lock(reader_ ? readMutex_ : writeMutex_);
  Database& db = reader_ ? *reader_ : *writer_;
  std::string sql = std::string("SELECT hash FROM ") + kUserTable + " WHERE id = ?1";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
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

std::vector<std::string> SqliteUserStore::list() {
  std::unique_lock lock(reader_ ? readMutex_ : writeMutex_);
  Database& db = reader_ ? *reader_ : *writer_;
  std::string sql = std::string("SELECT id FROM ") + kUserTable + " ORDER BY id";
  sqlite3_stmt* stmt = nullptr;
  std::vector<std::string> ids;
  if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      ids.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    }
  }
  sqlite3_finalize(stmt);
  return ids;
}

}  // namespace lumbra::server
