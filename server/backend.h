// The database behind the sessions: the backend and the users a --database value names, and the session's connection.
//
// SessionLogic and ResultCursor speak only this interface. Two backends stand
// behind it: SQLite (server/sqlite/, a database file, the embedded default)
// and PostgreSQL (server/postgres/, a libpq connection URI). Which one serves
// is decided in one place, here (openDatabases, UserStore::open). Both give the
// same replies for the same situations: every call answers with a code that
// is kOk (or kRow / kDone while stepping rows), kBusy (a lock not obtained in
// time: the session refuses with 2005 BANCO DE DADOS OCUPADO POR OUTRA
// SESSAO), or the reply status of an SQL error (2000 + the SQLite result code
// the failure corresponds to: 2001 error, 2009 interrupted, 2019 constraint,
// 2023 not authorized ...), whose text errorText() holds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/users.h"

namespace lumbra::server {

using Clock = std::chrono::steady_clock;

inline constexpr int kOk = 0;
inline constexpr int kRow = 1;              // a row stands ready
inline constexpr int kDone = 2;             // no more rows
inline constexpr int kBusy = 3;             // a lock was not obtained within the session's wait
inline constexpr int kSecondStatement = 4;  // a query text holds a second statement (or none)
inline constexpr int kNoPlace = 5;          // a binary insert without a '?' for its bytes
// The status of a connection to the database lost (2000 + SQLite's I/O error code).
inline constexpr int kLostConnection = 2010;

// A session parameter (PARM), bound to ":NAME" in every statement.
struct Parameter {
  enum class Kind { Null, Text, Literal } kind = Kind::Null;  // Literal: number or text by its look
  std::string value;
};
using Parameters = std::map<std::string, Parameter>;  // by upper-cased name

// The rows of a query, stepped one after the other; all of them come from one
// snapshot of the database, also when they are stepped again after rewind().
class Rows {
 public:
  enum class Kind : unsigned char { Null, Integer, Real, Text, Blob };

  virtual ~Rows() = default;
  virtual int columns() const = 0;
  // To the next row: kRow, kDone, or an error status.
  virtual int step() = 0;
  // Back before the first row: the next step() gives it again.
  virtual void rewind() = 0;
  // Steps over `count` rows: kRow when they were all there, kDone when the
  // rows ended first, or an error status.
  virtual int skip(long long count);

  // The current row's values. An Integer's value is integer(); the others
  // are bytes(): a Real or a Text as the rows show it, a Blob's bytes.
  virtual Kind kind(int column) = 0;
  virtual long long integer(int column) = 0;
  virtual std::string_view bytes(int column) = 0;

  // The same for every column at once, as the counting pass reads them.
  struct Value {
    Kind kind = Kind::Null;
    long long integer = 0;   // an Integer's
    std::string_view bytes;  // the others' (valid until the next step)
  };
  // Fills `out`, columns() of them; the default asks column by column.
  virtual void values(Value* out);

  virtual std::string name(int column) = 0;
  // The column description's type letter: N numeric, A text, B blob, V none declared.
  virtual char typeLetter(int column) = 0;
};

// A session's connection. Transaction statements come from the server alone:
// session SQL that would begin, end or mark a transaction is refused (2023).
class BackendConnection {
 public:
  // What the session decides before a statement that writes runs (EXEC takes
  // the write lock there): anything but kOk stops the run with that code.
  class WriteHook {
   public:
    virtual int beforeWrite() = 0;

   protected:
    ~WriteHook() = default;
  };

  virtual ~BackendConnection() = default;

  // The session's write transaction (kOk, kBusy, or an error status).
  virtual int beginWrite() = 0;
  // One read snapshot for a query outside the write transaction.
  virtual int beginRead() = 0;
  virtual int commit() = 0;
  virtual int rollback() = 0;
  // Savepoints inside the transaction; rollbackTo() also releases it.
  virtual int savepoint(const char* name) = 0;
  virtual int rollbackTo(const char* name) = 0;
  virtual int release(const char* name) = 0;
  // False when the database ended the transaction on its own (SQLite rolls
  // it back on a full disk or an I/O error).
  virtual bool transactionOpen() = 0;

  // The SQL of the message being handled is interrupted past `deadline`
  // (Clock::time_point::max(): never), and waits for a lock held by another
  // session `lockWaitMs` at most where the database itself waits.
  virtual void setLimits(Clock::time_point deadline, int lockWaitMs) = 0;
  // The user the session logged in as, for the database's list of its
  // clients (PostgreSQL's application_name); set before the next statement.
  virtual void setClientName(std::string_view /*user*/) {}
  // From any thread: interrupts the SQL running now and any later.
  virtual void interrupt() = 0;

