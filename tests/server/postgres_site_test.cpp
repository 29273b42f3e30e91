// The PostgreSQL installation: set-up by owner, superuser and script; the sessions' role; the users.
#include "server/postgres/site.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/postgres/libpq.h"
#include "server/users.h"
#include "tests/support/postgres_database.h"
#include "tests/support/temp_dir.h"

namespace lumbra::server::pg {
namespace {

using lumbra::testing::ScratchDatabase;
using lumbra::testing::ScratchRole;

// One value of a one-row query, or "ERROR <text>".
std::string value(PGconn* conn, const std::string& sql) {
  Result result = exec(conn, sql);
  if (!ok(result.get())) return "ERROR " + errorText(result.get());
  if (PQntuples(result.get()) != 1) return "ROWS " + std::to_string(PQntuples(result.get()));
  return PQgetisnull(result.get(), 0, 0) ? "NULL" : PQgetvalue(result.get(), 0, 0);
}

// What the set-up writes, down to the row versions (xmin): a second set-up
// that rewrote any of it, even with the same contents, shows here.
std::string snapshot(PGconn* super, const std::string& role) {
  return value(
      super,
      "SELECT concat_ws(' | ', "
      "(SELECT string_agg(nspname || ':' || xmin || ':' || coalesce(nspacl::text, ''), ',' ORDER BY nspname)"
      "   FROM pg_namespace WHERE nspname IN ('public', 'lumbra_server')),"
      "(SELECT xmin || ':' || rolpassword || ':' || rolcanlogin FROM pg_authid WHERE rolname = '" +
          role +
          "'),"
          "(SELECT xmin || ':' || role_name || ':' || password FROM lumbra_server.session_login),"
          "(SELECT string_agg(relname || ':' || xmin, ',' ORDER BY relname) FROM pg_class"
          "   WHERE relnamespace = 'lumbra_server'::regnamespace),"
          "(SELECT xmin || ':' || coalesce(datacl::text, '') FROM pg_database"
          "   WHERE datname = current_database()))");
}

class PostgresSite : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string uri;
    LUMBRA_REQUIRE_POSTGRES(uri);
    database_ = std::make_unique<ScratchDatabase>();
    ASSERT_TRUE(database_->ready()) << database_->error();
    std::string error;
    super_ = connect(database_->superuserUri(), error);
    ASSERT_TRUE(super_) << error;
  }
  void TearDown() override {
    super_.reset();
    database_.reset();
  }

  std::unique_ptr<ScratchDatabase> database_;
  Connection super_;  // the superuser, in the test's database
};

TEST_F(PostgresSite, SetsUpAnEmptyDatabaseAsOwnerOrSuperuserAndASecondRunChangesNothing) {
  for (bool asSuperuser : {false, true}) {
    SCOPED_TRACE(asSuperuser ? "superuser" : "owner with CREATEROLE");
    if (asSuperuser) {
      TearDown();
      SetUp();
    }
    const std::string uri = asSuperuser ? database_->superuserUri() : database_->ownerUri();
    const std::string owner = asSuperuser ? "postgres" : "lumbra_owner";
    Site site;
    std::string error;
    ASSERT_TRUE(prepareSite(uri, site, error)) << error;
    EXPECT_EQ(site.sessionRole, database_->sessionRole());
    EXPECT_EQ(site.sessionConninfo.find(":" + owner), std::string::npos);

    EXPECT_EQ(value(super_.get(),
                    "SELECT pg_get_userbyid(nspowner) FROM pg_namespace WHERE nspname = 'lumbra_server'"),
              owner);
    EXPECT_EQ(value(super_.get(),
                    "SELECT string_agg(DISTINCT pg_get_userbyid(relowner), ',') FROM pg_class "
                    "WHERE relnamespace = 'lumbra_server'::regnamespace AND relkind = 'r'"),
              owner);
    EXPECT_EQ(value(super_.get(),
                    "SELECT concat_ws(',', rolcanlogin, rolsuper, rolcreaterole, rolcreatedb, "
                    "rolreplication, rolbypassrls, rolinherit) FROM pg_roles WHERE rolname = '" +
                        site.sessionRole + "'"),
              "t,f,f,f,f,f,t");
    EXPECT_EQ(value(super_.get(), "SELECT count(*) FROM pg_auth_members WHERE member = '" + site.sessionRole +
                                      "'::regrole"),
              "0");
    EXPECT_EQ(value(super_.get(), "SELECT has_schema_privilege('" + site.sessionRole +
                                      "', 'public', 'CREATE') AND NOT has_schema_privilege('" +
                                      site.sessionRole + "', 'lumbra_server', 'USAGE')"),
              "t");
    // The password is a SCRAM verifier on the server, 64 hex digits in the conninfo.
    EXPECT_EQ(value(super_.get(),
                    "SELECT left(rolpassword, 14) FROM pg_authid WHERE rolname = '" + site.sessionRole + "'"),
              "SCRAM-SHA-256$");

    std::string before = snapshot(super_.get(), site.sessionRole);
    Site again;
    ASSERT_TRUE(prepareSite(uri, again, error)) << error;
    EXPECT_EQ(snapshot(super_.get(), site.sessionRole), before);
    EXPECT_EQ(again.sessionConninfo, site.sessionConninfo);
  }
}

