// Binding a session statement for PostgreSQL: PARM values as untyped text parameters, a binary insert's bytes as bytea.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/backend.h"
#include "server/postgres/libpq.h"

namespace lumbra::server::pg {

// The parameters of one statement for PQexecParams, and the statement with
// its ":NAME"s made into "$k" (server/postgres/sql_text.h: bindNames).
struct Bound {
  // `blob`: the bytes of a binary insert, bound to the statement's first '?'
  // (blobIndex says which parameter it became; 0 when there was none).
  Bound(std::string_view statement, const Parameters& parameters, const std::string_view* blob);

  std::string sql;
  std::vector<std::string> names;
  std::vector<std::string> texts;
  std::vector<const char*> values;
  std::vector<int> lengths;
  std::vector<int> formats;
  std::vector<Oid> types;
  int blobIndex = 0;
};

}  // namespace lumbra::server::pg
