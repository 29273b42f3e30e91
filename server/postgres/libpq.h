// libpq, held by its handles: connections and results that free themselves, and the few calls every user of them repeats.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumbra::server::pg {

struct ConnectionDeleter {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct ResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Connection = std::unique_ptr<PGconn, ConnectionDeleter>;
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// Type oids of pg_type, as every server has them.
inline constexpr Oid kByteaType = 17, kInt8Type = 20, kInt2Type = 21, kInt4Type = 23, kOidType = 26,
                     kFloat4Type = 700, kFloat8Type = 701, kUnknownType = 705, kNumericType = 1700;

// Whether a --database value names a PostgreSQL database (a libpq connection
// URI, "postgresql://..." or "postgres://...") rather than a SQLite file.
bool isPostgresUri(std::string_view text);

// Connects with a libpq connection string or URI; each of `overrides` (a
// keyword such as "user" or "password", and its value) replaces what the
// string says. nullptr with `error` set on failure.
Connection connect(const std::string& conninfo, std::string& error,
                   const std::vector<std::pair<std::string, std::string>>& overrides = {});

// PQexec of one or more statements; never nullptr (an out-of-memory result is
// made into a fatal one).
Result exec(PGconn* conn, const std::string& sql);

// Waits at most `milliseconds` for the connection's socket to have something
// to read (or to fail): false when the time ran out first.
bool waitReadable(PGconn* conn, int milliseconds);

// Whether a result reports success (a command done, or rows).
bool ok(const PGresult* result);

// The error of a result or of a connection, without libpq's trailing newline.
std::string errorText(const PGresult* result);
std::string errorText(const PGconn* conn);

// The five-character SQLSTATE of a failed result ("" when there is none).
std::string sqlState(const PGresult* result);

// An identifier or a literal quoted for SQL text on this connection (empty
// when libpq refuses it, which only an invalid encoding makes it do).
std::string quoteIdentifier(PGconn* conn, std::string_view name);
std::string quoteLiteral(PGconn* conn, std::string_view value);

}  // namespace lumbra::server::pg