TEST_F(PostgresSite, TwoSetUpsAtOnceMakeOneInstallation) {
  Site sites[4];
  std::string errors[4];
  bool done[4] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] { done[i] = prepareSite(database_->ownerUri(), sites[i], errors[i]); });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(done[i]) << errors[i];
    EXPECT_EQ(sites[i].sessionConninfo, sites[0].sessionConninfo);
  }
  EXPECT_EQ(value(super_.get(), "SELECT count(*) FROM lumbra_server.session_login"), "1");
}

TEST_F(PostgresSite, TheSessionsRoleCanNeitherReachTheUsersNorEscalate) {
  Site site;
  std::string error;
  ASSERT_TRUE(prepareSite(database_->ownerUri(), site, error)) << error;
  auto users = openUserStore(database_->ownerUri(), false, error);
  ASSERT_TRUE(users) << error;
  ASSERT_EQ(users->add("ALICE", "SECRET", 10), UserStore::Result::Ok);
  const std::string hash = users->storedHash("ALICE").value_or("");

  Connection session = connect(site.sessionConninfo, error);
  ASSERT_TRUE(session) << error;
  EXPECT_EQ(value(session.get(), "SELECT session_user || ',' || current_user"),
            site.sessionRole + "," + site.sessionRole);
  // The sessions' own tables live in public.
  EXPECT_EQ(
      value(session.get(), "CREATE TABLE T1 (ID INTEGER); INSERT INTO T1 VALUES (7); SELECT ID FROM T1"),
      "7");

  const std::string self = site.sessionRole;
  const char* refused[] = {
      "SELECT * FROM lumbra_server.users",
      "SELECT password FROM lumbra_server.session_login",
      "INSERT INTO lumbra_server.users (id, hash) VALUES ('EVE', 'x')",
      "UPDATE lumbra_server.users SET hash = 'x'",
      "DELETE FROM lumbra_server.users",
      "CREATE TABLE lumbra_server.t (x int)",
      "CREATE VIEW v AS SELECT * FROM lumbra_server.users",
      "DROP SCHEMA lumbra_server CASCADE",
      "ALTER TABLE lumbra_server.users OWNER TO CURRENT_USER",
      "SET ROLE lumbra_owner",
      "SET SESSION AUTHORIZATION lumbra_owner",
      "SET ROLE postgres",
      "CREATE ROLE eve LOGIN SUPERUSER",
      "CREATE ROLE eve",
      "CREATE SCHEMA eve",
      "CREATE DATABASE eve",
      "GRANT lumbra_owner TO CURRENT_USER",
      "SELECT rolpassword FROM pg_authid",
      "SELECT pg_read_file('PG_VERSION')",
      "COPY (SELECT 1) TO PROGRAM 'true'",
  };
  for (const char* sql : refused) {
    Result result = exec(session.get(), sql);
    EXPECT_FALSE(ok(result.get())) << sql;
    EXPECT_EQ(sqlState(result.get()), "42501") << sql << ": " << errorText(result.get());
  }
  for (std::string sql : {"ALTER ROLE " + self + " CREATEROLE", "ALTER ROLE " + self + " SUPERUSER",
                          "ALTER ROLE " + self + " BYPASSRLS"}) {
    Result result = exec(session.get(), sql);
    EXPECT_FALSE(ok(result.get())) << sql;
    EXPECT_EQ(sqlState(result.get()), "42501") << sql << ": " << errorText(result.get());
  }
  EXPECT_EQ(users->storedHash("ALICE").value_or(""), hash);
  EXPECT_EQ(users->list(), std::vector<std::string>{"ALICE"});
}

