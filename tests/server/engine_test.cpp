// The server's engine without sockets: writers woken when the write lock is let go, SQL slots, long jobs, read-ahead moves.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "server/connection.h"
#include "server/sqlite/backend.h"
#include "server/workers.h"
#include "tests/server/server_harness.h"
#include "tests/support/temp_dir.h"

namespace lumbra::server::testing {
namespace {

// ---------------------------------------------------------------- the write lock's releases

TEST(LockReleases, AWaiterIsWokenOnceByTheNextReleaseOrAtOnceByOneItMissed) {
  LockReleases releases;
  int woken = 0;
  const std::uint64_t seen = releases.generation();
  releases.wait(seen, [&] { ++woken; });
  EXPECT_EQ(woken, 0);
  releases.released();
  EXPECT_EQ(woken, 1);
  releases.released();
  EXPECT_EQ(woken, 1);  // once only
  // The lock was let go between the look at the generation and the wait.
  releases.wait(seen, [&] { ++woken; });
  EXPECT_EQ(woken, 2);
}

// Two sessions on one SQLite file, in-process, as two connections use them.
class TwoSessions : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.databasePath = folder_.file("test.db");
    settings_.busyTimeoutMs = 60000;
    std::string error;
    users_ = openUserFile(settings_.databasePath, error);
    ASSERT_NE(users_, nullptr) << error;
    users_->add("ALICE", "SECRET", 10);
    backend_ = openSqliteBackend(settings_.databasePath);
    first_ = open();
    second_ = open();
    EXPECT_EQ(reply(*first_, "EXEC CREATE TABLE W (K INTEGER)"), "0000");
    EXPECT_EQ(reply(*first_, "INSERT INTO W VALUES (1) COMMIT"), "0000");
  }
  void TearDown() override {
    first_.reset();
    second_.reset();
    backend_.reset();
    users_.reset();
  }

  std::unique_ptr<SessionLogic> open() {
    auto session =
        std::make_unique<SessionLogic>(settings_, *backend_, *users_, 0x7F000001, [](const std::string&) {});
    Frame login{Frame::Kind::Login, loginMessage("ALICE", "SECRET"), {}};
    EXPECT_EQ(statusOf(session->handle(login).reply), "0000");
    return session;
  }
  // The status of the reply, or "retry".
  static std::string reply(SessionLogic& session, const std::string& text) {
    SessionLogic::Outcome outcome = session.handle(Frame{Frame::Kind::Ordinary, text, {}});
    return outcome.retry ? "retry" : statusOf(outcome.reply);
  }

  suite_test::TempDir folder_{"lumbra-engine-test"};
  ServerSettings settings_;
  std::unique_ptr<UserStore> users_;
  std::unique_ptr<Backend> backend_;
  std::unique_ptr<SessionLogic> first_;
  std::unique_ptr<SessionLogic> second_;
};

