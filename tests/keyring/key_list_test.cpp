// key_list_test.cpp -- list primitives, user-id order and normalization, ordered
// insertion, and running out of memory for a record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "keyring/byte_source.h"
#include "keyring/key_list.h"
#include "keyring/packet_reader.h"
#include "keyring/orvak32.h"
#include "keyring_test_support.h"
#include "platform/memory.h"

using namespace keyring_test;
using Ids = std::vector<std::string>;

TEST(ListPrimitives, EmptyListAnswers) {
  KeyList empty = empty_publist();
  EXPECT_EQ(empty, nullptr);
  EXPECT_EQ(is_empty_publist(empty), 1);
  EXPECT_EQ(length_publist(empty), 0);
  EXPECT_EQ(head_publist(empty), nullptr);
  EXPECT_EQ(tail_publist(empty), nullptr);
  EXPECT_EQ(rm_head_publist(empty), nullptr);
  PublicKeyRecord out = makeRecord("untouched");
  EXPECT_EQ(bhead_publist(empty, &out), 1);
  EXPECT_STREQ(out.userId, "untouched");
  free_publist(empty);
}

TEST(ListPrimitives, ConsCopiesTheRecordAndLinksTheList) {
  PublicKeyRecord rec = makeRecord("Baker");
  KeyList tail = cons_publist(&rec, empty_publist());
  rec.next = reinterpret_cast<PublicKeyRecord*>(0x1);  // never read
  std::strcpy(rec.userId, "Adams");
  KeyList list = cons_publist(&rec, tail);
  std::strcpy(rec.userId, "changed");  // the caller's record is free for reuse
  rec.modulus[5] = 0;

  EXPECT_EQ(userIds(list), (Ids{"Adams", "Baker"}));
  EXPECT_EQ(tail_publist(list), tail);  // linked, not copied
  EXPECT_EQ(is_empty_publist(list), 0);
  EXPECT_EQ(length_publist(list), 2);
  EXPECT_NE(head_publist(list)->modulus[5], 0);

  PublicKeyRecord out{};
  out.next = reinterpret_cast<PublicKeyRecord*>(0x2);
  EXPECT_EQ(bhead_publist(list, &out), 0);
  EXPECT_STREQ(out.userId, "Adams");
  EXPECT_EQ(out.modulusLength, 128);
  EXPECT_EQ(std::memcmp(out.modulus, head_publist(list)->modulus, 128), 0);
  EXPECT_EQ(out.created.year, 95);
  EXPECT_EQ(out.next, reinterpret_cast<PublicKeyRecord*>(0x2));  // next is never copied

  list = rm_head_publist(list);
  EXPECT_EQ(list, tail);
  free_publist(list);
}

TEST(ListPrimitives, AppendSharesTheSecondAndCopiesTheFirst) {
  KeyList first = listOf({makeRecord("a"), makeRecord("b")});
  KeyList second = listOf({makeRecord("c")});

  EXPECT_EQ(append_publist(empty_publist(), second), second);  // second itself

  KeyList both = append_publist(first, second);
  EXPECT_EQ(userIds(both), (Ids{"a", "b", "c"}));
  EXPECT_NE(both, first);
  EXPECT_NE(tail_publist(both), tail_publist(first));
  EXPECT_EQ(tail_publist(tail_publist(both)), second);
  EXPECT_EQ(userIds(first), (Ids{"a", "b"}));  // first unchanged
  EXPECT_EQ(tail_publist(tail_publist(first)), nullptr);

  KeyList copy = append_publist(first, empty_publist());  // a fresh copy
  EXPECT_NE(copy, first);
  EXPECT_EQ(userIds(copy), (Ids{"a", "b"}));

  // Release each record once: both's own copies, then the shared second.
  while (both != second) both = rm_head_publist(both);
  free_publist(second);
  free_publist(first);
  free_publist(copy);
}

TEST(ListPrimitives, ALongUserIdIsCutAndTerminatedInTheCopy) {
  PublicKeyRecord rec = makeRecord("x");
  std::memset(rec.userId, 'Q', sizeof rec.userId);  // no terminator at all
  KeyList list = cons_publist(&rec, empty_publist());
  EXPECT_EQ(std::string(head_publist(list)->userId), std::string(31, 'Q'));
  char buffer[32];
  EXPECT_EQ(GetIdFromPubkey(&rec, buffer), 0);  // never more than 32 bytes into the buffer
  EXPECT_EQ(std::string(buffer), std::string(31, 'Q'));
  free_publist(list);
}

TEST(UserIdOrder, FoldsLettersAndComparesBytesUnsigned) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  };
  const Case cases[] = {
      {"adams", "ADAMS", 0}, {"Adams", "Baker", -1}, {"baker", "Adams", 1},
      {"Adam", "Adams", -1}, {"", "a", -1},          {"", "", 0},
      {"_x", "a", -1},       {"[", "A", -1},         {"`", "z", -1},        // codes 91-96 before letters
      {"Z", "_", 1},         {"\xE1", "z", 1},       {"\x7F", "\x80", -1},  // unsigned bytes
      {"a b", "a", 1},
  };
  for (const Case& c : cases) {
    const int got = orvak::compareUserIds(c.a, c.b);
    EXPECT_EQ((got > 0) - (got < 0), c.sign) << '"' << c.a << "\" vs \"" << c.b << '"';
  }
}

