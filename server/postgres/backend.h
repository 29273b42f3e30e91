// The PostgreSQL backend: sessions served from a bounded pool of libpq connections.
//
// The pool (server/postgres/pool.h): the server opens at most
// BackendOptions::poolSize connections (--pool-size, default 20) and shares
// them among all its sessions. A session holds a connection only while it has
// a write transaction or an open result whose rows are not all kept (and
// while one message is being handled); otherwise the connection goes back to
// the pool after each message. Chosen over a connection per session because
// a PostgreSQL connection is a server process: 1,000 mostly idle sessions
// must not cost 1,000 of them, and two servers of 1,000 sessions each stay
// within PostgreSQL's max_connections. Transaction semantics stay per
// session: a connection is given back only with no transaction open on it
// (one that fails or is left in a transaction is closed instead). When every
// connection is taken, connect() reports `busy` and the session asks again
// every 20 ms up to its busy timeout, then refuses with 2005 as for a lock.
// A connection that waited in the pool is checked before it is handed out,
// so a PostgreSQL restarted under the server costs no session an error.
//
// The session connection (server/postgres/connection.h: transactions, limits,
// what session SQL may do), its rows (server/postgres/rows.h: a scrolling
// cursor fetched in batches), the binding of PARM values
// (server/postgres/binding.h). Texts travel as Windows-1252 (client_encoding
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
