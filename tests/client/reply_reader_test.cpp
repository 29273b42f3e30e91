// Tests of the reply reader, fed bytes with no socket: need more, whole, bad.
#include <gtest/gtest.h>

#include <string>

#include "client/reply_reader.h"

namespace lumbra {
namespace {

const char kTag[] = "LBX101";

TEST(ReplyReader, EveryPrefixOfAGoodReplyNeedsMore) {
  const std::string replies[] = {"LBX0000000SESSAO ABERTA,ML=1900LBXEOB", "LBX101rows rows rowsLBXEOB",
                                 "LBX0000000LBXEOB"};
  for (const std::string& bytes : replies) {
    SCOPED_TRACE(bytes);
    ReplyView reply;
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      EXPECT_EQ(readReply(bytes.data(), n, 1900, kTag, reply), ReplyState::NeedMore) << n;
    }
    EXPECT_EQ(readReply(bytes.data(), bytes.size(), 1900, kTag, reply), ReplyState::Whole);
    EXPECT_EQ(reply.tag, bytes.substr(0, 6));
  }
}

TEST(ReplyReader, WholeRepliesAndTheirParts) {
  struct Case {
    const char* name;
    std::string bytes;
    std::int32_t status;
    std::string text;
  } cases[] = {
      {"success with text", "LBX0000000SESSAO ABERTALBXEOB", 0, "SESSAO ABERTA"},
      {"refusal", "LBX0000140SEM CONSULTALBXEOB", 140, "SEM CONSULTA"},
      {"rows after a continuation tag", "LBX101ab  cdLBXEOB", -1, "cd"},
      {"a marker inside the text is not its end when more follows", "LBX0000000ALBXEOBLBXEOB", 0, "ALBXEOB"},
      {"under sixteen bytes", "LBX101LBXEOB", -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReplyView reply;
    ASSERT_EQ(readReply(c.bytes.data(), c.bytes.size(), 1900, kTag, reply), ReplyState::Whole);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.text, c.text);
  }
}

TEST(ReplyReader, BadBytes) {
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t limit;
  } cases[] = {
      {"another head", "LBX1020000LBXEOB", 1900},
      {"no head at all", "HTTP/1.1 400", 1900},
      {"head wrong before the marker comes", "XBX000", 1900},
      {"room full without a marker", "LBX0000000ABCDEFGHIJ", 20},
      {"room full before six bytes", "LBX", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReplyView reply;
    EXPECT_EQ(readReply(c.bytes.data(), c.bytes.size(), c.limit, kTag, reply), ReplyState::Bad);
  }
}

}  // namespace
}  // namespace lumbra
