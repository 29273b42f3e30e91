// The server through liblumbra32: a whole session as a host application drives it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/lumbra32.h"
#include "tests/server/server_harness.h"

namespace lumbra::server::testing {
namespace {

TEST(ThroughClientLibrary, UpdatesRowsBinaryDataAndResizing) {
  RunningServer server(1901);
  std::string address = "127.0.0.1:" + std::to_string(server.port());
  std::vector<char> message(2'000'000);
  char* text = message.data();
  int32_t handle = static_cast<int16_t>(LBConnect("ALICE", "secret", "", address.c_str(), text));
  ASSERT_GE(handle, 0) << text;
  EXPECT_EQ(LBCommand(handle, "GETSET CLIENTID", text), 15);
  EXPECT_STREQ(text, "127.000.000.001");

  ASSERT_GE(LBCommand(handle, "EXEC CREATE TABLE T (K INTEGER PRIMARY KEY, V TEXT, B BLOB)", text), 0)
      << text;
  // Enough updates to fill several batches of a 1901-byte buffer.
  for (int k = 1; k <= 500; ++k) {
    std::string insert =
        "INSERT INTO T (K, V) VALUES (" + std::to_string(k) + ", 'ROW    " + std::to_string(k) + " @')";
    ASSERT_EQ(LBCommand(handle, insert.c_str(), text), 0) << text;
  }
  // 500 updates do not fit a 1901-byte reply: the count saturates at the items that fit.
  EXPECT_EQ(LBCommand(handle, "COMMIT", text), (1900 - 16) / 11) << text;
  EXPECT_GT(LBCommand(handle, "EXEC SELECT COUNT(*) FROM T", text), 0);
  EXPECT_STREQ(text, "500");

  // Binary data with zero bytes and the marker inside, read back byte for byte.
  std::string data("\0\1LBXEOB\xFF\x7D\0", 11);
  char command[128] = "INSERT INTO T (K, V, B) VALUES (1000, 'BIN', ?)=";
  ASSERT_EQ(LBInsertBin(handle, command, data.data(), static_cast<int32_t>(data.size())), 0);
  ASSERT_EQ(LBCommand(handle, command, text), 0) << text;
  EXPECT_EQ(LBCommand(handle, "COMMIT", text), 1);
  ASSERT_EQ(LBCommand(handle, "SELECT B FROM T WHERE K = 1000", text), 1) << text;
  ASSERT_EQ(LBGetNext(handle, text), 11);
  EXPECT_EQ(std::string(text, 11), data);

  // Every row comes back, across many continuation blocks, then a larger buffer.
  for (int length : {1901, 32000}) {
    SCOPED_TRACE(length);
    std::string set = "SET MESSAGE_LENGTH=" + std::to_string(length);
    ASSERT_EQ(LBCommand(handle, set.c_str(), text), 0) << text;
    ASSERT_EQ(LBCommand(handle, "SELECT K, V FROM T WHERE K <= 500 ORDER BY K", text), 500) << text;
    int32_t rowLength = std::atoi(text);
    EXPECT_EQ(rowLength, 3 + 12);
    for (int k = 1; k <= 500; ++k) {
      ASSERT_EQ(LBGetNext(handle, text), rowLength) << k << " " << text;
      char expected[32];
      std::snprintf(expected, sizeof expected, "%3d%-12s", k, ("ROW    " + std::to_string(k) + " @").c_str());
      ASSERT_EQ(std::string(text, static_cast<std::size_t>(rowLength)), expected);
    }
    EXPECT_EQ(LBGetNext(handle, text), -10);
  }

  EXPECT_EQ(LBCommand(handle, "SELECT * FROM NOWHERE", text), -2001);
  EXPECT_NE(std::strstr(text, "NO SUCH TABLE"), nullptr) << text;
  EXPECT_EQ(LBDisconn(handle, text), 0);
  EXPECT_STREQ(text, "SESSAO ENCERRADA");
}

TEST(ThroughClientLibrary, RefusedLoginGivesTheServerStatus) {
  RunningServer server;
  std::string address = "127.0.0.1:" + std::to_string(server.port());
  char text[2048];
  EXPECT_EQ(static_cast<int16_t>(LBConnect("ALICE", "WRONG", "", address.c_str(), text)), -102);
  EXPECT_STREQ(text, "USUARIO OU SENHA INVALIDOS");
}

}  // namespace
}  // namespace lumbra::server::testing
