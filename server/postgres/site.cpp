// The installation in PostgreSQL: the set-up script run as the owning role, the sessions' login, the users.
#include "server/postgres/site.h"

#include <openssl/rand.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "server/postgres/libpq.h"
#include "server/postgres/setup_sql.h"  // generated from setup.sql

namespace lumbra::server::pg {

namespace {

using Overrides = std::vector<std::pair<std::string, std::string>>;

// The URI's parameters, parsed by libpq (nothing with `error` when it is not
// a valid URI).
bool parseUri(const std::string& uri, std::vector<std::pair<std::string, std::string>>& parameters,
              std::string& error) {
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(uri.c_str(), &message);
  if (options == nullptr) {
    error = message != nullptr ? message : "out of memory";
    while (!error.empty() && error.back() == '\n') error.pop_back();
    PQfreemem(message);
    return false;
  }
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (option->val != nullptr) parameters.emplace_back(option->keyword, option->val);
  }
  PQconninfoFree(options);
  return true;
}

std::string conninfoValue(const std::string& value) {
  std::string out = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "'";
}

// Connections of the owning role resolve names in pg_catalog alone (every
// name of the server's is qualified), so nothing a session creates elsewhere
// can stand in for a function or an operator they use. No statement of theirs
// runs longer than 30 s: a database that hangs fails a login or a `user`
// command instead of holding them forever.
Connection connectOwner(const std::string& uri, const std::string& extraOptions, std::string& error) {
  std::vector<std::pair<std::string, std::string>> parameters;
  if (!parseUri(uri, parameters, error)) return nullptr;
  std::string options = "-c search_path=pg_catalog,pg_temp -c statement_timeout=30000 " + extraOptions;
  for (const auto& [keyword, value] : parameters) {
    if (keyword == "options") options = value + " " + options;
  }
  Overrides overrides{{"options", options}};
  bool named = std::any_of(parameters.begin(), parameters.end(),
                           [](const auto& parameter) { return parameter.first == "application_name"; });
  if (!named) overrides.emplace_back("application_name", "lumbra-server");
  Connection conn = connect(uri, error, overrides);
  // Notices (a NOTICE of the set-up, say) are not for the server's log.
  if (conn)
    PQsetNoticeProcessor(
        conn.get(), [](void*, const char*) {}, nullptr);
  return conn;
}

// The primary message of a failed result, with its hint when there is one.
std::string failure(const PGresult* result) {
  const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  std::string text = primary != nullptr ? primary : errorText(result);
  if (const char* hint = PQresultErrorField(result, PG_DIAG_MESSAGE_HINT); hint != nullptr) {
    text += " (" + std::string(hint) + ")";
  }
  return text;
}

// The owner URI's parameters with the sessions' role and its password in
// place of its user and password.
bool sessionConninfo(const std::string& ownerUri, const std::string& role, const std::string& password,
                     std::string& conninfo, std::string& error) {
  std::vector<std::pair<std::string, std::string>> parameters;
  if (!parseUri(ownerUri, parameters, error)) return false;
  conninfo.clear();
  bool named = false;
  for (const auto& [keyword, value] : parameters) {
    if (keyword == "user" || keyword == "password" || keyword == "passfile") continue;
    if (keyword == "application_name") named = true;
    conninfo += keyword + "=" + conninfoValue(value) + " ";
  }
  if (!named) conninfo += "application_name='lumbra-server session' ";
  conninfo += "user=" + conninfoValue(role) + " password=" + conninfoValue(password);
  return true;
}

}  // namespace

const char* setupScript() { return kSetupSql; }

std::string redactedUri(const std::string& uri) {
  std::string out = uri;
  std::size_t scheme = out.find("://");
  if (scheme != std::string::npos) {
    std::size_t start = scheme + 3;
    std::size_t end = out.find_first_of("/?", start);
    std::size_t at = out.rfind('@', end == std::string::npos ? out.size() : end);
    if (at != std::string::npos && at >= start) {
      std::size_t colon = out.find(':', start);
      if (colon != std::string::npos && colon < at) out.replace(colon + 1, at - colon - 1, "***");
    }
  }
  for (std::size_t at = out.find("password="); at != std::string::npos; at = out.find("password=", at + 1)) {
    std::size_t begin = at + 9;
    std::size_t end = out.find('&', begin);
    out.replace(begin, (end == std::string::npos ? out.size() : end) - begin, "***");
  }
  return out;
}

