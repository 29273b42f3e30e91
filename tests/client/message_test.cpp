// Tests of the one writer of the host's message buffer and of the room it is given.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client/message.h"
#include "client/session.h"

namespace lumbra {
namespace {

TEST(MessageBuffer, WriterStaysWithinTheRoom) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t room;
    std::string written;
  } cases[] = {
      {"fits", "SESSAO ABERTA", 64, "SESSAO ABERTA"},
      {"exactly fits with its terminator", "ABCD", 5, "ABCD"},
      {"cut one short of the room", "ABCDE", 5, "ABCD"},
      {"room for the terminator only", "ABC", 1, ""},
      {"empty text", "", 8, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(writeMessage(buffer, c.room, c.text), c.written.size());
    EXPECT_EQ(std::string(buffer), c.written);
    for (std::size_t i = c.room; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '#') << i;
  }
  char untouched = '#';
  EXPECT_EQ(writeMessage(&untouched, 0, "X"), 0u);
  EXPECT_EQ(untouched, '#');
  EXPECT_EQ(writeMessage(nullptr, 8, "X"), 0u);
}

TEST(MessageBuffer, RoomIsTheSessionCapacityAndNeverBelowTheLeast) {
  Session s{};
  s.bufferSize = 1901;
  EXPECT_EQ(messageRoom(s), 1901u);
  s.bufferSize = 100;
  EXPECT_EQ(messageRoom(s), kLeastMessageRoom);
  s.bufferSize = -1;
  EXPECT_EQ(messageRoom(s), kLeastMessageRoom);
}

}  // namespace
}  // namespace lumbra