  // Runs every statement of `sql`: `changes` gets the rows they changed,
  // `firstRow` (when given) the first row of the last statement that gave
  // rows, its columns joined by commas. `hook` (when given) is asked before
  // each statement that writes. kOk or the code that stopped the run.
  virtual int run(std::string_view sql, const Parameters& parameters, WriteHook* hook, long long& changes,
                  std::optional<std::string>* firstRow) = 0;
  // Runs the updates of a batch one after the other, each as run() would
  // (without a hook or a first row): `changes` gets the rows each changed.
  // On a failure, `failed` is the index of the update that failed and its
  // code is returned; what the updates before it did stays for the caller to
  // undo. A backend may send many updates before reading their answers.
  virtual int runBatch(const std::vector<std::string>& updates, const Parameters& parameters,
                       std::vector<long long>& changes, std::size_t& failed);
  // Opens one query (a text of one statement): nullptr with `code` set when
  // it fails (kSecondStatement when the text holds more or none).
  virtual std::unique_ptr<Rows> query(std::string_view sql, const Parameters& parameters, int& code) = 0;
  // Runs one statement with `data` bound as a blob to its first '?' (kNoPlace
  // when it has none, or the text holds more than one statement).
  virtual int insertBlob(std::string_view sql, const Parameters& parameters, std::string_view data,
                         long long& changes) = 0;

  // The text of the last error.
  virtual std::string errorText() const = 0;

  // After kLostConnection: the connection was lost before the database
  // answered any command of this session on it (it had died while waiting
  // in a pool), so nothing the session sent reached the database.
  virtual bool lostBeforeUse() const { return false; }
};

// The releases of a database's write lock by the server's own sessions, for
// the sessions that wait for it: a waiting session is woken as soon as
// another ends its write transaction, instead of looking again and again.
class LockReleases {
 public:
  // Counts the releases: read before trying the lock.
  std::uint64_t generation() const { return generation_.load(); }
  // Calls `wake` once, as soon as the lock has been released after the
  // generation `seen` (at once when it has been already; else from the thread
  // that releases it).
  void wait(std::uint64_t seen, std::function<void()> wake);
  // A session of the server has ended its write transaction.
  void released();

 private:
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<int> waiting_{0};
  std::mutex mutex_;
  std::vector<std::function<void()>> waiters_;
};

class Backend {
 public:
  virtual ~Backend() = default;

  // The write lock's releases, when the backend has one lock that the
  // sessions wait for in the server (SQLite's); nullptr when the database
  // waits for its locks itself (PostgreSQL's row locks).
  virtual LockReleases* lockReleases() { return nullptr; }

  // A connection for a session; nullptr with `error` set when none can be
  // opened, or with `busy` set when all the backend's connections are taken
  // (the session asks again, as for a lock). `interrupted` stays set once the
  // session closes: its SQL stops. `fresh`: a new connection, not one that
  // waited in a pool.
  virtual std::unique_ptr<BackendConnection> connect(const std::atomic<bool>& interrupted, std::string& error,
                                                     bool& busy, bool fresh) = 0;
  // Whether a session gives its connection back when it holds no transaction
  // and no open result (the connections are pooled), or keeps it.
  virtual bool pooled() const = 0;
  // The database's major.minor version, for the login reply's BD keyword.
  virtual std::string version() const = 0;
  // Where results keep rows beyond their memory in scratch files (empty: they keep none there).
  virtual std::string scratchDirectory() const { return {}; }
};

struct BackendOptions {
  int poolSize = 20;  // PostgreSQL: connections of the server at most
  // PostgreSQL: when a new session connection fails to log in with the
  // connection string given (`failed`), or finds settings of its own on its
  // role, mends the login and returns the one to use instead, or "" with
  // `error` (server/postgres/site.h: renewSessionLogin). Empty: none.
  using RenewLogin = std::function<std::string(const std::string& failed, std::string& error)>;
  RenewLogin renewLogin;
};

// What a server's start says about its databases (server/options.h has the
// command line's words for them).
struct DatabaseSetup {
  // A SQLite file, or a PostgreSQL connection URI ("postgresql://..." or "postgres://...").
  std::string database;
  // PostgreSQL only: the users of this SQLite database's file instead of
  // those in PostgreSQL, and the sessions connect with `sessionConninfo` (the
  // URI itself when empty) instead of the sessions' role (for tests).
  std::string usersDatabase;
  std::string sessionConninfo;
  int poolSize = 20;  // PostgreSQL: connections of the server at most
  // SQLite's heap in the whole process, at most (0: no limit); beyond three
  // quarters of it SQLite gives cache back.
  long long memoryLimitMb = 0;
};

// A server's databases, opened.
struct Databases {
  std::unique_ptr<UserStore> users;
  std::unique_ptr<Backend> backend;
  std::string description;  // for the log: the file, or "on PostgreSQL (pool of N)"
};

// Opens the backend and the users `setup` names, after checking what a start
// must find: a SQLite file that can be written (files made by a start that
// fails are removed again), its users moved out of an older database; on
// PostgreSQL the installation set up or checked and one session connection
// made. False with `error` (one sentence, for the operator) on failure.
bool openDatabases(const DatabaseSetup& setup, Databases& out, std::string& error);

}  // namespace lumbra::server
