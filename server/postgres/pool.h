// The PostgreSQL backend's pool: at most N libpq connections shared by all sessions, checked before they are handed out.
//
// A session takes a connection for as long as it holds a transaction or an
// open result (server/postgres/backend.h), and gives it back. A connection
// given back with no transaction open waits in the pool; one that is broken,
// or still in a transaction, is closed. Before an idle connection is handed
// out again it is checked: one whose socket shows that PostgreSQL closed it
// (a restart, an idle time-out: the socket has the end of the stream, or
// PostgreSQL's last word before it) is let go at no cost, and one that has
// sat idle longer than kIdleCheck must answer an empty query first (within
// kCheckWait). So no session gets a connection that died while it waited; a
// connection that dies between the check and its first statement is told by
// the session connection (lostBeforeUse), and the statement runs again on a
// new one.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "server/backend.h"
#include "server/postgres/libpq.h"

namespace lumbra::server::pg {

// Every connection of the pool reads without writing unless the server began
// a write transaction, and speaks the client's code page.
inline constexpr char kSessionSetUp[] =
    "SET default_transaction_read_only = on; SET client_encoding = 'WIN1252'";
// An idle connection older than this answers an empty query before it is handed out.
inline constexpr auto kIdleCheck = std::chrono::seconds(5);
// How long that answer may take.
inline constexpr int kCheckWaitMs = 2000;

class Pool {
 public:
  Pool(std::string conninfo, int size, BackendOptions::RenewLogin renew);

  // A connection for a session: an idle one that passes its check, else a
  // new one (`fresh`: a new one in any case). nullptr with `busy` set when
  // all are taken, or with `error` when none can be opened. `reused`: it
  // waited in the pool (it may yet be found dead at its first statement).
  Connection take(std::string& error, bool& busy, bool& reused, bool fresh = false);

  // Back into the pool with no transaction open on it, else closed; `dirty`:
  // the session left state on it (temporary tables, settings), which goes.
  void give(Connection conn, bool dirty);

  // Connections open now (idle and taken).
  int open() const;
  // Connections taken by sessions now, and idle in the pool.
  std::pair<long, long> counts() const;

 private:
  struct Idle {
    Connection conn;
    std::chrono::steady_clock::time_point since;
  };
  // Whether an idle connection is still there: its socket, and, after
  // kIdleCheck, an answer.
  static bool alive(PGconn* conn, std::chrono::steady_clock::duration idle);
  // Whether the role logged in has settings of its own (a session can give
  // them to its role, and they would be every new connection's defaults);
  // true, with `error`, also when that cannot be read.
  static bool hasRoleSettings(PGconn* conn, std::string& error);
  Connection connectNew(std::string& error);

  std::string conninfo_;  // under mutex_
  int size_;
  BackendOptions::RenewLogin renew_;
  std::mutex renewMutex_;
  mutable std::mutex mutex_;
  std::vector<Idle> idle_;
  int open_ = 0;
};

}  // namespace lumbra::server::pg
