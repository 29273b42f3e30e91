// Test harness: the server in-process on an ephemeral 127.0.0.1 port, and a raw-byte client.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "tests/support/temp_dir.h"
#include "server/server.h"

namespace lumbra::server::testing {

// The database a test server runs on.
enum class Engine { Sqlite, Postgres };

// "Sqlite" or "Postgres", for the names of value-parametrized cases.
std::string engineName(Engine engine);

// A fresh schema on the run's PostgreSQL (tests/support/postgres.sh): made by
// the owner's URI, dropped with everything in it when the object goes away.
class PostgresSchema {
 public:
  PostgresSchema();  // throws when there is no PostgreSQL for the run
  ~PostgresSchema();
  PostgresSchema(const PostgresSchema&) = delete;
  PostgresSchema& operator=(const PostgresSchema&) = delete;

  // The owner's URI with the schema as search_path (and as application_name,
  // which tells the connections of this test's server in pg_stat_activity).
  const std::string& uri() const { return uri_; }
  const std::string& name() const { return name_; }
  // An SQL condition on pg_stat_activity for the connections of this test's
  // server: named after the schema, followed by the session's user once one took it.
  std::string ownConnections() const {
    return "(application_name = '" + name_ + "' OR application_name LIKE '" + name_ + ": %')";
  }
  // The first value of the first row of `sql`, run by the owner in the schema
  // ("" when there is none; throws on an error).
  std::string query(const std::string& sql) const;

 private:
  std::string owner_;
  std::string name_;
  std::string uri_;
};

// A server on a fresh database in a temporary directory, with the users
// ALICE (password SECRET) and BOB (password HUNTER2), served by a background
// thread until the object goes away.
class RunningServer {
 public:
  explicit RunningServer(int messageLength = kDefaultAnnouncedLength, int busyTimeoutMs = 300,
                         int statementTimeoutS = kDefaultStatementTimeoutS);
  // The same, with the options changed by `adjust` before the start, and
  // `prepare` run on the database path before the users are added.
  explicit RunningServer(const std::function<void(ServerOptions&)>& adjust,
                         const std::function<void(const std::string&)>& prepare = {});
  // On `engine`: PostgreSQL serves from a schema of its own (the users stay
  // in the temporary folder). `adjust` changes the options before the start.
  RunningServer(Engine engine, const std::function<void(ServerOptions&)>& adjust);
  ~RunningServer();

  std::uint16_t port() const { return server_->port(); }
  const std::string& databasePath() const { return options_.settings.databasePath; }
  Server& server() { return *server_; }
  // The schema of a server on PostgreSQL (nullptr on SQLite).
  const PostgresSchema* schema() const { return schema_.get(); }

 private:
  suite_test::TempDir folder_{"lumbra-server-test"};
  std::unique_ptr<PostgresSchema> schema_;
  ServerOptions options_;
  void begin(const std::function<void(ServerOptions&)>& adjust,
             const std::function<void(const std::string&)>& prepare);

  std::unique_ptr<Server> server_;
  std::thread thread_;
};

// A blocking client socket that speaks raw bytes; every wait is bounded.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  void sendBytes(std::string_view bytes);
  // Sends `text` followed by the end-of-block marker.
  void sendMessage(std::string_view text) { sendBytes(std::string(text) + "LBXEOB"); }
  // Reads until the bytes received end with the marker (or the peer closes, or
  // five seconds pass). Returns everything received.
  std::string receiveReply();
  // sendMessage then receiveReply.
  std::string exchange(std::string_view text);
  // True when the server has closed the connection (reads end of stream within the timeout).
  bool closedByPeer();
  void close();

 private:
  int fd_ = -1;
};

// The 118-byte login message for these texts (blank-padded, scrambled).
std::string loginMessage(std::string_view id, std::string_view first, std::string_view second = "");

// Greeting and login of ALICE; returns the login reply.
std::string logIn(RawClient& client, std::string_view id = "ALICE", std::string_view password = "SECRET",
                  std::string_view newPassword = "");

// The status digits and the text of a reply ("" when it is not framed).
std::string statusOf(const std::string& reply);
std::string textOf(const std::string& reply);

// A binary insert on the wire: EBCDIC of `prefix` up to its last '=', length clause, data, 0x7D,
// optionally 0x00, then the marker.
std::string binaryInsert(std::string_view prefix, std::string_view data, bool zeroBeforeMarker);

// Decodes the rows of a block in the incoming form, each `rowLength` bytes.
std::vector<std::string> decodeRows(std::string_view block, std::size_t rowLength);

}  // namespace lumbra::server::testing