bool prepareSite(const std::string& ownerUri, Site& site, std::string& error) {
  std::string why;
  Connection owner = connectOwner(ownerUri, "", why);
  if (!owner) {
    error = "cannot connect to PostgreSQL as the owning role: " + why;
    return false;
  }
  // The owning role is the URI's (the script alone, run by an operator,
  // defaults to the database's owner).
  Result owning = exec(owner.get(), "SELECT pg_catalog.set_config('lumbra.owner', current_user, false)");
  Result done = ok(owning.get()) ? exec(owner.get(), kSetupSql) : std::move(owning);
  if (!ok(done.get())) {
    error = "the set-up of the database failed: " + failure(done.get());
    exec(owner.get(), "ROLLBACK");
    return false;
  }
  Result login = exec(owner.get(), "SELECT role_name, password FROM lumbra_server.session_login");
  if (!ok(login.get()) || PQntuples(login.get()) != 1) {
    error = "cannot read the sessions' login: " + (ok(login.get()) ? "no row" : failure(login.get()));
    return false;
  }
  site.sessionRole = PQgetvalue(login.get(), 0, 0);
  const std::string password = PQgetvalue(login.get(), 0, 1);

  if (!sessionConninfo(ownerUri, site.sessionRole, password, site.sessionConninfo, error)) return false;

  // The sessions' role must log in, and must not reach the server's schema
  // (a grant made by hand after the set-up, say).
  Connection session = connect(site.sessionConninfo, why);
  if (!session) {
    error = "cannot log in as the sessions' role " + site.sessionRole + ": " + why;
    return false;
  }
  Result reach =
      exec(session.get(), "SELECT pg_catalog.has_schema_privilege('lumbra_server', 'USAGE, CREATE')");
  if (!ok(reach.get()) || PQntuples(reach.get()) != 1) {
    error = "cannot check the sessions' role " + site.sessionRole + ": " + failure(reach.get());
    return false;
  }
  if (std::string(PQgetvalue(reach.get(), 0, 0)) != "f") {
    error = "the sessions' role " + site.sessionRole +
            " reaches the schema lumbra_server: revoke its privileges there (and those of every role it is a "
            "member of)";
    return false;
  }
  return true;
}

