// Many sessions at once, and clients that vanish or misbehave while others go on.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/system.h"
#include "server/server.h"
#include "tests/server/server_harness.h"

namespace lumbra::server::testing {
namespace {

TEST(ServerLoad, ThousandsOfOpenSessions) {
  platform::raiseFileLimit();
  RunningServer server;
  constexpr int kSessions = 2500;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < kSessions; ++i) {
    clients.push_back(std::make_unique<RawClient>(server.port()));
    ASSERT_TRUE(clients.back()->connected()) << i;
  }
  // Every one of them is served, in an order unrelated to the connection order.
  for (int i = kSessions - 1; i >= 0; i -= 1) {
    clients[i]->sendMessage("LUMT");
  }
  for (int i = 0; i < kSessions; ++i) {
    ASSERT_EQ(statusOf(clients[i]->receiveReply()), "0000") << i;
  }
  // A handful log in and query, with the others still open.
  for (int i = 0; i < kSessions; i += 500) {
    clients[i]->sendBytes(loginMessage("ALICE", "SECRET"));
    ASSERT_EQ(statusOf(clients[i]->receiveReply()), "0000");
    EXPECT_EQ(textOf(clients[i]->exchange("EXEC SELECT 6*7")), "42");
  }
  EXPECT_GE(server.server().sessions(), static_cast<std::size_t>(kSessions));
  clients.clear();
}

TEST(ServerLoad, ClientVanishingMidMessageLeavesOthersServed) {
  RunningServer server;
  RawClient steady(server.port());
  ASSERT_EQ(statusOf(logIn(steady)), "0000");
  ASSERT_EQ(statusOf(steady.exchange("EXEC CREATE TABLE V (K INTEGER)")), "0000");
  ASSERT_EQ(statusOf(steady.exchange("COMMIT")), "0000");
  for (int round = 0; round < 5; ++round) {
    RawClient vanishing(server.port());
    ASSERT_EQ(statusOf(logIn(vanishing, "BOB", "HUNTER2")), "0000");
    // Takes the write lock, then leaves half a message behind.
    ASSERT_EQ(statusOf(vanishing.exchange("INSERT INTO V VALUES (99) ")), "0000");
    vanishing.sendBytes("INSERT INTO V VALUES (100) LBXE");
    vanishing.close();
    // Half a login and half a binary insert from others that vanish too.
    RawClient halfLogin(server.port());
    halfLogin.sendBytes(loginMessage("ALICE", "SECRET").substr(0, 50));
    halfLogin.close();
  }
  // The vanished session's transaction was rolled back, so the lock is free.
  for (int attempt = 0; attempt < 50; ++attempt) {
    std::string reply = steady.exchange("INSERT INTO V VALUES (" + std::to_string(attempt) + ") COMMIT");
    if (statusOf(reply) == "0000") break;
    ASSERT_EQ(statusOf(reply), "2005") << reply;
  }
  EXPECT_EQ(textOf(steady.exchange("EXEC SELECT COUNT(*) FROM V WHERE K >= 99")), "0");
}

}  // namespace
}  // namespace lumbra::server::testing
