// Opening the backend a --database value names, and what the backends share.
#include "server/backend.h"

#include <cerrno>
#include <cstdlib>

#include "server/postgres/backend.h"
#include "server/postgres/libpq.h"
#include "server/sqlite/backend.h"

namespace lumbra::server {

bool integerLiteral(const std::string& value, long long& integer) {
  char* end = nullptr;
  errno = 0;
  integer = std::strtoll(value.c_str(), &end, 10);
  return !value.empty() && *end == '\0' && errno == 0;
}

bool realLiteral(const std::string& value, double& real) {
  char* end = nullptr;
  real = std::strtod(value.c_str(), &end);
  return !value.empty() && *end == '\0' && value.find_first_of("0123456789") != std::string::npos;
}

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
