// One client session with no I/O: a frame in, the reply out, over the session's connection to the backend.
//
// Map of the class's files: session.cpp (settings and outcome, replies, login
// and greeting, dispatch); transaction.cpp (connection, write lock with retry,
// savepoints, update counts, batches, COMMIT, ROLLBACK); statements.cpp
// (running SQL, EXEC, binary insert, PARM parameters); result_set.cpp (SELECT
// and CONT over server/result_cursor); settings.cpp (SET, GETSET). Every reply
// is built by server/reply.
#pragma once

#include <algorithm>
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

#include "server/backend.h"
#include "server/framing.h"
#include "server/result_cursor.h"
#include "server/status.h"
#include "server/users.h"

namespace lumbra::server {

inline constexpr int kMinMessageLength = 256;
inline constexpr int kMaxMessageLength = 16 * 1024 * 1024;
// The message length the server announces with ",ML=" unless configured otherwise.
inline constexpr int kDefaultAnnouncedLength = 32000;
inline constexpr int kDefaultBusyTimeoutMs = 5000;
inline constexpr int kDefaultStatementTimeoutS = 30;
inline constexpr int kDefaultLoginFailures = 3;
inline constexpr int kDefaultPreLoginTimeoutS = 10;
inline constexpr int kDefaultIdleTimeoutS = 1800;
inline constexpr int kDefaultResultHoldS = 60;

struct ServerSettings {
  // A SQLite file, or a PostgreSQL connection URI (postgresql://...).
  std::string databasePath = "lumbra-server.db";
  int messageLength = kDefaultAnnouncedLength;  // announced with ",ML=" at login
  int busyTimeoutMs = kDefaultBusyTimeoutMs;    // how long a session waits for the write lock
  // SQL work of one message, at most (zero: no limit).
  std::chrono::milliseconds statementTimeout = std::chrono::seconds(kDefaultStatementTimeoutS);
  int loginFailures = kDefaultLoginFailures;  // failed logins before the connection closes (0: never)
  // From the connection to a successful login, at most (zero: no limit).
  std::chrono::milliseconds preLoginTimeout = std::chrono::seconds(kDefaultPreLoginTimeoutS);
  // A logged-in session that sends nothing this long is closed (zero: never).
  std::chrono::milliseconds idleTimeout = std::chrono::seconds(kDefaultIdleTimeoutS);
  // An open result (and its read snapshot) is let go this long after its SELECT (zero: never).
  std::chrono::milliseconds resultHold = std::chrono::seconds(kDefaultResultHoldS);
  // Bytes of row values one result keeps from its counting pass in memory,
  // and beyond them in a scratch file (server/row_store.h); the rows beyond
  // both are stepped again, ahead of the requests for them.
  std::size_t resultBudget = kResultBudget;
  std::uint64_t resultFileBudget = kResultFileBudget;
};

class SessionLogic {
 public:
  struct Outcome {
    std::string reply;   // bytes to send (empty only with retry)
    bool close = false;  // close the connection once the reply is sent
    // The write lock (or a pooled connection) is taken: hand the same frame
    // in again once wakeOnLockRelease wakes the caller, or a little later.
    bool retry = false;
    bool loginFailed = false;  // a refused login (wrong identification or password)
  };

  // `log` receives one line per session event (login, refusal, farewell ...).
  // The session's SQL runs on a connection of `backend`, which outlives it.
  SessionLogic(const ServerSettings& settings, Backend& backend, UserStore& users,
               std::uint32_t clientAddress, std::function<void(const std::string&)> log);
  ~SessionLogic();  // rolls back an open transaction
  SessionLogic(const SessionLogic&) = delete;
  SessionLogic& operator=(const SessionLogic&) = delete;

  Outcome handle(const Frame& frame, Clock::time_point now = Clock::now());

  // Whether handling `frame` may run SQL or wait for a lock (statements, a
  // login that changes the password), so that it belongs on the SQL threads;
  // greetings, farewells, plain logins and refusals do not.
  bool runsSql(const Frame& frame) const;

  // From any thread: interrupts the SQL running now and any later (the session is closing).
  void interrupt();

  // When the open result's SELECT ran, if a result is open.
  std::optional<Clock::time_point> resultOpenedAt() const;
  // Lets the open result go (its statement and read snapshot); a later CONT is
  // refused with 0140 and says why.
  void releaseResult();

  bool loggedIn() const { return loggedIn_; }

  // After a retry for the write lock: calls `wake` (once, from any thread)
  // as soon as another session of the server has released the lock since
  // this one found it taken. False when the backend cannot tell (a lock the
  // database waits for itself, a full pool): the caller then tries again
  // after a short while.
  bool wakeOnLockRelease(std::function<void()> wake);
  // When the wait of a retried message ends (its busy timeout), if one waits.
  std::optional<Clock::time_point> busyWaitEnds() const;

  // Row blocks (SELECT and CONT) take at most this many bytes from now on,
  // though never less than one row needs (the server's memory for replies
  // waiting to be sent is shared). Replies themselves stay within replyLimit().
  void setBlockBudget(std::size_t bytes) { blockBudget_ = bytes; }

  // The longest message the session accepts now (the framing limit).
  std::size_t inputLimit() const;
  // Lays out the next block of an open result while the reply just handed
  // out is on its way, when it can be done without SQL (from rows kept in
  // memory); the continuation request then gets that block as it stands.
  void prepareAhead();

