// The PostgreSQL backend: sessions served from a bounded pool of libpq connections.
//
// The pool: the server opens at most BackendOptions::poolSize connections
// (--pool-size, default 20) and shares them among all its sessions. A session
// holds a connection only while it has a write transaction or an open result
// whose rows are not all in memory (and while one message is being handled);
// otherwise the connection goes back to the pool after each message. Chosen
// over a connection per session because a PostgreSQL connection is a server
// process: 1,000 mostly idle sessions must not cost 1,000 of them. So 1,000 idle sessions need no
// connection at all, and two servers of 1,000 sessions each stay within
// PostgreSQL's max_connections. Transaction semantics stay per session: a
// connection is given back only with no transaction open on it (one that
// fails or is left in a transaction is closed instead). When every connection
// is taken, connect() reports `busy` and the session asks again every 20 ms
// up to its busy timeout, then refuses with 2005 as for a lock.
//
// Transactions: a write transaction is BEGIN READ WRITE (READ COMMITTED);
// statements outside it run in their own read-only transaction
// (default_transaction_read_only is on for the session connections), so no
// session SQL writes behind the server's back. A query (SELECT) reads one
// snapshot: outside the write transaction a REPEATABLE READ READ ONLY
// transaction, inside it the write transaction's own view; the rows come
// from a SCROLL cursor fetched in batches (a few MiB at a time, never the
// whole result). The counting pass fetches through the cursor; rewinding for
// the rows moves it back (MOVE ABSOLUTE) so the kept rows are skipped in one
// round trip. An error inside the write transaction would abort it whole in
// PostgreSQL: every statement that runs in it without a savepoint of the
// session's around it gets one of its own, so a refused statement changes
// nothing and the transaction goes on, as on SQLite.
//
// Session SQL may not control transactions or the connection: BEGIN, START,
// COMMIT, END, ROLLBACK, ABORT, SAVEPOINT, RELEASE, PREPARE, DEALLOCATE,
// SET, RESET, DISCARD, LISTEN, UNLISTEN, NOTIFY, COPY, LOAD, DECLARE, FETCH,
// MOVE and CLOSE, and any statement that calls set_config (a SET by another
// name: it could lift the read-only default or the time-outs), are refused
// with 2023 ("not authorized"). Texts of several
// statements run them one by one, as on SQLite.
//
// Limits: the statement time-out becomes statement_timeout (57014 is 2009
// "interrupted", as SQLite's interrupt), the busy timeout lock_timeout: a lock
// held by another session (a row's) is waited for 50 ms at a time, and a
// statement that did not get it (55P03; so are deadlocks and serialization
// failures) is kBusy: the session undoes the message and hands it in again
// every 20 ms, as for SQLite's write lock, then refuses with 2005 once the
// busy timeout is over. So no wait holds one of the SQL threads long. Texts travel as Windows-1252 (client_encoding
// WIN1252).
#pragma once

#include <memory>
#include <string>

#include "server/backend.h"

namespace lumbra::server {

// The backend on the PostgreSQL database `conninfo` names (a URI or a
// keyword string); one connection is opened now, to report a wrong address
// or password at the start. nullptr with `error` set on failure.
std::unique_ptr<Backend> openPostgresBackend(const std::string& conninfo, const BackendOptions& options,
                                             std::string& error);

// A server's start on the PostgreSQL database of the URI setup.database
// (server/backend.h): the installation is prepared (or checked) as the URI's
// owning role, the users are read as that role, and the sessions log in as
// the sessions' role (server/postgres/site.h). With setup.usersDatabase the
// users come from that SQLite file instead and the sessions connect with the
// URI itself (or setup.sessionConninfo).
bool openPostgresDatabases(const DatabaseSetup& setup, Databases& out, std::string& error);

}  // namespace lumbra::server
