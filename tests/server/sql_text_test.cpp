// Session SQL read for PostgreSQL: where statements end, their first word, and PARM names made into $n.
#include "server/postgres/sql_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumbra::server::pg {
namespace {

TEST(PostgresSqlText, SplitsOnlyAtSemicolonsOutsideQuotedForms) {
  struct Case {
    const char* sql;
    std::vector<std::string> statements;
  } cases[] = {
      {"SELECT 1; SELECT 2", {"SELECT 1", " SELECT 2"}},
      {"SELECT 1;;  ; -- nothing\n", {"SELECT 1"}},
      {"INSERT INTO T VALUES ('a;b', \"c;d\")", {"INSERT INTO T VALUES ('a;b', \"c;d\")"}},
      {"SELECT 'it''s;'; SELECT E'\\';'", {"SELECT 'it''s;'", " SELECT E'\\';'"}},
      {"SELECT $$;$$, $f$ $$; $f$; SELECT 3", {"SELECT $$;$$, $f$ $$; $f$", " SELECT 3"}},
      {"SELECT 1 /* a; /* nested; */ b; */ ; SELECT 2 -- x;\n",
       {"SELECT 1 /* a; /* nested; */ b; */ ", " SELECT 2 -- x;\n"}},
      {"SELECT $1; SELECT 'unclosed;", {"SELECT $1", " SELECT 'unclosed;"}},
      {"  /* only */ -- comments\n", {}},
      {"SELECT ''", {"SELECT ''"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (std::string_view each : splitStatements(c.sql)) got.emplace_back(each);
    EXPECT_EQ(got, c.statements) << c.sql;
  }
}

TEST(PostgresSqlText, FindsTheLeadingWordAndWholeWords) {
  EXPECT_EQ(leadingWord("  /* c */ begin;"), "BEGIN");
  EXPECT_EQ(leadingWord("-- c\n(select 1)"), "SELECT");
  EXPECT_EQ(leadingWord("'x'"), "");
  EXPECT_TRUE(holdsWord("WITH a AS (delete FROM t RETURNING *) SELECT 1", "DELETE"));
  EXPECT_FALSE(holdsWord("SELECT 'delete', deleted, \"delete\" FROM t -- delete", "DELETE"));
}

TEST(PostgresSqlText, BindsParmNamesOutsideQuotesAndCasts) {
  std::vector<std::string> names;
  int blob = 0;
  EXPECT_EQ(
      bindNames("SELECT :k, :K::text, x::int, ':k', \":k\" FROM t WHERE a = :other_1", names, false, blob),
      "SELECT $1, $1::text, x::int, ':k', \":k\" FROM t WHERE a = $2");
  EXPECT_EQ(names, (std::vector<std::string>{"K", "OTHER_1"}));
  EXPECT_EQ(blob, 0);
  names.clear();
  EXPECT_EQ(bindNames("INSERT INTO f VALUES (:ID, '?', ?, ?)", names, true, blob),
            "INSERT INTO f VALUES ($1, '?', $2, ?)");
  EXPECT_EQ(blob, 2);
  EXPECT_EQ(names, (std::vector<std::string>{"ID", ""}));
}

}  // namespace
}  // namespace lumbra::server::pg
