// A session's connection to PostgreSQL, taken from the pool and given back when it goes.
//
// Transactions: a write transaction is BEGIN READ WRITE (READ COMMITTED);
// statements outside it run in their own read-only transaction
// (default_transaction_read_only is on for the session connections), so no
// session SQL writes behind the server's back. A query (SELECT) reads one
// snapshot: outside the write transaction a REPEATABLE READ READ ONLY
// transaction, inside it the write transaction's own view; the rows come
// through a scrolling cursor (server/postgres/rows.h). An error inside the
// write transaction would abort it whole in PostgreSQL: every statement that
// runs in it without a savepoint of the session's around it gets one of its
// own, so a refused statement changes nothing and the transaction goes on,
// as on SQLite.
//
// Session SQL may not control transactions or the connection (refusedWord,
// server/postgres/sql_text.h), nor call set_config: 2023 ("not authorized").
// Texts of several statements run them one by one, as on SQLite. A batch's
// updates go in pipelines of up to 256 statements, their answers read after
// each pipeline.
//
// Limits: the statement time-out becomes statement_timeout (57014 is 2009
// "interrupted", as SQLite's interrupt), the busy timeout lock_timeout: a lock
// held by another session (a row's) is waited for 50 ms at a time, and a
// statement that did not get it (55P03; so are deadlocks and serialization
// failures) is kBusy: the session undoes the message and hands it in again
// every 20 ms, then refuses with 2005 once the busy timeout is over. So no
// wait holds a thread long.
//
// A connection lost (class 08; PostgreSQL shutting down, 57P01 to 57P03) is
// kLostConnection. One that waited in the pool and is lost at its first
// command (nothing of the session's reached PostgreSQL on it) says so
// (lostBeforeUse): the session runs the message again on a new one.
#pragma once

#include <atomic>
#include <memory>

#include "server/backend.h"
#include "server/postgres/libpq.h"
#include "server/postgres/pool.h"

namespace lumbra::server::pg {

// The session connection on `conn`, given back to `pool` when it goes;
// `reused`: it waited in the pool (Pool::take). `interrupted` stays set once
// the session closes: its SQL stops.
std::unique_ptr<BackendConnection> sessionConnection(Pool& pool, Connection conn, bool reused,
                                                     const std::atomic<bool>& interrupted);

}  // namespace lumbra::server::pg
