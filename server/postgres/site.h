// lumbra-server's installation in a PostgreSQL database: its schema, its two roles, its users.
//
// A server on PostgreSQL is given one libpq URI (--database postgresql://...)
// naming the owning role: the role that owns the server's own schema and
// reads and writes the users. Sessions never use it. The installation:
//
//   schema lumbra_server        owned by the owning role; no other role has
//                               any privilege on it or on its tables.
//     users                     id (text, "C" collation: sorted by bytes),
//                               hash ("pbkdf2-sha256$N$SALT$HASH", as with
//                               SQLite), changed (timestamptz).
//     session_login             one row: the sessions' role and its password.
//   role lumbra_session_<oid>   the sessions' role (<oid> of the database, as
//                               roles are shared by the databases of a
//                               cluster): LOGIN; no SUPERUSER, CREATEDB,
//                               CREATEROLE, REPLICATION, BYPASSRLS; member of
//                               no role, above all not of the owning role, so
//                               no SET ROLE leads to it. Its password, 64 random
//                               hex digits, is made at set-up and kept in
//                               session_login, which only the owning role reads.
//   schema public               where the sessions' tables live: the sessions'
//                               role has USAGE and CREATE on it (PostgreSQL 15
//                               no longer gives CREATE to PUBLIC), and CONNECT
//                               on the database.
//
// Every session connection logs in AS the sessions' role (not as the owning
// role with a SET ROLE that the session could undo), so session SQL has the
// sessions' role's privileges and no more: it can neither read nor change the
// users or the session password, nor create roles, nor become the owner.
//
// The set-up is server/postgres/setup.sql, built into the server: it creates
// what is missing, changes nothing when all is there, and takes a
// transaction-scoped advisory lock, so that servers and `user` commands
// starting at once on one database wait for each other. The server runs it
// as the owning role at every start and before every `user` command; when
// that role may create roles (the database's owner with CREATEROLE, or a
// superuser), nothing else is needed. Otherwise an operator runs the script
// once as a role that may, and the server then only finds everything in place
// (or says what is missing and how to mend it). After the set-up the server
// logs in once as the sessions' role and refuses to start if that fails or if
// that role reaches the schema lumbra_server.
#pragma once

#include <memory>
#include <string>

#include "server/users.h"

namespace lumbra::server::pg {

inline constexpr char kSchema[] = "lumbra_server";

struct Site {
  std::string sessionRole;
  // The libpq connection string of session connections: the owner URI's
  // parameters (host, port, dbname, sslmode, ...) with the sessions' role
  // and its password in place of the URI's user and password.
  std::string sessionConninfo;
};

// Prepares (or checks) the installation in the database of `ownerUri` and
// tries a login as the sessions' role. False with `error` (a sentence, with
// what to do about it where that is known) when anything fails.
bool prepareSite(const std::string& ownerUri, Site& site, std::string& error);

// A session may change its own role's password (PostgreSQL lets every role
// do that), after which no new session connection logs in. When a login of
// `failedConninfo` has failed: takes the password another server has renewed
// since, or keeps the stored one when it works after all, or else gives the
// sessions' role a new password (as the owning role, which must be allowed to
// alter roles) and keeps it. Takes back the settings a session may have
// given its own role (ALTER ROLE CURRENT_USER SET search_path, bytea_output,
// ...), which would be the defaults of every later session connection.
// `site` gets the login to use. False with `error`.
bool renewSessionLogin(const std::string& ownerUri, const std::string& failedConninfo, Site& site,
                       std::string& error);

// `uri` with its password (in the user part or as a parameter) shown as ***,
// for messages and the log.
std::string redactedUri(const std::string& uri);

// The text of server/postgres/setup.sql.
const char* setupScript();

// The users in lumbra_server.users, reached through connections of the
// owning role (one for reads, one for changes; a change waits at most two
// seconds for a row another writer holds). `prepare`: run the set-up first
// (for the `user` commands; a server has run it already). nullptr with
// `error` on failure.
std::unique_ptr<UserStore> openUserStore(const std::string& ownerUri, bool prepare, std::string& error);

}  // namespace lumbra::server::pg
