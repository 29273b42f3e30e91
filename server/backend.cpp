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

std::unique_ptr<Backend> openBackend(const std::string& database, const std::string& sessionConninfo,
                                     const BackendOptions& options, std::string& error) {
  if (pg::isPostgresUri(database)) {
    return openPostgresBackend(sessionConninfo.empty() ? database : sessionConninfo, options, error);
  }
  return openSqliteBackend(database);
}

}  // namespace lumbra::server
