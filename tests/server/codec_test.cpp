// Framing, batch splitting, reply limits and row encoding, without sockets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/batch.h"
#include "server/framing.h"
#include "server/reply.h"
#include "server/rows.h"
#include "server/status.h"
#include "server/users.h"
#include "tests/server/server_harness.h"

namespace lumbra::server {
namespace {

using Kind = Frame::Kind;

std::vector<Frame> feedAll(FrameReader& reader, const std::string& bytes, std::size_t piece) {
  std::vector<Frame> frames;
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    reader.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    while (auto frame = reader.next()) frames.push_back(*frame);
  }
  return frames;
}

TEST(Framing, MessagesOfEveryKindInAnyPieces) {
  std::string data(
      "\x00LBXEOB\x7D"
      "AB",
      10);  // raw bytes holding the marker and a quote
  std::string bytes = "LUMTLBXEOB" + testing::loginMessage("ALICE", "SECRET") + "SELECT 1LBXEOB" +
                      testing::binaryInsert("INSERT INTO T VALUES (?)=", data, false) +
                      testing::binaryInsert("INSERT INTO T VALUES (?)=", data, true) + "LBXEOB";
  for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{7}, bytes.size()}) {
    SCOPED_TRACE("piece " + std::to_string(piece));
    FrameReader reader(4096);
    std::vector<Frame> frames = feedAll(reader, bytes, piece);
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[0].kind, Kind::Ordinary);
    EXPECT_EQ(frames[0].text, "LUMT");
    EXPECT_EQ(frames[1].kind, Kind::Login);
    EXPECT_EQ(frames[1].text.size(), 118u);
    EXPECT_EQ(frames[2].text, "SELECT 1");
    for (int i : {3, 4}) {
      EXPECT_EQ(frames[i].kind, Kind::BinaryInsert);
      EXPECT_EQ(frames[i].data, data);
      EXPECT_EQ(frames[i].text.size(), std::string("INSERT INTO T VALUES (?)").size());
    }
    EXPECT_EQ(frames[5].kind, Kind::Ordinary);
    EXPECT_EQ(frames[5].text, "");
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

TEST(Framing, OversizedAndMalformedMessagesKeepTheStreamInStep) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<Kind> kinds;
  };
  std::string wrongQuote = testing::binaryInsert("INSERT INTO T VALUES (?)=", "abc", false);
  wrongQuote[wrongQuote.size() - 7] = 'X';  // the 0x7D after the data
  std::vector<Case> cases = {
      {"oversized then normal",
       std::string(300, 'A') + "LBXEOB" + "PARMLBXEOB",
       {Kind::Oversized, Kind::Ordinary}},
      {"oversized with a marker split over reads",
       std::string(5000, 'B') + "LBXEOBPARMLBXEOB",
       {Kind::Oversized, Kind::Ordinary}},
      {"binary insert without a length clause",
       "\xC9\xD5\xE2\xC5\xD9\xE3\x40XYZLBXEOBPARMLBXEOB",
       {Kind::Malformed, Kind::Ordinary}},
      {"binary insert without its closing quote",
       wrongQuote + "PARMLBXEOB",
       {Kind::Malformed, Kind::Ordinary}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::size_t piece : {std::size_t{3}, std::size_t{4096}}) {
      FrameReader reader(200);
      std::vector<Frame> frames = feedAll(reader, c.bytes, piece);
      ASSERT_EQ(frames.size(), c.kinds.size());
      for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].kind, c.kinds[i]) << i;
      EXPECT_EQ(frames.back().text, "PARM");
    }
  }
}

TEST(Framing, IncompleteMessagesWait) {
  for (std::string bytes :
       {std::string("SELECT 1LBXEO"), std::string("ID \"0123"), std::string("\xC9\xD5\xE2"),
        testing::binaryInsert("INSERT INTO T VALUES (?)=", "abcdef", true).substr(0, 40)}) {
    FrameReader reader(4096);
    reader.feed(bytes.data(), bytes.size());
    EXPECT_FALSE(reader.next().has_value()) << bytes;
  }
}