TEST_F(PostgresSite, GrantsMadeByHandAreTakenBackOrRefused) {
  Site site;
  std::string error;
  ASSERT_TRUE(prepareSite(database_->ownerUri(), site, error)) << error;
  const std::string role = site.sessionRole;
  const std::string helper = database_->name() + "_helper";
  struct Case {
    std::string grant;
    const char* refusal;  // nullptr: the set-up takes the grant back
  } cases[] = {
      {"GRANT USAGE, CREATE ON SCHEMA lumbra_server TO " + role, nullptr},
      {"ALTER ROLE " + role + " CREATEDB CREATEROLE", nullptr},
      {"ALTER ROLE " + role + " SET search_path = nowhere; ALTER ROLE " + role + " IN DATABASE " +
           database_->name() + " SET bytea_output = escape",
       nullptr},
      {"GRANT USAGE ON SCHEMA lumbra_server TO PUBLIC; GRANT SELECT ON lumbra_server.users TO PUBLIC",
       nullptr},
      {"CREATE ROLE " + helper + "; GRANT USAGE ON SCHEMA lumbra_server TO " + helper + "; GRANT " + helper +
           " TO " + role,
       "through another role"},
      {"GRANT lumbra_owner TO " + role, "is a member of lumbra_owner"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.grant);
    ASSERT_EQ(value(super_.get(), c.grant + "; SELECT 'done'"), "done");
    Site again;
    bool prepared = prepareSite(database_->ownerUri(), again, error);
    if (c.refusal == nullptr) {
      EXPECT_TRUE(prepared) << error;
      EXPECT_EQ(value(super_.get(), "SELECT has_schema_privilege('" + role + "', 'lumbra_server', 'USAGE')"),
                "f");
      EXPECT_EQ(value(super_.get(),
                      "SELECT count(*) FROM pg_db_role_setting WHERE setrole = '" + role + "'::regrole"),
                "0");
      EXPECT_EQ(value(super_.get(),
                      "SELECT rolcreatedb OR rolcreaterole FROM pg_roles WHERE rolname = '" + role + "'"),
                "f");
    } else {
      EXPECT_FALSE(prepared);
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
    }
  }
  value(super_.get(),
        "REVOKE lumbra_owner FROM " + role + "; DROP OWNED BY " + helper + "; DROP ROLE " + helper);
}

// A session login naming another database's role (a dump restored under
// another name) is made anew for this database.
TEST_F(PostgresSite, ASessionLoginOfAnotherDatabaseIsMadeAnew) {
  Site site;
  std::string error;
  ASSERT_TRUE(prepareSite(database_->ownerUri(), site, error)) << error;
  ASSERT_EQ(value(super_.get(),
                  "UPDATE lumbra_server.session_login SET role_name = 'lumbra_session_1', "
                  "password = 'copied'; SELECT 'done'"),
            "done");
  Site again;
  ASSERT_TRUE(prepareSite(database_->ownerUri(), again, error)) << error;
  EXPECT_EQ(again.sessionRole, database_->sessionRole());
  EXPECT_NE(again.sessionConninfo, site.sessionConninfo);  // a new password
  EXPECT_EQ(value(super_.get(), "SELECT count(*) FROM pg_roles WHERE rolname = 'lumbra_session_1'"), "0");
}

