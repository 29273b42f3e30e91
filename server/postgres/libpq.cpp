#include "server/postgres/libpq.h"

#include <poll.h>

#include <cerrno>

namespace lumbra::server::pg {

namespace {

std::string trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

bool waitReadable(PGconn* conn, int milliseconds) {
  pollfd socket{PQsocket(conn), POLLIN, 0};
  if (socket.fd < 0) return true;  // no socket: reading says why at once
  int ready = 0;
  do {
    ready = ::poll(&socket, 1, milliseconds);
  } while (ready < 0 && errno == EINTR);
  return ready != 0;
}

bool isPostgresUri(std::string_view text) {
  return text.substr(0, 13) == "postgresql://" || text.substr(0, 11) == "postgres://";
}

Connection connect(const std::string& conninfo, std::string& error,
                   const std::vector<std::pair<std::string, std::string>>& overrides) {
  // "dbname" first with expand_dbname: the string (or URI) gives the defaults,
  // and the keywords after it override what it says.
  std::vector<const char*> keywords{"dbname"};
  std::vector<const char*> values{conninfo.c_str()};
  for (const auto& [keyword, value] : overrides) {
    keywords.push_back(keyword.c_str());
    values.push_back(value.c_str());
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  Connection conn(PQconnectdbParams(keywords.data(), values.data(), 1));
  if (!conn) {
    error = "out of memory";
    return nullptr;
  }
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    error = errorText(conn.get());
    return nullptr;
  }
  return conn;
}

Result exec(PGconn* conn, const std::string& sql) {
  Result result(PQexec(conn, sql.c_str()));
  if (!result) result.reset(PQmakeEmptyPGresult(conn, PGRES_FATAL_ERROR));
  return result;
}

bool ok(const PGresult* result) {
  ExecStatusType status = PQresultStatus(result);
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_SINGLE_TUPLE;
}

std::string errorText(const PGresult* result) {
  std::string text = trimmed(PQresultErrorMessage(result));
  if (text.empty() && !ok(result)) text = PQresStatus(PQresultStatus(result));
  return text;
}

std::string errorText(const PGconn* conn) { return trimmed(PQerrorMessage(conn)); }

std::string sqlState(const PGresult* result) {
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  return state ? state : "";
}

std::string quoteIdentifier(PGconn* conn, std::string_view name) {
  char* quoted = PQescapeIdentifier(conn, name.data(), name.size());
  if (!quoted) return {};
  std::string s = quoted;
  PQfreemem(quoted);
  return s;
}

std::string quoteLiteral(PGconn* conn, std::string_view value) {
  char* quoted = PQescapeLiteral(conn, value.data(), value.size());
  if (!quoted) return {};
  std::string s = quoted;
  PQfreemem(quoted);
  return s;
}

}  // namespace lumbra::server::pg