TEST(Batch, SplitsAtUpdateWordsOutsideQuotes) {
  struct Case {
    const char* name;
    std::string message;
    std::vector<std::string> entries;
    std::string commit;
  };
  std::vector<Case> cases = {
      {"two entries and a commit",
       "INSERT INTO T VALUES (1,'@3 ') DELETE FROM T WHERE K=2 COMMIT",
       {"INSERT INTO T VALUES (1,'@3 ')", "DELETE FROM T WHERE K=2"},
       "COMMIT"},
      {"words inside literals",
       "UPDATE T SET A=' DELETE X' INSERT INTO T VALUES (\" COMMIT\") ",
       {"UPDATE T SET A=' DELETE X'", "INSERT INTO T VALUES (\" COMMIT\")"},
       ""},
      {"a run of blanks is no separator",
       "INSERT INTO T VALUES ('A@5 ') UPDATE T SET B=1 ",
       {"INSERT INTO T VALUES ('A@5 ')", "UPDATE T SET B=1"},
       ""},
      {"escaped @ before a blank",
       "INSERT INTO T VALUES ('@@') INSERT INTO T VALUES (2) ",
       {"INSERT INTO T VALUES ('@@')", "INSERT INTO T VALUES (2)"},
       ""},
      {"commit alone", "COMMIT WORK", {}, "COMMIT WORK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BatchParts parts = splitBatch(c.message);
    std::vector<std::string> entries(parts.entries.begin(), parts.entries.end());
    EXPECT_EQ(entries, c.entries);
    EXPECT_EQ(parts.commit.value_or(""), c.commit);
  }
}

TEST(Reply, NeverPassesTheLimitAndNeverHoldsTheMarkerInItsText) {
  std::string text(3000, 'X');
  for (std::size_t limit : {std::size_t{16}, std::size_t{17}, std::size_t{1900}, std::size_t{5000}}) {
    std::string reply = makeReply(0, text, limit);
    EXPECT_LE(reply.size(), std::max<std::size_t>(limit, 16));
    EXPECT_TRUE(reply.starts_with("LBX0000000"));
    EXPECT_TRUE(reply.ends_with("LBXEOB"));
  }
  EXPECT_EQ(makeReply(153, "NEGADO", 100), "LBX0000153NEGADOLBXEOB");
  EXPECT_EQ(hostText("no such table: lbxeob\x01"), "NO SUCH TABLE: LBX-EOB ");
  EXPECT_EQ(hostText("keeps case", false), "keeps case");
}

TEST(Rows, EncodedBlocksNeverHoldTheMarker) {
  // Rows chosen so that a plain run-length form would spell the marker inside
  // a row, across two rows, or through the digits of a run.
  std::vector<std::string> rows = {"xxLBXEOBxx",  "LLLLLLBXEOB", "aaaLBXEO",
                                   "Bbbbbbbbbbb", "@LBXEOB@@@@", std::string(10, 'B')};
  std::string block = "LBX100";
  for (const std::string& row : rows) {
    std::string padded = row;
    padded.resize(11, ' ');
    appendEncodedRow(padded, block);
  }
  EXPECT_EQ(block.find("LBXEOB"), std::string::npos);
  std::vector<std::string> decoded = testing::decodeRows(std::string_view(block).substr(6), 11);
  ASSERT_EQ(decoded.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::string padded = rows[i];
    padded.resize(11, ' ');
    EXPECT_EQ(decoded[i], padded) << i;
  }
}

TEST(Users, PasswordsTakeTheFormTheClientSends) {
  EXPECT_EQ(normalizePassword("secret  \n").value_or("?"), "SECRET");
  EXPECT_EQ(normalizePassword("Pass-1!").value_or("?"), "PASS-1!");
  // A blank is what the client sends for every character it cannot carry, so
  // a password holding one could be typed in several ways: refused.
  for (const char* bad :
       {"", " lead", "Pa ss-1!", "under_score", "brace{", "tilde~", "0123456789012345678901234"}) {
    EXPECT_FALSE(normalizePassword(bad).has_value()) << bad;
  }
  std::string stored = hashPassword("SECRET", 10);
  EXPECT_TRUE(verifyPassword("SECRET", stored));
  EXPECT_FALSE(verifyPassword("SECRET2", stored));
  EXPECT_NE(hashPassword("SECRET", 10), stored);  // salted
  for (const char* id : {"ALICE", "a.b-c_$#", "ELEVENCHARS"}) EXPECT_TRUE(validIdentification(id)) << id;
  for (const char* id : {"", "TWELVECHARSX", "A,ML=9", "A B"}) EXPECT_FALSE(validIdentification(id)) << id;
}

}  // namespace
}  // namespace lumbra::server
