// PostgreSQL behind the session interface: the backend of a server, its start, the pool it serves sessions from.
//
// The pool (server/postgres/pool.h), the session connections
// (server/postgres/connection.h), their rows (server/postgres/rows.h) and the
// binding of parameters (server/postgres/binding.h) each have a file of their own.
#include "server/postgres/backend.h"

#include <cstdlib>

#include "server/log.h"
#include "server/metrics.h"
#include "server/postgres/connection.h"
#include "server/postgres/libpq.h"
#include "server/postgres/pool.h"
#include "server/postgres/site.h"

namespace lumbra::server {

namespace {

class PgBackend final : public Backend {
 public:
  PgBackend(const std::string& conninfo, const BackendOptions& options)
      : pool_(conninfo, options.poolSize, options.renewLogin) {
    metrics().setPoolReader([this] { return pool_.counts(); });
  }
  ~PgBackend() override { metrics().setPoolReader({}); }

  bool start(std::string& error) {
    bool busy = false;
    bool reused = false;
    pg::Connection first = pool_.take(error, busy, reused);
    if (!first) return false;
    int number = PQserverVersion(first.get());
    version_ = std::to_string(number / 10000) + "." + std::to_string(number % 10000);
    pool_.give(std::move(first), false);
    return true;
  }

  std::unique_ptr<BackendConnection> connect(const std::atomic<bool>& interrupted, std::string& error,
                                             bool& busy, bool fresh) override {
    bool reused = false;
    pg::Connection conn = pool_.take(error, busy, reused, fresh);
    if (!conn) return nullptr;
    return pg::sessionConnection(pool_, std::move(conn), reused, interrupted);
  }
  bool pooled() const override { return true; }
  std::string version() const override { return version_; }
  std::string scratchDirectory() const override {
    const char* directory = std::getenv("TMPDIR");
    return directory != nullptr && directory[0] != '\0' ? directory : "/tmp";
  }

 private:
  pg::Pool pool_;
  std::string version_;
};

}  // namespace

std::unique_ptr<Backend> openPostgresBackend(const std::string& conninfo, const BackendOptions& options,
                                             std::string& error) {
  auto backend = std::make_unique<PgBackend>(conninfo, options);
  if (!backend->start(error)) return nullptr;
  return backend;
}

bool openPostgresDatabases(const DatabaseSetup& setup, Databases& out, std::string& error) {
  const std::string& uri = setup.database;
  std::string sessionConninfo = setup.sessionConninfo;
  if (setup.usersDatabase.empty()) {
    pg::Site site;
    if (!pg::prepareSite(uri, site, error)) return false;
    out.users = pg::openUserStore(uri, false, error);
    if (!out.users) return false;
    if (sessionConninfo.empty()) sessionConninfo = site.sessionConninfo;
    logLine("PostgreSQL " + pg::redactedUri(uri) + ": sessions as the role " + site.sessionRole);
  } else {
    out.users = openUserFile(setup.usersDatabase, error);
    if (!out.users) {
      error = "cannot open the users " + userStorePath(setup.usersDatabase) + ": " + error;
      return false;
    }
  }
  BackendOptions options;
  options.poolSize = setup.poolSize;
  if (setup.usersDatabase.empty() && setup.sessionConninfo.empty()) {
    options.renewLogin = [uri](const std::string& failed, std::string& why) {
      pg::Site renewed;
      if (!pg::renewSessionLogin(uri, failed, renewed, why)) {
        logLine("the sessions' login failed and cannot be renewed: " + why);
        return std::string();
      }
      if (renewed.sessionConninfo != failed) logLine("the sessions' login renewed");
      return renewed.sessionConninfo;
    };
  }
  out.backend = openPostgresBackend(sessionConninfo.empty() ? uri : sessionConninfo, options, error);
  if (!out.backend) {
    error = "cannot connect to the PostgreSQL database: " + error;
    out.users.reset();
    return false;
  }
  out.description = "on PostgreSQL (pool of " + std::to_string(setup.poolSize) + ")";
  return true;
}

}  // namespace lumbra::server
