// Taking a checked connection from the pool, opening new ones (with the sessions' login renewed), giving them back.
#include "server/postgres/pool.h"

#include <algorithm>

namespace lumbra::server::pg {

Pool::Pool(std::string conninfo, int size, BackendOptions::RenewLogin renew)
    : conninfo_(std::move(conninfo)), size_(std::max(1, size)), renew_(std::move(renew)) {}

int Pool::open() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

std::pair<long, long> Pool::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const long idle = static_cast<long>(idle_.size());
  return {open_ - idle, idle};
}

bool Pool::alive(PGconn* conn, std::chrono::steady_clock::duration idle) {
  // Whatever came while it waited (PostgreSQL's last word, the end of the
  // stream) is read now: a connection PostgreSQL closed shows it at once.
  while (PQstatus(conn) == CONNECTION_OK && waitReadable(conn, 0)) {
    if (PQconsumeInput(conn) == 0) return false;
  }
  if (PQstatus(conn) != CONNECTION_OK || PQtransactionStatus(conn) != PQTRANS_IDLE) return false;
  if (idle < kIdleCheck) return true;
  // Sat idle long: it must answer, and soon (a peer gone without a word never would).
  if (PQsendQuery(conn, "") != 1) return false;
  bool answered = false;
  for (;;) {
    while (PQisBusy(conn) == 1) {
      if (!waitReadable(conn, kCheckWaitMs) || PQconsumeInput(conn) == 0) return false;
    }
    PGresult* result = PQgetResult(conn);
    if (result == nullptr) break;
    answered = answered || PQresultStatus(result) == PGRES_EMPTY_QUERY;
    PQclear(result);
  }
  return answered && PQstatus(conn) == CONNECTION_OK;
}

Connection Pool::take(std::string& error, bool& busy, bool& reused, bool fresh) {
  busy = false;
  reused = false;
  for (;;) {
    Idle idle;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!fresh && !idle_.empty()) {
        // The one given back last: the likeliest to be warm and alive.
        idle = std::move(idle_.back());
        idle_.pop_back();
      } else if (open_ < size_) {
        ++open_;
        break;
      } else if (!idle_.empty()) {
        // A new one wanted and the pool full: the oldest idle one makes room.
        idle_.erase(idle_.begin());
        break;
      } else {
        busy = true;
        return nullptr;
      }
    }
    if (alive(idle.conn.get(), std::chrono::steady_clock::now() - idle.since)) {
      reused = true;
      return std::move(idle.conn);
    }
    // Closed by PostgreSQL while it waited: let go, and the next looked at.
    idle.conn.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    --open_;
  }
  Connection conn = connectNew(error);
  if (!conn) {
    std::lock_guard<std::mutex> lock(mutex_);
    --open_;
  }
  return conn;
}

void Pool::give(Connection conn, bool dirty) {
  bool usable =
      conn && PQstatus(conn.get()) == CONNECTION_OK && PQtransactionStatus(conn.get()) == PQTRANS_IDLE;
  if (usable && dirty) usable = ok(exec(conn.get(), std::string("DISCARD ALL; ") + kSessionSetUp).get());
  if (!usable) conn.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  if (usable) {
    idle_.push_back(Idle{std::move(conn), std::chrono::steady_clock::now()});
  } else {
    --open_;
  }
}

bool Pool::hasRoleSettings(PGconn* conn, std::string& error) {
  Result found = exec(conn,
                      "SELECT count(*) FROM pg_catalog.pg_db_role_setting WHERE setrole = "
                      "(SELECT oid FROM pg_catalog.pg_roles WHERE rolname = current_user)");
  if (ok(found.get()) && PQntuples(found.get()) == 1 && std::string(PQgetvalue(found.get(), 0, 0)) == "0") {
    return false;
  }
  error =
      "the sessions' role has settings of its own (ALTER ROLE ... SET), and the server cannot take them "
      "back";
  return true;
}

Connection Pool::connectNew(std::string& error) {
  std::string conninfo;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    conninfo = conninfo_;
  }
  Connection conn = connect(conninfo, error);
  if (conn && renew_ && hasRoleSettings(conn.get(), error)) conn.reset();
  // The sessions' login may have been changed (a session may change its own
  // role's password): one renewal at a time, then one more try.
  if (!conn && renew_) {
    std::lock_guard<std::mutex> renewing(renewMutex_);
    bool renewedMeanwhile = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      renewedMeanwhile = conninfo_ != conninfo;
      conninfo = conninfo_;
    }
    std::string why;
    std::string renewed = renewedMeanwhile ? conninfo : renew_(conninfo, why);
    if (!renewed.empty()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        conninfo_ = renewed;
      }
      conn = connect(renewed, error);
      if (conn && hasRoleSettings(conn.get(), error)) conn.reset();
    }
  }
  if (!conn) return nullptr;
  // Notices (a DROP ... CASCADE naming what goes with it) are the session's business, not the log's.
  PQsetNoticeProcessor(
      conn.get(), [](void*, const char*) {}, nullptr);
  Result set = exec(conn.get(), kSessionSetUp);
  if (!ok(set.get())) {
    error = errorText(set.get());
    return nullptr;
  }
  return conn;
}

}  // namespace lumbra::server::pg