// A role that may not create roles owns the database: the server says what to
// do; once an operator has run the script, it finds everything and changes nothing.
TEST_F(PostgresSite, AnOwnerThatMayNotCreateRolesUsesTheScript) {
  ScratchRole role(database_->superuser(), "lumbra_plain_" + std::to_string(getpid()), "plainpw");
  ASSERT_TRUE(role.created()) << role.error();
  const std::string& plain = role.name();
  {
    ScratchDatabase database(plain);
    ASSERT_TRUE(database.ready()) << database.error();
    const std::string uri = database.uriAs(plain, "plainpw");

    Site site;
    std::string error;
    EXPECT_FALSE(prepareSite(uri, site, error));
    EXPECT_NE(error.find("may not create roles"), std::string::npos) << error;
    EXPECT_NE(error.find("setup.sql"), std::string::npos) << error;
    EXPECT_EQ(UserStore::open(uri, error), nullptr);
    Connection super = connect(database.superuserUri(), error);
    ASSERT_TRUE(super) << error;
    EXPECT_EQ(value(super.get(), "SELECT count(*) FROM pg_namespace WHERE nspname = 'lumbra_server'"), "0");

    // The documented command, run by the superuser.
    std::string command = "psql -X -q -v ON_ERROR_STOP=1 -d '" + database.superuserUri() +
                          "' -c 'SET lumbra.owner = " + plain +
                          "' -f '" SUITE_SOURCE_DIR "/server/postgres/setup.sql' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_EQ(value(super.get(),
                    "SELECT pg_get_userbyid(nspowner) FROM pg_namespace WHERE nspname = 'lumbra_server'"),
              plain);

    std::string before = snapshot(super.get(), database.sessionRole());
    ASSERT_TRUE(prepareSite(uri, site, error)) << error;
    EXPECT_EQ(snapshot(super.get(), database.sessionRole()), before);
    auto users = UserStore::open(uri, error);
    ASSERT_TRUE(users) << error;
    EXPECT_EQ(users->add("ALICE", "SECRET", 10), UserStore::Result::Ok);
    EXPECT_TRUE(users->check("ALICE", "SECRET"));
  }
}

TEST_F(PostgresSite, AFailedConnectionSaysWhyWithoutThePassword) {
  std::string uri = database_->ownerUri();
  std::string::size_type colon = uri.find(':', uri.find("//"));
  std::string password = uri.substr(colon + 1, uri.find('@') - colon - 1);
  std::string wrong = uri.substr(0, colon + 1) + "wrong" + uri.substr(uri.find('@'));
  Site site;
  std::string error;
  EXPECT_FALSE(prepareSite(wrong, site, error));
  EXPECT_NE(error.find("password authentication failed"), std::string::npos) << error;
  EXPECT_EQ(redactedUri(uri).find(password), std::string::npos) << redactedUri(uri);
  EXPECT_EQ(redactedUri("postgresql://h/db?user=u&password=" + password + "&sslmode=disable"),
            "postgresql://h/db?user=u&password=***&sslmode=disable");
}

// Both stores answer alike.
TEST_F(PostgresSite, TheUserStoreBehavesAsTheFileOne) {
  const suite_test::TempDir folder("lumbra-users");
  for (const std::string& where : {folder.file("users.db"), database_->ownerUri()}) {
    SCOPED_TRACE(isPostgresUri(where) ? "PostgreSQL" : "SQLite");
    std::string error;
    auto users = UserStore::open(where, error);
    ASSERT_TRUE(users) << error;
    using R = UserStore::Result;
    for (const char* id : {"b", "B", "_a", "a1", "Z"}) EXPECT_EQ(users->add(id, "PW1", 10), R::Ok) << id;
    EXPECT_EQ(users->add("B", "PW2", 10), R::Exists);
    EXPECT_EQ(users->setPassword("NOBODY", "PW2", 10), R::NotFound);
    EXPECT_EQ(users->remove("NOBODY"), R::NotFound);
    EXPECT_EQ(users->setPassword("B", "PW2", 10), R::Ok);
    EXPECT_EQ(users->remove("b"), R::Ok);
    EXPECT_EQ(users->list(), (std::vector<std::string>{"B", "Z", "_a", "a1"}));
    EXPECT_TRUE(users->check("B", "PW2"));
    EXPECT_FALSE(users->check("B", "PW1"));
    EXPECT_FALSE(users->check("b", "PW1"));
    EXPECT_FALSE(users->check("NOT VALID", "PW1"));
    EXPECT_TRUE(users->storedHash("Z").value_or("").starts_with("pbkdf2-sha256$10$"));
  }
}

}  // namespace
}  // namespace lumbra::server::pg
