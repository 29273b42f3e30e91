// Tests of the wire's readers and writers: reply head, SELECT head, CONT tag, numbers, hex digits, ",ML=", length clause.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/ebcdic.h"
#include "protocol/hex.h"
#include "protocol/wire.h"

namespace lumbra {
namespace {

TEST(WireFormat, ReplyHeadAndStatus) {
  const char tag[] = "LBX123";
  struct Case {
    const char* name;
    std::string bytes;
    bool head;
    std::int32_t status;
  } cases[] = {
      {"ordinary success", "LBX0000000LBXEOB", true, 0},
      {"refusal with text", "LBX0000140SEM CONSULTA ABERTALBXEOB", true, 140},
      {"continuation tag", "LBX123rowsLBXEOB", true, -1},
      {"other tag", "LBX1240000LBXEOB", false, 0},
      {"head not all there", "LBX00", false, -1},
      {"one byte short of a reply", "LBX0000000LBXEO", true, -1},
      {"status with a blank", "LBX000 001LBXEOB", true, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hasReplyHead(c.bytes.data(), c.bytes.size(), tag), c.head);
    EXPECT_EQ(replyStatusOf(c.bytes.data(), c.bytes.size()), c.status);
  }
  EXPECT_TRUE(endsWithMarker("LBX0000000LBXEOB", 16));
  EXPECT_FALSE(endsWithMarker("LBX0000000LBXEO", 15));
  EXPECT_FALSE(endsWithMarker("LBXEO", 5));
}

TEST(WireFormat, LoginStart) {
  EXPECT_TRUE(startsLogin("ID \"0", 5));
  EXPECT_TRUE(startsLogin("ID ", 3));
  EXPECT_FALSE(startsLogin("ID", 2));
  EXPECT_FALSE(startsLogin("IDX", 3));
  EXPECT_TRUE(mayStartLogin("I", 1));
  EXPECT_TRUE(mayStartLogin("ID", 2));
  EXPECT_FALSE(mayStartLogin("IX", 2));
  EXPECT_FALSE(mayStartLogin("ID ", 3));  // a start, no longer a maybe
}

TEST(WireFormat, ReadDecimalAsTheClientReadsNumbers) {
  struct Case {
    const char* text;
    int width;
    std::int64_t value;
  } cases[] = {
      {"00001900", 8, 1900}, {"  42x", -1, 42},
      {"-0001", 5, -1},      {"123456", 3, 123},
      {"", -1, 0},           {"abc", -1, 0},
      {"+7", -1, 7},         {"99999999999999999999", -1, 0x7FFFFFFFFFFFLL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(readDecimal(c.text, c.width), c.value);
  }
}

TEST(WireFormat, SelectHeadRoundTrip) {
  char head[kSelectHeadLength + 1];
  formatSelectHead(1234, 56, head);
  EXPECT_STREQ(head, "LBX00000000000123400056");
  const std::string reply = std::string(head) + "ID=N(8),NAME=A(48).rows" + "LBXEOB";
  SelectHead parsed;
  ASSERT_TRUE(parseSelectHead(reply.data(), reply.size() - kEndOfBlockLength, parsed));
  EXPECT_EQ(parsed.rows, 1234);
  EXPECT_EQ(parsed.rowLength, 56);
  EXPECT_EQ(std::string(reply.data() + kRowLengthOffset, parsed.answerLength), "00056ID=N(8),NAME=A(48).");

  formatSelectHead(kMaxRowCount, kMaxRowLength, head);
  EXPECT_STREQ(head, "LBX00000009999999999999");
}

TEST(WireFormat, SelectHeadRefusesMalformedHeads) {
  struct Case {
    const char* name;
    std::string text;  // the reply without its marker
    bool good;
  } cases[] = {
      {"empty description",
       "LBX0000000"
       "00000001"
       "00000"
       ".",
       true},
      {"blanks before the counts",
       "LBX0000000"
       "       1"
       "    3"
       "X.",
       true},
      {"ends before the row length",
       "LBX0000000"
       "00000001",
       false},
      {"no dot",
       "LBX0000000"
       "00000001"
       "00005"
       "A",
       false},
      {"dot only inside the count",
       "LBX0000000"
       "0000.001"
       "00005"
       "A",
       false},
      {"negative count",
       "LBX0000000"
       "-0000001"
       "00005"
       "A.",
       false},
      {"negative row length",
       "LBX0000000"
       "00000001"
       "-0005"
       "A.",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SelectHead head;
    EXPECT_EQ(parseSelectHead(c.text.data(), c.text.size(), head), c.good);
  }
}

TEST(WireFormat, ContinuationRequestAndTag) {
  char request[32];
  EXPECT_EQ(formatContinuationRequest(kFirstContinuation, request, sizeof request), 8);
  EXPECT_STREQ(request, "CONT=100");
  struct Case {
    const char* digits;
    const char* tag;
  } cases[] = {{"100", "LBX100"}, {"1234", "LBX123"}, {"9999999999", "LBX999"}};
  for (const Case& c : cases) {
    const auto tag = continuationTag(c.digits);
    EXPECT_EQ(std::string(tag.data(), tag.size()), c.tag);
  }
}

TEST(Hex, DigitsAndPairs) {
  struct Case {
    char first, second;
    int value;
  } cases[] = {{'0', '0', 0},  {'7', 'F', 0x7F}, {'f', 'f', 255}, {'A', 'b', 0xAB},
               {'G', '0', -1}, {'0', ' ', -1},   {'\0', '1', -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE((std::string{c.first, c.second}));
    EXPECT_EQ(hexPairValue(c.first, c.second), c.value);
  }
  EXPECT_EQ(upperHexDigitValue('C'), 12);
  EXPECT_EQ(upperHexDigitValue('c'), -1);
  EXPECT_EQ(hexDigitValue('c'), 12);
}

TEST(Hex, TextRoundTrip) {
  const unsigned char bytes[] = {0x00, 0x7F, 0x80, 0xAB, 0xFF};
  for (const bool upper : {true, false}) {
    const std::string text = hexText(bytes, sizeof bytes, upper);
    EXPECT_EQ(text, upper ? "007F80ABFF" : "007f80abff");
    unsigned char back[sizeof bytes] = {};
    ASSERT_TRUE(readHexText(text, back));
    EXPECT_EQ(std::memcmp(back, bytes, sizeof bytes), 0);
  }
  unsigned char out[4];
  EXPECT_TRUE(readHexText("", out));
  EXPECT_FALSE(readHexText("ABC", out));   // odd
  EXPECT_FALSE(readHexText("AB0G", out));  // not a digit
}

TEST(WireFormat, MessageLengthSpan) {
  struct Case {
    const char* text;
    std::optional<std::string_view> span;
  } cases[] = {
      {",NN=7F000001,ML=4000", "4000"},
      {",ML=4000,SV=1.0.0", "4000"},
      {",ML= 4000)", "4000"},
      {",ML=12a4;x", "12a4"},
      {",ML=", ""},
      {",ML=x", ""},
      {"ML=4000", std::nullopt},
      {",ML=1,ML=2", "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(messageLengthSpan(c.text), c.span);
  }
}

TEST(WireFormat, LengthClauseTravelsInEbcdic) {
  char clause[kLengthClauseLength + 1];
  formatLengthClause(513, clause);
  EXPECT_STREQ(clause, "(00513)='");
  unsigned char ebcdic[kLengthClauseLength];
  for (std::size_t i = 0; i < kLengthClauseLength; ++i) {
    ebcdic[i] = asciiToEbcdic(static_cast<unsigned char>(clause[i]));
  }
  EXPECT_EQ(ebcdic[8], kEbcdicApostrophe);
  std::size_t length = 0;
  ASSERT_TRUE(readEbcdicLengthClause(ebcdic, length));
  EXPECT_EQ(length, 513u);
  for (std::size_t i = 0; i < kLengthClauseLength; ++i) {
    SCOPED_TRACE(i);
    unsigned char damaged[kLengthClauseLength];
    std::memcpy(damaged, ebcdic, sizeof damaged);
    damaged[i] = 0x40;
    EXPECT_FALSE(readEbcdicLengthClause(damaged, length));
  }
}

}  // namespace
}  // namespace lumbra
