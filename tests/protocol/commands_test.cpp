// Tests of the command language's facts: the word cut, the paths, the COMMIT items, the refused update of a batch.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/commands.h"

namespace lumbra {
namespace {

TEST(CommandWords, CutAndAcceptance) {
  struct Case {
    const char* text;
    std::string_view bare;    // the server's word
    std::string_view padded;  // the client's word
    bool accepted;
  } cases[] = {
      {"SELECT * FROM T", "SELECT", "SELECT ", true},
      {"COMMIT", "COMMIT", "COMMIT ", true},
      {"", "", " ", true},             // a lone blank stands in the list
      {"ECT X", "ECT", "ECT ", true},  // the tail of SELECT and its blank
      {"select x", "select", "select ", false},
      {"SELECTED X", "SELECTED", "SELECTED ", false},
      {"ABCDEFGHIJKLMNO X", "ABCDEFGHIJKLMNO", "ABCDEFGHIJKLMNO ", false},
      {"ABCDEFGHIJKLMNOP X", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", false},
      {"ABCDEFGHIJKLMNOPQRS", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(commandWord(c.text), c.bare);
    const PaddedCommandWord word = paddedCommandWord(c.text);
    EXPECT_EQ(std::string_view(word.text), c.padded);
    EXPECT_EQ(isAcceptedWord(word), c.accepted);
  }
}

TEST(CommandWords, ListAndTextNameTheSameWords) {
  std::string joined;
  for (std::string_view word : kCommandWordList) joined += std::string(word) + ' ';
  EXPECT_EQ(joined, kCommandWords);
  for (std::string_view batched : kBatchedWords) {
    EXPECT_NE(joined.find(batched), std::string::npos) << batched;
  }
}

TEST(CommandWords, Paths) {
  struct Case {
    const char* text;
    bool batched;       // the client batches it
    bool namesBatched;  // the server takes it as a batch
    bool commit;
    LocalAnswer local;
  } cases[] = {
      {"INSERT INTO T VALUES (1)", true, true, false, LocalAnswer::None},
      {"UPDATE T SET A=1", true, true, false, LocalAnswer::None},
      {"DELETE FROM T", true, true, false, LocalAnswer::None},
      {"DELETE", false, true, false, LocalAnswer::None},
      {"INSERTX", false, true, false, LocalAnswer::None},
      {"insert into t", false, false, false, LocalAnswer::None},
      {"COMMIT", false, false, true, LocalAnswer::None},
      {"COMMITTED", false, false, true, LocalAnswer::None},
      {"GETSET CLIENTID", false, false, false, LocalAnswer::ClientId},
      {"GETSET SERVERINFO", false, false, false, LocalAnswer::ServerInfo},
      {"GETSET SERVERINFO CLIENTID", false, false, false, LocalAnswer::ClientId},
      {"GETSET TIMEOUT", false, false, false, LocalAnswer::None},
      {"GETSETCLIENTID", false, false, false, LocalAnswer::None},
      {"SELECT CLIENTID FROM T", false, false, false, LocalAnswer::None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(isBatchedCommand(c.text), c.batched);
    EXPECT_EQ(namesBatchedWord(c.text), c.namesBatched);
    EXPECT_EQ(isCommitCommand(c.text), c.commit);
    EXPECT_EQ(localAnswerOf(c.text), c.local);
  }
}

TEST(CommitReply, ItemsRoundTrip) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> changes;
    long long updates;
    std::size_t room;
    std::string text;
    std::int32_t items;                 // what LBCommand answers
    std::optional<std::int64_t> total;  // what the '+' item says
  } cases[] = {
      {"every update an item", {1, 0, 7}, 3, 1000, "0000000001 0000000000 0000000007 ", 3, std::nullopt},
      {"no update", {}, 0, 1000, "", 0, std::nullopt},
      {"uncounted updates change 0", {4}, 2, 1000, "0000000004 0000000000 ", 2, std::nullopt},
      {"the last item that fits is the total",
       {1, 2, 3, 4, 5},
       5,
       33,
       "0000000001 0000000002 +000000005 ",
       3,
       5},
      {"a total alone", {1, 2}, 2, 11, "+000000002 ", 1, 2},
      {"no room for an item", {1}, 1, 10, "", 0, std::nullopt},
      {"the total stops at nine digits", {}, 1234567890, 11, "+999999999 ", 1, 999999999},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = formatCommitText(c.changes, c.updates, c.room);
    EXPECT_EQ(text, c.text);
    EXPECT_LE(text.size(), c.room);
    EXPECT_EQ(commitItemCount(text.size()), c.items);
    EXPECT_EQ(commitTotal(text), c.total);
  }
}

TEST(CommitReply, TotalRefusesWhatIsNoTotalItem) {
  for (const char* text :
       {"+000000005", "0000000001 +00000005x ", "0000000001 +000000005  ", "-000000005 "}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(commitTotal(text), std::nullopt);
  }
  EXPECT_EQ(commitItemCount(32), 2);
  EXPECT_EQ(commitItemCount(33), 3);
}

TEST(BatchRefusal, UpdatePlaceRoundTrip) {
  for (std::size_t n : {std::size_t{1}, std::size_t{42}, std::size_t{999999999}}) {
    const std::string place = batchUpdatePlace(n);
    EXPECT_EQ(readBatchUpdatePlace("ERRO SQL " + place + ": no such table: T"), n) << place;
  }
  EXPECT_EQ(batchUpdatePlace(2), "NA ATUALIZACAO 2 DO LOTE");
  for (const char* text : {"ERRO SQL: no such table", "NA ATUALIZACAO  DO LOTE", "NA ATUALIZACAO 3 DO",
                           "NA ATUALIZACAO 3DO LOTE", "NA ATUALIZACAO 1234567890 DO LOTE"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(readBatchUpdatePlace(text), std::nullopt);
  }
}

}  // namespace
}  // namespace lumbra