bool renewSessionLogin(const std::string& ownerUri, const std::string& failedConninfo, Site& site,
                       std::string& error) {
  std::string why;
  Connection owner = connectOwner(ownerUri, "", why);
  if (!owner) {
    error = "cannot connect to PostgreSQL as the owning role: " + why;
    return false;
  }
  auto fail = [&](const std::string& what, const PGresult* result) {
    error = what + ": " + failure(result);
    exec(owner.get(), "ROLLBACK");
    return false;
  };
  // The set-up's lock: renewals of several servers, and set-ups, one at a time.
  Result locked = exec(owner.get(), "BEGIN; SELECT pg_catalog.pg_advisory_xact_lock(7236828174069985329)");
  if (!ok(locked.get())) return fail("cannot lock the set-up", locked.get());
  Result login = exec(owner.get(), "SELECT role_name, password FROM lumbra_server.session_login FOR UPDATE");
  if (!ok(login.get()) || PQntuples(login.get()) != 1)
    return fail("cannot read the sessions' login", login.get());
  site.sessionRole = PQgetvalue(login.get(), 0, 0);
  if (!sessionConninfo(ownerUri, site.sessionRole, PQgetvalue(login.get(), 0, 1), site.sessionConninfo,
                       error)) {
    exec(owner.get(), "ROLLBACK");
    return false;
  }
  // Settings a session gave its own role (ALTER ROLE CURRENT_USER SET ...)
  // would be every later session connection's defaults: they go.
  const std::string role = quoteIdentifier(owner.get(), site.sessionRole);
  Result settings = exec(owner.get(),
                         "SELECT coalesce(d.datname, '') FROM pg_catalog.pg_db_role_setting s "
                         "LEFT JOIN pg_catalog.pg_database d ON d.oid = s.setdatabase "
                         "WHERE s.setrole = (SELECT oid FROM pg_catalog.pg_roles WHERE rolname = " +
                             quoteLiteral(owner.get(), site.sessionRole) + ")");
  if (!ok(settings.get())) return fail("cannot read the settings of the sessions' role", settings.get());
  for (int row = 0; row < PQntuples(settings.get()); ++row) {
    const std::string database = PQgetvalue(settings.get(), row, 0);
    const std::string where =
        database.empty() ? "" : " IN DATABASE " + quoteIdentifier(owner.get(), database);
    Result reset = exec(owner.get(), "ALTER ROLE " + role + where + " RESET ALL");
    if (!ok(reset.get())) return fail("cannot take back the settings of the sessions' role", reset.get());
  }
  // Another server renewed it already, or the stored one works (the failure
  // was something else): nothing to change.
  bool stale = site.sessionConninfo != failedConninfo;
  if (stale || connect(site.sessionConninfo, why)) {
    exec(owner.get(), "COMMIT");
    return true;
  }
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    error = "no random bytes for a password";
    exec(owner.get(), "ROLLBACK");
    return false;
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string password;
  for (unsigned char byte : bytes) {
    password.push_back(kDigits[byte >> 4]);
    password.push_back(kDigits[byte & 15]);
  }
  // Sent as a SCRAM verifier: the password itself never reaches the server's log.
  char* verifier =
      PQencryptPasswordConn(owner.get(), password.c_str(), site.sessionRole.c_str(), "scram-sha-256");
  if (verifier == nullptr) {
    error = "cannot hash a password: " + errorText(owner.get());
    exec(owner.get(), "ROLLBACK");
    return false;
  }
  std::string alter = "ALTER ROLE " + role + " PASSWORD " + quoteLiteral(owner.get(), verifier);
  PQfreemem(verifier);
  Result altered = exec(owner.get(), alter);
  if (!ok(altered.get())) return fail("cannot give the sessions' role a new password", altered.get());
  Result stored = exec(owner.get(), "UPDATE lumbra_server.session_login SET password = " +
                                        quoteLiteral(owner.get(), password) + "; COMMIT");
  if (!ok(stored.get())) return fail("cannot keep the new password", stored.get());
  return sessionConninfo(ownerUri, site.sessionRole, password, site.sessionConninfo, error);
}

namespace {

class PostgresUserStore final : public UserStore {
 public:
  PostgresUserStore(Connection reader, Connection writer)
      : reader_(std::move(reader)), writer_(std::move(writer)) {}

  // Finds lumbra_server.users through `reader_`.
  bool usable(std::string& error) {
    {
      std::lock_guard lock(readMutex_);
      pg::Result result = run(reader_, "SELECT 1 FROM lumbra_server.users LIMIT 1", {});
      if (!ok(result.get())) {
        error = "cannot read the users (is the database set up? see server/postgres/setup.sql): " +
                failure(result.get());
        return false;
      }
    }
    refreshDecoy();
    return true;
  }

  Result add(std::string_view id, std::string_view password, int iterations) override {
    std::string hash = hashPassword(password, iterations);
    if (hash.empty()) return Result::Failed;
    return write(
        "INSERT INTO lumbra_server.users (id, hash, changed) VALUES ($1, $2, pg_catalog.now()) "
        "ON CONFLICT (id) DO NOTHING",
        id, hash, Result::Exists);
  }

  Result setPassword(std::string_view id, std::string_view password, int iterations) override {
    std::string hash = hashPassword(password, iterations);
    if (hash.empty()) return Result::Failed;
    return write("UPDATE lumbra_server.users SET hash = $2, changed = pg_catalog.now() WHERE id = $1", id,
                 hash, Result::NotFound);
  }

  Result remove(std::string_view id) override {
    return write("DELETE FROM lumbra_server.users WHERE id = $1", id, {}, Result::NotFound);
  }

