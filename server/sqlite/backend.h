// The SQLite backend: a database file, one hardened connection per session (server/database.h).
//
// Each session keeps its own connection for its life (nothing is pooled: a
// connection to a file costs two descriptors and no server process). Writes
// take SQLite's one write lock with BEGIN IMMEDIATE, which never waits inside
// SQLite: a session that finds it taken gets kBusy and waits outside SQLite,
// woken (LockReleases) as soon as another session of the server commits or
// rolls back, up to the session's busy timeout. The statement deadline and
// the session's interruption are checked by a progress handler. The server
// keeps one more connection of its own open for its life (so that the file's
// log is not checkpointed away each time the last session closes).
#pragma once

#include <memory>
#include <string>

#include "server/backend.h"

struct sqlite3_stmt;

namespace lumbra::server {

// The backend on the SQLite file `path` (opened by each connect()).
std::unique_ptr<Backend> openSqliteBackend(const std::string& path);

// A server's start on the SQLite file setup.database (server/backend.h).
bool openSqliteDatabases(const DatabaseSetup& setup, Databases& out, std::string& error);

// SQLite's heap in the whole process, at most `megabytes` (0: no limit).
void limitSqliteMemory(long long megabytes);

// The rows of a prepared statement, which they finalize.
std::unique_ptr<Rows> sqliteRows(sqlite3_stmt* stmt);

}  // namespace lumbra::server
