// The libpq handles and calls the PostgreSQL code shares, against the run's throwaway PostgreSQL.
#include "server/postgres/libpq.h"

#include <gtest/gtest.h>

#include "tests/support/postgres_uri.h"

namespace lumbra::server::pg {
namespace {

TEST(Libpq, TellsPostgresUrisFromFilePaths) {
  struct Case {
    const char* text;
    bool postgres;
  } cases[] = {
      {"postgresql://u@127.0.0.1/db", true}, {"postgres://127.0.0.1", true}, {"lumbra-server.db", false},
      {"/var/lib/postgresql://x", false},    {"postgresql:/nothing", false}, {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isPostgresUri(c.text), c.postgres) << c.text;
}

TEST(Libpq, ConnectsAndOverridesWhatTheUriSays) {
  std::string uri;
  LUMBRA_REQUIRE_POSTGRES(uri);
  std::string error;
  Connection owner = connect(uri, error);
  ASSERT_TRUE(owner) << error;
  Result r = exec(owner.get(), "SELECT current_user, current_database()");
  ASSERT_TRUE(ok(r.get())) << errorText(r.get());
  EXPECT_STREQ(PQgetvalue(r.get(), 0, 0), "lumbra_owner");
  EXPECT_STREQ(PQgetvalue(r.get(), 0, 1), "lumbra");

  // An override wins over the URI: a wrong password is refused with the server's reason.
  Connection refused = connect(uri, error, {{"password", "not-the-password"}});
  EXPECT_FALSE(refused);
  EXPECT_NE(error.find("password authentication failed"), std::string::npos) << error;
  EXPECT_NE(error.back(), '\n');
}

TEST(Libpq, ReportsErrorsWithTheirStateAndQuotesSafely) {
  std::string uri;
  LUMBRA_REQUIRE_POSTGRES(uri);
  std::string error;
  Connection conn = connect(uri, error);
  ASSERT_TRUE(conn) << error;
  Result bad = exec(conn.get(), "SELECT * FROM no_such_table_here");
  EXPECT_FALSE(ok(bad.get()));
  EXPECT_EQ(sqlState(bad.get()), "42P01");
  EXPECT_NE(errorText(bad.get()).find("no_such_table_here"), std::string::npos);

  const std::string nasty = "it's \"quoted\"; DROP TABLE x; --";
  Result echoed = exec(
      conn.get(), "SELECT " + quoteLiteral(conn.get(), nasty) + " AS " + quoteIdentifier(conn.get(), nasty));
  ASSERT_TRUE(ok(echoed.get())) << errorText(echoed.get());
  EXPECT_EQ(PQgetvalue(echoed.get(), 0, 0), nasty);
  EXPECT_EQ(PQfname(echoed.get(), 0), nasty);
}

}  // namespace
}  // namespace lumbra::server::pg