TEST_F(TwoSessions, AWaitingWriterIsWokenWhenTheHolderLetsTheLockGoWhicheverWay) {
  const struct {
    const char* how;
    std::function<void(std::unique_ptr<SessionLogic>& holder)> letGo;
  } cases[] = {
      {"COMMIT", [](auto& holder) { EXPECT_EQ(reply(*holder, "COMMIT"), "0000"); }},
      {"ROLLBACK", [](auto& holder) { EXPECT_EQ(reply(*holder, "ROLLBACK"), "0000"); }},
      {"a batch with its COMMIT",
       [](auto& holder) { EXPECT_EQ(reply(*holder, "UPDATE W SET K = K + 1 COMMIT"), "0000"); }},
      {"the session closing", [](auto& holder) { holder.reset(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    if (!first_) first_ = open();
    ASSERT_EQ(reply(*first_, "UPDATE W SET K = K + 1 "), "0000");  // holds the write lock
    EXPECT_EQ(reply(*second_, "UPDATE W SET K = K + 1 "), "retry");
    std::atomic<int> woken{0};
    ASSERT_TRUE(second_->wakeOnLockRelease([&] { ++woken; }));
    EXPECT_EQ(woken, 0);
    c.letGo(first_);
    EXPECT_EQ(woken, 1);
    // Handed in again, the update goes through; and its COMMIT lets the lock go for the next case.
    EXPECT_EQ(reply(*second_, "UPDATE W SET K = K + 1 COMMIT"), "0000");
  }
}

TEST_F(TwoSessions, AWriterThatFindsTheLockTakenKnowsWhenItsWaitEnds) {
  ASSERT_EQ(reply(*first_, "UPDATE W SET K = 2 "), "0000");
  EXPECT_FALSE(second_->busyWaitEnds());
  const Clock::time_point before = Clock::now();
  EXPECT_EQ(reply(*second_, "UPDATE W SET K = 3 "), "retry");
  ASSERT_TRUE(second_->busyWaitEnds());
  EXPECT_GE(*second_->busyWaitEnds(), before + std::chrono::milliseconds(settings_.busyTimeoutMs));
  // A message answered ends the wait.
  EXPECT_EQ(reply(*second_, "GETSET TRANSACTION"), "0000");
  EXPECT_FALSE(second_->busyWaitEnds());
  // Nothing to wake for when no lock was found taken.
  EXPECT_FALSE(second_->wakeOnLockRelease([] {}));
}

// Commits leave the checkpoints of the file's log to a thread of the
// server's: they still happen, and the pages reach the database file while
// the server keeps it open.
TEST(SqliteLog, IsCheckpointedWhileTheServerKeepsTheFileOpen) {
  suite_test::TempDir folder("lumbra-engine-test");
  ServerSettings settings;
  settings.databasePath = folder.file("test.db");
  DatabaseSetup setup;
  setup.database = settings.databasePath;
  Databases databases;
  std::string error;
  ASSERT_TRUE(openDatabases(setup, databases, error)) << error;
  databases.users->add("ALICE", "SECRET", 10);
  {
    SessionLogic session(settings, *databases.backend, *databases.users, 0x7F000001,
                         [](const std::string&) {});
    Frame login{Frame::Kind::Login, loginMessage("ALICE", "SECRET"), {}};
    ASSERT_EQ(statusOf(session.handle(login).reply), "0000");
    auto send = [&](const std::string& text) {
      return statusOf(session.handle(Frame{Frame::Kind::Ordinary, text, {}}).reply);
    };
    ASSERT_EQ(send("EXEC CREATE TABLE W (K INTEGER, V BLOB)"), "0000");
    // About 1,200 pages in the log, past the 1,000 that start a checkpoint.
    for (int i = 0; i < 50; ++i) {
      ASSERT_EQ(send("INSERT INTO W VALUES (" + std::to_string(i) + ", randomblob(90000)) COMMIT"), "0000");
    }
    auto fileSize = [](const std::string& path) {
      std::FILE* file = std::fopen(path.c_str(), "rb");
      if (file == nullptr) return 0L;
      std::fseek(file, 0, SEEK_END);
      const long size = std::ftell(file);
      std::fclose(file);
      return size;
    };
    const Clock::time_point give = Clock::now() + std::chrono::seconds(20);
    while (fileSize(settings.databasePath) < 2000000L && Clock::now() < give) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GE(fileSize(settings.databasePath), 2000000L);  // a few pages without a checkpoint
  }
  databases.backend.reset();
  databases.users.reset();
}

// ---------------------------------------------------------------- SQL slots and long jobs

TEST(Workers, SlotsGoToThoseWhoWaitInTheirOrder) {
  Workers workers(1, 2);
  SlotLease a = workers.tryAcquire();
  SlotLease b = workers.tryAcquire();
  ASSERT_TRUE(a);
  ASSERT_TRUE(b);
  EXPECT_FALSE(workers.tryAcquire());
  std::vector<SlotLease> granted;
  std::string order;
  workers.whenSlotFree([&](SlotLease lease) {
    order += "1";
    granted.push_back(std::move(lease));
  });
  workers.whenSlotFree([&](SlotLease lease) {
    order += "2";
    granted.push_back(std::move(lease));
  });
  EXPECT_EQ(order, "");
  a.reset();
  EXPECT_EQ(order, "1");
  // A newcomer does not pass those who wait.
  EXPECT_FALSE(workers.tryAcquire());
  b.reset();
  EXPECT_EQ(order, "12");
  granted.clear();  // both given back, nobody waits
  SlotLease c = workers.tryAcquire();
  SlotLease d = workers.tryAcquire();
  EXPECT_TRUE(c);
  EXPECT_TRUE(d);
}

// A job that holds its lane's thread past kLongWork: the lane goes on on a
// helper meanwhile. Without one, the second handler would never run before
// the first ends, and the first waits for it.
TEST(Workers, ALongJobHasItsLaneRunByAHelper) {
  Workers workers(1, 1);
  Lane& lane = workers.lane(0);
  std::atomic<bool> secondRan{false};
  std::atomic<bool> firstSawIt{false};
  asio::post(lane.io(), [&] {
    SlotLease lease = workers.tryAcquire();
    ASSERT_TRUE(lease);
    lease.begin(&lane);
    asio::post(lane.io(), [&] { secondRan = true; });
    const auto give = Clock::now() + std::chrono::seconds(20);
    while (!secondRan && Clock::now() < give) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    firstSawIt = secondRan.load();
    lease.reset();
    workers.releaseLanes();
  });
  workers.run();
  EXPECT_TRUE(firstSawIt);
  EXPECT_EQ(workers.coveredJobs(), 1u);
}

// ---------------------------------------------------------------- read-ahead moves

TEST(ConnectionReadAhead, MovesOnlyAsItsTableSays) {
  using R = Connection::ReadAhead;
  const R all[] = {R::Idle, R::Stepping, R::RowsAwaited, R::Stopping};
  // Rows: from; columns: to (Idle, Stepping, RowsAwaited, Stopping).
  const bool table[4][4] = {
      {false, true, false, false},
      {true, false, true, true},
      {true, true, false, true},
      {true, false, false, false},
  };
  for (int from = 0; from < 4; ++from) {
    for (int to = 0; to < 4; ++to) {
      EXPECT_EQ(Connection::allowed(all[from], all[to]), table[from][to]) << from << " -> " << to;
    }
  }
}

}  // namespace
}  // namespace lumbra::server::testing
