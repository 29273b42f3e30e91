// Choosing the backend a --database value names, and what the backends share.
#include "server/backend.h"

#include "server/postgres/backend.h"
#include "server/postgres/libpq.h"
#include "server/postgres/site.h"
#include "server/sqlite/backend.h"

namespace lumbra::server {

int Rows::skip(long long count) {
  for (long long k = 0; k < count; ++k) {
    if (int code = step(); code != kRow) return code;
  }
  return kRow;
}

void Rows::values(Value* out) {
  const int count = columns();
  for (int i = 0; i < count; ++i) {
    Value& value = out[i];
    value.kind = kind(i);
    value.bytes = {};
    if (value.kind == Kind::Integer) {
      value.integer = integer(i);
    } else if (value.kind != Kind::Null) {
      value.bytes = bytes(i);
    }
  }
}

int BackendConnection::runBatch(const std::vector<std::string>& updates, const Parameters& parameters,
                                std::vector<long long>& changes, std::size_t& failed) {
  changes.assign(updates.size(), 0);
  for (std::size_t i = 0; i < updates.size(); ++i) {
    if (int code = run(updates[i], parameters, nullptr, changes[i], nullptr); code != kOk) {
      failed = i;
      return code;
    }
  }
  return kOk;
}

void LockReleases::wait(std::uint64_t seen, std::function<void()> wake) {
  std::unique_lock lock(mutex_);
  // Counted before the generation is read: a release that this read misses
  // sees the count, and wakes this waiter.
  ++waiting_;
  if (generation_.load() != seen) {
    --waiting_;
    lock.unlock();
    wake();
    return;
  }
  waiters_.push_back(std::move(wake));
}

void LockReleases::released() {
  ++generation_;
  if (waiting_.load() == 0) return;
  std::vector<std::function<void()>> woken;
  {
    std::lock_guard lock(mutex_);
    woken.swap(waiters_);
    waiting_ -= static_cast<int>(woken.size());
  }
  for (auto& wake : woken) wake();
}

// The one place where SQLite or PostgreSQL is chosen.

std::unique_ptr<UserStore> UserStore::open(const std::string& database, std::string& error, int* migrated) {
  if (migrated != nullptr) *migrated = 0;
  if (pg::isPostgresUri(database)) return pg::openUserStore(database, true, error);
  return openUserFile(database, error, migrated);
}

bool openDatabases(const DatabaseSetup& setup, Databases& out, std::string& error) {
  limitSqliteMemory(setup.memoryLimitMb);
  if (pg::isPostgresUri(setup.database)) return openPostgresDatabases(setup, out, error);
  return openSqliteDatabases(setup, out, error);
}

}  // namespace lumbra::server
