// The two files of a server on SQLite, the database PATH and its users PATH.users: told apart, checked, made, converted, copied.
//
// Each file says what it is in SQLite's header (PRAGMA application_id):
//
//   PATH          kDatabaseMark, and an empty table lumbra_server_users
//                 (reserved INTEGER) that keeps the old name of the users'
//                 table taken.
//   PATH.users    kUsersMark, user_version 1, the table lumbra_server_users
//                 (id, hash, changed).
//
// Files of servers from before the marks carry application_id 0 and are told
// by their tables: the reserved table makes a database, the users' table with
// user_version 1 a file of users, and the users' table without it a database
// of the oldest layout, which kept its users inside. Such a database is
// served only once `lumbra-server upgrade` has converted it (after writing a
// backup); nothing is ever converted at a start or by a `user` command.
//
// Checking writes nothing: a file is read through a read-only connection, and
// one with no -wal beside it (no server has it open) as immutable, so that
// no -wal or -shm file is left behind either.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumbra::server {

inline constexpr std::int32_t kDatabaseMark = 0x4C4D4244;  // "LMBD"
inline constexpr std::int32_t kUsersMark = 0x4C4D4255;     // "LMBU"

enum class FileKind {
  Missing,      // no file at the path
  Database,     // a database of the server
  Users,        // a file of users
  OldDatabase,  // a database of the oldest layout, its users inside
  Other,        // anything else (not SQLite, another program's database, unreadable)
};

struct FileInspection {
  FileKind kind = FileKind::Missing;
  bool marked = false;  // carries its application_id (not a file of an older server)
  int users = 0;        // users held (Users, OldDatabase)
  std::string detail;   // why it is Other
};

// What the file at `path` is. Writes nothing.
FileInspection inspectFile(const std::string& path);

// Checks that `databasePath` is a database of the server with its file of
// users beside it, writing nothing. The number of users, or nothing with
// `error` set to one line: what is wrong, and what to do about it.
std::optional<int> checkDatabase(const std::string& databasePath, std::string& error);

// Makes a new, empty database and its file of users (mode 0600), each that is
// missing; one that exists is checked and kept. `report` says what was done.
// False with `error`; what this call created is removed again.
bool createDatabase(const std::string& databasePath, std::string& report, std::string& error);

// Converts a database of an older server: a database of the oldest layout has
// a backup written beside it first (PATH.before-upgrade), then its users
// moved to PATH.users and its table of users replaced by the reserved one;
// files without their mark get it. `report` says each step, or that there was
// nothing to do. False with `error`, the database as it was.
bool upgradeDatabase(const std::string& databasePath, std::string& report, std::string& error);

// The identifications in the database's file of users, sorted by bytes,
// read without writing anything. Nothing with `error`.
std::optional<std::vector<std::string>> readUsers(const std::string& databasePath, std::string& error);

// Copies the database and its users to `destination` and `destination.users`
// with SQLite's online backup, while servers run on them (each file one
// consistent snapshot). Neither destination may exist. False with `error`;
// no partial copy is left.
bool backupDatabase(const std::string& databasePath, const std::string& destination, std::string& report,
                    std::string& error);

}  // namespace lumbra::server