  std::optional<std::string> storedHash(std::string_view id) override {
    std::lock_guard lock(readMutex_);
    pg::Result result = run(reader_, "SELECT hash FROM lumbra_server.users WHERE id = $1", {std::string(id)});
    if (!ok(result.get()) || PQntuples(result.get()) == 0) return std::nullopt;
    return std::string(PQgetvalue(result.get(), 0, 0));
  }

  bool reachable(std::string& why) override {
    std::lock_guard lock(readMutex_);
    if (PQstatus(reader_.get()) == CONNECTION_OK) return true;
    why = errorText(reader_.get());
    return false;
  }

  std::vector<std::string> list() override {
    std::lock_guard lock(readMutex_);
    pg::Result result = run(reader_, "SELECT id FROM lumbra_server.users ORDER BY id", {});
    std::vector<std::string> ids;
    if (!ok(result.get())) return ids;
    for (int row = 0; row < PQntuples(result.get()); ++row)
      ids.emplace_back(PQgetvalue(result.get(), row, 0));
    return ids;
  }

 protected:
  int highestIterations() override {
    std::lock_guard lock(readMutex_);
    pg::Result result = run(reader_, "SELECT hash FROM lumbra_server.users", {});
    int iterations = 0;
    if (!ok(result.get())) return 0;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
      iterations = std::max(iterations, hashIterations(PQgetvalue(result.get(), row, 0)));
    }
    return iterations;
  }

 private:
  // Runs `sql` with text parameters; a connection found broken (the server
  // restarted, say) is reset and the statement tried once more.
  pg::Result run(Connection& conn, const char* sql, const std::vector<std::string>& parameters) {
    std::vector<const char*> values;
    for (const std::string& parameter : parameters) values.push_back(parameter.c_str());
    for (int attempt = 0;; ++attempt) {
      pg::Result result(PQexecParams(conn.get(), sql, static_cast<int>(values.size()), nullptr, values.data(),
                                     nullptr, nullptr, 0));
      if (!result) result.reset(PQmakeEmptyPGresult(conn.get(), PGRES_FATAL_ERROR));
      if (ok(result.get()) || attempt > 0 || PQstatus(conn.get()) != CONNECTION_BAD) return result;
      PQreset(conn.get());
      if (PQstatus(conn.get()) != CONNECTION_OK) return result;
    }
  }

  Result write(const char* sql, std::string_view id, const std::string& hash, Result none) {
    Result outcome;
    {
      std::lock_guard lock(writeMutex_);
      std::vector<std::string> parameters{std::string(id)};
      if (!hash.empty()) parameters.push_back(hash);
      pg::Result result = run(writer_, sql, parameters);
      if (!ok(result.get())) {
        setError(sqlState(result.get()) == "55P03" ? "another change of this user holds it: try again"
                                                   : "cannot change the users: " + failure(result.get()));
        return Result::Failed;
      }
      outcome = std::string(PQcmdTuples(result.get())) == "0" ? none : Result::Ok;
    }
    if (outcome == Result::Ok && !hash.empty()) refreshDecoy();
    return outcome;
  }

  std::mutex readMutex_;
  Connection reader_;
  std::mutex writeMutex_;
  Connection writer_;
};

}  // namespace

std::unique_ptr<UserStore> openUserStore(const std::string& ownerUri, bool prepare, std::string& error) {
  if (prepare) {
    Site site;
    if (!prepareSite(ownerUri, site, error)) return nullptr;
  }
  std::string why;
  Connection reader = connectOwner(ownerUri, "", why);
  // A change waits at most two seconds for a row another writer holds.
  Connection writer = reader ? connectOwner(ownerUri, "-c lock_timeout=2000", why) : nullptr;
  if (!reader || !writer) {
    error = "cannot connect to PostgreSQL as the owning role: " + why;
    return nullptr;
  }
  auto store = std::make_unique<PostgresUserStore>(std::move(reader), std::move(writer));
  if (!store->usable(error)) return nullptr;
  return store;
}

}  // namespace lumbra::server::pg
