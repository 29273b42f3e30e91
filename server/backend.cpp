// Opening the backend a --database value names, and what the backends share.
#include "server/backend.h"

#include "server/postgres/backend.h"
#include "server/postgres/libpq.h"
#include "server/sqlite/backend.h"

namespace lumbra::server {

int Rows::skip(long long count) {
  for (long long k = 0; k < count; ++k) {
    if (int code = step(); code != kRow) return code;
  }
  return kRow;
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

std::unique_ptr<Backend> openBackend(const std::string& database, const std::string& sessionConninfo,
                                     const BackendOptions& options, std::string& error) {
  if (pg::isPostgresUri(database)) {
    return openPostgresBackend(sessionConninfo.empty() ? database : sessionConninfo, options, error);
  }
  return openSqliteBackend(database);
}

}  // namespace lumbra::server