TEST(UserIdOrder, NormalizationDropsTrailingBlanksAndCountsThirtyOneCharacters) {
  struct Case {
    std::string text;
    std::string normalized;
  };
  const Case cases[] = {
      {"Adams  ", "Adams"},
      {"  Adams ", "  Adams"},
      {"   ", " "},
      {"", ""},
      {"tab\t", "tab\t"},
      {std::string(40, 'x'), std::string(31, 'x')},
      {std::string(30, 'x') + "  y", std::string(30, 'x')},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::string(orvak::normalizeUserId(c.text.c_str()).text), c.normalized) << '"' << c.text << '"';
  }
  EXPECT_TRUE(orvak::sameUserId(orvak::normalizeUserId("ADAMS  "), orvak::normalizeUserId("adams")));
  EXPECT_FALSE(orvak::sameUserId(orvak::normalizeUserId("adams x"), orvak::normalizeUserId("adams")));
}

TEST(OrderedInsertion, PlacesEachKeyBeforeTheFirstEqualOrLater) {
  struct Case {
    const char* added;
    Ids expected;
  };
  const Case cases[] = {
      {"Baker", {"Adams", "Baker", "Clark"}},
      {"Young", {"Adams", "Clark", "Young"}},
      {"Abbot", {"Abbot", "Adams", "Clark"}},
      {"adams", {"adams", "Adams", "Clark"}},  // equal after folding: in front
      {"CLARK", {"Adams", "CLARK", "Clark"}},
  };
  for (const Case& c : cases) {
    KeyList list = listOf({makeRecord("Adams"), makeRecord("Clark")});
    PublicKeyRecord rec = makeRecord(c.added);
    list = AddPublicKey(list, &rec);
    EXPECT_EQ(userIds(list), c.expected) << c.added;
    free_publist(list);
  }

  PublicKeyRecord only = makeRecord("only");
  KeyList list = AddPublicKey(empty_publist(), &only);
  EXPECT_EQ(userIds(list), (Ids{"only"}));
  list = AddPublicKey(list, &only);
  EXPECT_EQ(length_publist(list), 2);  // no duplicate check
  free_publist(list);
}

TEST(OrderedInsertion, WalksAnUnorderedListTheSameWay) {
  KeyList list = listOf({makeRecord("Davis"), makeRecord("Adams"), makeRecord("Evans")});
  PublicKeyRecord rec = makeRecord("Baker");
  list = AddPublicKey(list, &rec);  // goes in front of the first record at or after it: Davis
  EXPECT_EQ(userIds(list), (Ids{"Baker", "Davis", "Adams", "Evans"}));
  free_publist(list);
}

// Makes the record allocator fail after a number of successful allocations.
class FailingAllocator {
 public:
  explicit FailingAllocator(int allowed) : saved_(platform::memoryCalls()) {
    budget() = allowed;
    platform::memoryCalls().allocate = [](std::size_t size) -> void* {
      if (budget() <= 0) return nullptr;
      --budget();
      return std::malloc(size);
    };
  }
  ~FailingAllocator() { platform::memoryCalls() = saved_; }
  static int& budget() {
    static int b = 0;
    return b;
  }

 private:
  platform::MemoryCalls saved_;
};

TEST(OutOfMemory, AddingOperationsKeepTheListWhole) {
  KeyList list = listOf({makeRecord("Adams"), makeRecord("Clark")});
  KeyList second = listOf({makeRecord("Young")});
  PublicKeyRecord rec = makeRecord("Baker");
  {
    FailingAllocator none(0);
    EXPECT_EQ(cons_publist(&rec, list), list);
    EXPECT_EQ(AddPublicKey(list, &rec), list);
    EXPECT_EQ(AddPublicKey(empty_publist(), &rec), nullptr);
  }
  {
    FailingAllocator one(1);  // append needs two copies: the first is released again
    EXPECT_EQ(append_publist(list, second), second);
  }
  EXPECT_EQ(userIds(list), (Ids{"Adams", "Clark"}));
  EXPECT_EQ(userIds(second), (Ids{"Young"}));
  {
    FailingAllocator none(0);  // removal needs no memory
    list = RemovePublicKey(list, "Clark");
  }
  EXPECT_EQ(userIds(list), (Ids{"Adams"}));
  free_publist(list);
  free_publist(second);
}

TEST(OutOfMemory, LoadingReleasesWhatItReadAndReportsTheRing) {
  const Bytes key = keyPacket(0x99, 1024, {17}, 5);
  const Bytes ring = concat({key, userIdPacket("a"), key, userIdPacket("b"), key, userIdPacket("c")});
  FailingAllocator two(2);  // the third record finds no memory
  orvak::ByteSource in(std::span<const uint8_t>(ring.data(), ring.size()));
  const orvak::RingReadResult r = orvak::readKeyRing(in);
  EXPECT_EQ(r.status, KEYRING_OPEN_FAILED);
  EXPECT_EQ(r.list, nullptr);  // the two records read are released (the leak check sees it)
}