  // Rows of the open result beyond those kept in memory are stepped ahead on
  // an SQL thread while the blocks before them travel (the server's I/O
  // thread keeps handing out blocks of rows already stepped):
  //   startReadAhead()  whether there are rows to step and room for them,
  //                     and if so readies readAhead (on the I/O thread);
  //   readAhead()       steps them (an SQL thread; the statement time-out
  //                     applies); `arrived` is called from it once rows came
  //                     for a continuation request that waits (waitForRows);
  //   stopReadAhead()   from any thread: readAhead returns after the row it
  //                     is on.
  // While readAhead runs, only frames that runsSql() calls SQL-free may be
  // handled, and nothing may close the result.
  bool startReadAhead();
  void readAhead(const std::function<void()>& arrived);
  void stopReadAhead() { stopReadAhead_ = true; }
  void waitForRows();

  // The most bytes a reply may take now: the client's capacity minus one.
  std::size_t replyLimit() const { return replyLimit_; }
  const std::string& user() const { return user_; }
  // For the operator's status: whether a write transaction is open, and the
  // rows of the open result not yet sent (server/session_facts.cpp).
  bool inTransaction() const { return inTransaction_; }
  long long rowsPending() const;

 private:
  // What a row block may fill now: the client's capacity, within the budget.
  std::size_t blockLimit() const { return std::min(replyLimit_, blockBudget_); }
  struct Cursor;

  Outcome reply(int status, std::string_view text);
  Outcome refuse(Status status, std::string_view detail = {});
  // An SQL failure: its status and the database's text (kBusy: the 2005 refusal).
  Outcome refuseSql(int code, std::string_view where = {});

  Outcome handleFrame(const Frame& frame, Clock::time_point now);
  Outcome login(std::string_view message);
  Outcome dispatch(std::string_view text, Clock::time_point now);
  Outcome batch(std::string_view text, Clock::time_point now);
  // `command`: the whole text, refused when more than blanks and one ';' follow the word.
  Outcome commit(std::string_view command);
  Outcome rollback(std::string_view command);
  Outcome binaryInsert(const Frame& frame, Clock::time_point now);
  Outcome select(std::string_view sql);
  // Whether `text` is a continuation request that the block laid out ahead
  // answers (a well-formed number, rows left after that block).
  bool answersAhead(std::string_view text) const;
  Outcome continuation(std::string_view number);
  Outcome exec(std::string_view sql, Clock::time_point now);
  Outcome set(std::string_view text);
  Outcome getset(std::string_view text);
  Outcome parm(std::string_view text);

  // The session's connection, opened (or taken from the pool) when missing:
  // a refusal when it cannot be had (a retry while the pool is exhausted,
  // within the busy timeout).
  std::optional<Outcome> connection(Clock::time_point now);
  // Gives a pooled connection back when no transaction and no open rows hold it.
  void releaseIdleConnection();
  Clock::time_point statementDeadline() const;
  // A refusal when the wait for a lock (or a pooled connection) is over, or a
  // retry while it lasts.
  Outcome waitOrRefuseBusy(Clock::time_point now);
  std::optional<Outcome> beginWrite(Clock::time_point now);
  // Follows a transaction the database ended on its own: the updates it lost
  // (-1 when it did not end).
  long long syncTransaction();
  // Lets the connection go (a broken one is closed by its backend).
  void dropConnection();
  void closeCursor();
  void recordUpdate(long long changes);
  // Appends rows of the open result to `block` while they fit `limit` bytes
  // (marker included); `added` counts them. False, with `rc`, on an SQL error.
  bool fillBlock(std::string& block, std::size_t limit, bool first, long long& added, int& rc);
  std::string settingValue(const std::string& name) const;

  const ServerSettings& settings_;
  Backend& backend_;
  UserStore& users_;
  std::uint32_t clientAddress_;
  std::function<void(const std::string&)> log_;

  bool loggedIn_ = false;
  int failedLogins_ = 0;
  std::string user_;
  std::atomic<bool> interrupted_{false};
  bool resultReleased_ = false;  // the last result was let go by releaseResult()
  int messageLength_;
  int busyTimeoutMs_;
  Clock::time_point
      deadline_;  // SQL of the current message (or of rows stepped ahead) is interrupted past it
  std::atomic<bool> stopReadAhead_{false};
  std::size_t readAheadBytes_ = 0;  // what readAhead may queue, set by startReadAhead
  std::size_t replyLimit_;
  std::size_t blockBudget_ = static_cast<std::size_t>(-1);

  std::mutex connectionMutex_;  // db_ changes under it: interrupt() reads it from other threads
  std::unique_ptr<BackendConnection> db_;
  bool inTransaction_ = false;      // a write transaction of the session is open
  bool retryOnFresh_ = false;       // the message meets a pooled connection that had died: again on a new one
  bool freshConnection_ = false;    // ... and runs again now
  bool begunNow_ = false;           // ... and the message being handled began it
  Clock::time_point handledSince_;  // when the handling of the current message began
  std::optional<Clock::time_point> busySince_;
  // The write lock's generation (LockReleases) when it was last found taken;
  // nothing when the last retry was for something else.
  std::optional<std::uint64_t> lockSeen_;
  std::vector<std::uint32_t> updateChanges_;  // rows changed per update since the last commit
  long long updateCount_ = 0;
  std::unique_ptr<Cursor> cursor_;
  std::map<std::string, Parameter> parameters_;
};

}  // namespace lumbra::server
