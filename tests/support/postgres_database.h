// An empty PostgreSQL database of a test's own, dropped with the sessions' role made for it.
#pragma once

#include <libpq-fe.h>

#include <atomic>
#include <string>
#include <unistd.h>

#include "server/postgres/libpq.h"
#include "tests/support/postgres_uri.h"

namespace lumbra::testing {

// CREATE DATABASE <name> OWNER <owner> through the superuser; the destructor
// drops it, and the sessions' role lumbra-server made for it. `ownerUri()`
// and `superuserUri()` reach that database.
class ScratchDatabase {
 public:
  // `owner`: the owning role (empty: the run's lumbra_owner).
  explicit ScratchDatabase(const std::string& owner = "") {
    static std::atomic<int> counter{0};
    name_ = "lumbra_t" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    owner_ = owner.empty() ? "lumbra_owner" : owner;
    std::string baseOwner = postgresUri();
    std::string baseSuper = postgresUri("superuser-uri");
    if (baseOwner.empty() || baseSuper.empty()) return;
    ownerUri_ = withDatabase(baseOwner, name_);
    superuserUri_ = withDatabase(baseSuper, name_);
    super_ = server::pg::connect(baseSuper, error_);
    if (!super_) return;
    PQsetNoticeProcessor(
        super_.get(), [](void*, const char*) {}, nullptr);
    server::pg::Result made = server::pg::exec(super_.get(), "CREATE DATABASE " + name_ + " OWNER " + owner_);
    if (!server::pg::ok(made.get())) {
      error_ = server::pg::errorText(made.get());
      super_.reset();
      return;
    }
    server::pg::Result oid =
        server::pg::exec(super_.get(), "SELECT oid FROM pg_database WHERE datname = '" + name_ + "'");
    if (server::pg::ok(oid.get()) && PQntuples(oid.get()) == 1)
      sessionRole_ = std::string("lumbra_session_") + PQgetvalue(oid.get(), 0, 0);
  }
  ~ScratchDatabase() {
    if (!super_) return;
    server::pg::exec(super_.get(), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    if (!sessionRole_.empty()) server::pg::exec(super_.get(), "DROP ROLE IF EXISTS " + sessionRole_);
  }
  ScratchDatabase(const ScratchDatabase&) = delete;
  ScratchDatabase& operator=(const ScratchDatabase&) = delete;

  bool ready() const { return static_cast<bool>(super_); }
  const std::string& error() const { return error_; }
  const std::string& name() const { return name_; }
  const std::string& ownerUri() const { return ownerUri_; }
  const std::string& superuserUri() const { return superuserUri_; }
  // The sessions' role lumbra-server names for this database.
  const std::string& sessionRole() const { return sessionRole_; }
  // A connection of the superuser to the cluster (database postgres).
  PGconn* superuser() const { return super_.get(); }

  // ownerUri() with another role and its password in place of the run's owner.
  std::string uriAs(const std::string& role, const std::string& password) const {
    std::string uri = ownerUri_;
    const std::string::size_type from = uri.find("://") + 3;
    uri.replace(from, uri.find('@') - from, role + ":" + password);
    return uri;
  }

  // `uri` with its database name (the path after the last '/') replaced.
  static std::string withDatabase(const std::string& uri, const std::string& database) {
    std::string::size_type slash = uri.rfind('/');
    std::string::size_type query = uri.find('?', slash);
    return uri.substr(0, slash + 1) + database + (query == std::string::npos ? "" : uri.substr(query));
  }

 private:
  std::string name_;
  std::string owner_;
  std::string ownerUri_;
  std::string superuserUri_;
  std::string sessionRole_;
  std::string error_;
  server::pg::Connection super_;
};

// A login role of a test's own (CREATE ROLE <name> LOGIN PASSWORD <password>
// through `superuser`), dropped again by the destructor.
class ScratchRole {
 public:
  ScratchRole(PGconn* superuser, const std::string& name, const std::string& password)
      : superuser_(superuser), name_(name) {
    server::pg::Result made =
        server::pg::exec(superuser_, "CREATE ROLE " + name_ + " LOGIN PASSWORD '" + password + "'");
    created_ = server::pg::ok(made.get());
    if (!created_) error_ = server::pg::errorText(made.get());
  }
  ~ScratchRole() {
    if (created_) server::pg::exec(superuser_, "DROP ROLE IF EXISTS " + name_);
  }
  ScratchRole(const ScratchRole&) = delete;
  ScratchRole& operator=(const ScratchRole&) = delete;

  bool created() const { return created_; }
  const std::string& error() const { return error_; }
  const std::string& name() const { return name_; }

 private:
  PGconn* superuser_;
  std::string name_;
  bool created_ = false;
  std::string error_;
};

}  // namespace lumbra::testing
