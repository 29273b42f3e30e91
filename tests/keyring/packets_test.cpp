// packets_test.cpp -- the key ring walk over hand-made rings, the packets as
// written, MPI bit counts and the time stamp conversions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "keyring/byte_source.h"
#include "keyring/calendar.h"
#include "keyring/key_list.h"
#include "keyring/packet_reader.h"
#include "keyring/packet_writer.h"
#include "keyring_test_support.h"

using namespace keyring_test;
using Ids = std::vector<std::string>;

namespace {

struct Walked {
  int32_t status;
  Ids ids;
  std::vector<PublicKeyRecord> records;
};

Walked walk(const Bytes& ring) {
  orvak::ByteSource in(std::span<const uint8_t>(ring.data(), ring.size()));
  orvak::RingReadResult r = orvak::readKeyRing(in);
  Walked w{r.status, userIds(r.list), {}};
  for (PublicKeyRecord* p = r.list; p != nullptr; p = p->next) w.records.push_back(*p);
  free_publist(r.list);
  return w;
}

const Bytes e17{17};

}  // namespace

TEST(RingWalk, ReadsWhatTheFormatAllowsAndRefusesTheRest) {
  const Bytes k = keyPacket(0x99, 1024, e17, 5);
  struct Case {
    const char* name;
    Bytes ring;
    int32_t status;
    Ids ids;
  };
  const Case cases[] = {
      {"empty file", {}, 0, {}},
      {"one key", concat({k, userIdPacket("Adams")}), 0, {"Adams"}},
      {"1-byte length CTB 0x98", concat({keyPacket(0x98, 1024, e17, 5), userIdPacket("a")}), 0, {"a"}},
      {"4-byte length CTB 0x9A", concat({keyPacket(0x9A, 1024, e17, 5), userIdPacket("a")}), 0, {"a"}},
      {"no length field CTB 0x9B", concat({keyPacket(0x9B, 1024, e17, 5), userIdPacket("a")}), 0, {"a"}},
      {"bit 7 clear 0x18", concat({keyPacket(0x19, 1024, e17, 5), userIdPacket("a")}), 0, {"a"}},
      {"user id CTB 0xB5 still one length byte", concat({k, userIdPacket("a", 0xB5)}), 0, {"a"}},
      {"trust, uid, second uid, signature",
       concat(
           {k, otherPacket(0xB0, 1), userIdPacket("first"), userIdPacket("second"), otherPacket(0x89, 149)}),
       0,
       {"first"}},
      {"signature before the user id", concat({k, otherPacket(0x88, 63), userIdPacket("a")}), 0, {"a"}},
      {"keys sorted, equal ids in reverse file order",
       concat({k, userIdPacket("Clark"), keyPacket(0x99, 1024, e17, 5, 1), userIdPacket("adams"),
               keyPacket(0x99, 1024, e17, 5, 2), userIdPacket("ADAMS")}),
       0,
       {"ADAMS", "adams", "Clark"}},
      {"next key met while looking for a user id",
       concat({k, keyPacket(0x99, 512, e17, 5), userIdPacket("not the first's")}),
       KEYRING_FORMAT_ERROR,
       {}},
      {"next key after a trust packet, before any user id",
       concat({k, otherPacket(0xB0, 1), keyPacket(0x98, 512, e17, 5), userIdPacket("b")}),
       KEYRING_FORMAT_ERROR,
       {}},
      {"first packet a user id", concat({userIdPacket("a"), k, userIdPacket("b")}), KEYRING_FORMAT_ERROR, {}},
      {"secret key ring", concat({otherPacket(0x95, 20), k, userIdPacket("b")}), KEYRING_FORMAT_ERROR, {}},
      {"text armour", Bytes{'-', '-', '-', '-', '-', 'B'}, KEYRING_FORMAT_ERROR, {}},
      {"last key without user id", concat({k, userIdPacket("a"), k}), KEYRING_FORMAT_ERROR, {}},
      {"last key followed by a signature only",
       concat({k, userIdPacket("a"), k, otherPacket(0x89, 10)}),
       KEYRING_FORMAT_ERROR,
       {}},
      {"exponent of 32 bits",
       concat({keyPacket(0x99, 1024, {0x80, 0, 0, 1}, 32), userIdPacket("a")}),
       0,
       {"a"}},
      {"exponent of 33 bits",
       concat({keyPacket(0x99, 1024, {1, 0, 0, 0, 1}, 33), userIdPacket("a")}),
       KEYRING_FORMAT_ERROR,
       {}},
      {"modulus of 1025 bits",
       concat({keyPacket(0x99, 1025, e17, 5), userIdPacket("a")}),
       KEYRING_FORMAT_ERROR,
       {}},
      {"length type 3 packet to skip",
       concat({k, Bytes{0x8B, 1, 2, 3}, userIdPacket("a")}),
       KEYRING_FORMAT_ERROR,
       {}},
      // A skipped packet that the file ends inside: the walk meets the end at
      // its next CTB, where the end is fine unless a key awaits its user id.
      {"trailing signature longer than the file",
       concat({k, userIdPacket("a"), Bytes{0x89, 0x01, 0x00, 1, 2}}),
       0,
       {"a"}},
      {"trailing 4-byte length far past the end",
       concat({k, userIdPacket("a"), Bytes{0x8A, 0xFF, 0xFF, 0xFF, 0xFF}}),
       0,
       {"a"}},
      {"smallest key, empty user id, trust packet cut after its length",
       Bytes{0x99, 0x00, 0x0D, 0x02, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0xB4, 0x00, 0xB0, 0x01},
       0,
       {""}},
      {"signature cut while the key awaits its user id",
       concat({k, Bytes{0x89, 0x00, 0x0A, 1, 2}}),
       KEYRING_FORMAT_ERROR,
       {}},
      {"file ends inside a skipped packet's length field",
       concat({k, userIdPacket("a"), Bytes{0x89, 0x01}}),
       KEYRING_FORMAT_ERROR,
       {}},
  };
  for (const Case& c : cases) {
    const Walked w = walk(c.ring);
    EXPECT_EQ(w.status, c.status) << c.name;
    EXPECT_EQ(w.ids, c.ids) << c.name;
  }
}

TEST(RingWalk, TakesTheKeyFieldsAndCutsLongUserIds) {
  const std::string longId(200, 'L');
  const Walked w =
      walk(concat({keyPacket(0x99, 1023, {0x01, 0x00, 0x01}, 17, 0x2FB48D01, 0x40), userIdPacket(longId)}));
  ASSERT_EQ(w.status, 0);
  ASSERT_EQ(w.records.size(), 1u);
  const PublicKeyRecord& r = w.records[0];
  EXPECT_EQ(r.modulusLength, 128);
  EXPECT_EQ(r.modulus[0], 0x7F);
  EXPECT_EQ(r.modulus[127], static_cast<uint8_t>(0x40 + 127));
  EXPECT_EQ(r.exponentLength, 3);
  EXPECT_EQ(r.exponent[0], 0x01);
  EXPECT_EQ(r.exponent[2], 0x01);
  EXPECT_EQ(std::string(r.userId), std::string(31, 'L'));
  EXPECT_EQ(r.created.year, 95);
  EXPECT_EQ(r.created.month, 5);
  EXPECT_EQ(r.created.day, 13);
  EXPECT_EQ(r.created.hour, 10);
  EXPECT_EQ(r.created.minute, 42);
  EXPECT_EQ(r.created.second, 9);
}

TEST(RingWalk, LeadingZeroBytesOfAnMpiAreDropped) {
  // Bit counts larger than the numbers need: exponent 0x00 0x11 announced as
  // 16 bits, exponent 0x00 announced as 8 bits. The records start with a
  // non-zero byte, as a save writes them back.
  const struct {
    Bytes exponent;
    unsigned bits;
    int32_t length;
  } cases[] = {{{0x00, 0x11}, 16, 1}, {{0x00}, 8, 0}, {{0x00, 0x00, 0x01, 0x00}, 32, 2}};
  for (const auto& c : cases) {
    const Walked w = walk(concat({keyPacket(0x99, 512, c.exponent, c.bits), userIdPacket("zeros")}));
    ASSERT_EQ(w.status, 0);
    ASSERT_EQ(w.records.size(), 1u);
    EXPECT_EQ(w.records[0].exponentLength, c.length) << c.bits;
    if (c.length > 0) {
      EXPECT_NE(w.records[0].exponent[0], 0);
    }
  }
}

TEST(RingWalk, CutsLoadTheWholeKeysUnlessAKeyOrItsUserIdIsCut) {
  const Bytes key = keyPacket(0x99, 1024, e17, 5);
  const Bytes uid = userIdPacket("Adams");
  const Bytes sig = otherPacket(0x89, 20);  // CTB and a 2-byte length field, then its body
  const Bytes ring = concat({key, uid, sig, key, uid});
  const std::size_t wholeFirst = key.size() + uid.size();
  const std::size_t sigBody = wholeFirst + 3;
  const std::size_t afterSignature = wholeFirst + sig.size();
  for (std::size_t cut = 1; cut < ring.size(); ++cut) {
    const Walked w = walk(Bytes(ring.begin(), ring.begin() + static_cast<std::ptrdiff_t>(cut)));
    // Whole first key, then nothing or a signature whose body is cut short.
    if (cut == wholeFirst || (cut >= sigBody && cut <= afterSignature)) {
      EXPECT_EQ(w.status, 0) << cut;
      EXPECT_EQ(w.ids, Ids{"Adams"}) << cut;
    } else {  // inside a key, a user id, or the signature's length field
      EXPECT_EQ(w.status, KEYRING_FORMAT_ERROR) << cut;
      EXPECT_TRUE(w.ids.empty()) << cut;
    }
  }
}

TEST(RingWalk, StreamSourceCrossesItsBufferBoundaries) {
  // More than one 64 KiB buffer of keys, read through a file stream.
  Bytes ring;
  for (int i = 0; i < 600; ++i) {
    const Bytes k = keyPacket(static_cast<uint8_t>(0x98 + i % 3), 1024, e17, 5, static_cast<uint32_t>(i));
    ring.insert(ring.end(), k.begin(), k.end());
    const Bytes u = userIdPacket("id" + std::to_string(i % 97));
    ring.insert(ring.end(), u.begin(), u.end());
  }
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(ring.data(), 1, ring.size(), f), ring.size());
  std::rewind(f);
  orvak::ByteSource in(f);
  orvak::RingReadResult r = orvak::readKeyRing(in);
  std::fclose(f);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(length_publist(r.list), 600);
  const Walked memory = walk(ring);
  EXPECT_EQ(userIds(r.list), memory.ids);
  free_publist(r.list);
}

TEST(RingWalk, LoadsExactlyAsRepeatedOrderedInsertion) {
  // Many equal and case-folded ids in scrambled order.
  Bytes ring;
  KeyList expected = empty_publist();
  const char* names[] = {"carol", "Bob", "alice", "BOB", "Carol", "bob", "dave", "alice", "ALICE", "eve"};
  for (int i = 0; i < 200; ++i) {
    const std::string id = std::string(names[(i * 7) % 10]) + (i % 3 == 0 ? "" : " x");
    const Bytes k = keyPacket(0x99, 1024, e17, 5, static_cast<uint32_t>(1000 + i));
    ring.insert(ring.end(), k.begin(), k.end());
    const Bytes u = userIdPacket(id);
    ring.insert(ring.end(), u.begin(), u.end());
    PublicKeyRecord rec{};
    std::strcpy(rec.userId, id.c_str());
    rec.created = orvak::timeToCalendar(static_cast<uint32_t>(1000 + i));
    expected = AddPublicKey(expected, &rec);
  }
  const Walked w = walk(ring);
  ASSERT_EQ(w.status, 0);
  ASSERT_EQ(w.records.size(), 200u);
  std::size_t i = 0;
  for (PublicKeyRecord* e = expected; e != nullptr; e = e->next, ++i) {
    EXPECT_STREQ(w.records[i].userId, e->userId) << i;
    EXPECT_EQ(orvak::calendarToTime(w.records[i].created), orvak::calendarToTime(e->created)) << i;
  }
  free_publist(expected);
}

namespace {

Bytes written(const PublicKeyRecord& rec, uint32_t timestamp, uint16_t validity, int32_t* status = nullptr) {
  std::FILE* f = std::tmpfile();
  const int32_t s = write_public_key_packet(f, &rec, timestamp, validity);
  if (status != nullptr) *status = s;
  orvak::writeUserIdPacket(f, rec.userId);
  Bytes out(static_cast<std::size_t>(std::ftell(f)));
  std::rewind(f);
  if (!out.empty() && std::fread(out.data(), 1, out.size(), f) != out.size()) out.clear();
  std::fclose(f);
  return out;
}

}  // namespace

TEST(PacketsAsWritten, A1024BitKeyWithATenCharacterIdIs156Bytes) {
  const PublicKeyRecord rec = makeRecord("0123456789");
  int32_t status = -1;
  const Bytes b = written(rec, 0x316C2E64, 0x0102, &status);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(b.size(), 156u);
  const Bytes head{0x99, 0x00, 0x8D, 0x02, 0x31, 0x6C, 0x2E, 0x64, 0x01, 0x02, 0x01, 0x04, 0x00};
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 13), head);
  EXPECT_EQ(std::memcmp(b.data() + 13, rec.modulus, 128), 0);
  EXPECT_EQ(Bytes(b.begin() + 141, b.begin() + 144), (Bytes{0x00, 0x05, 0x11}));
  EXPECT_EQ(Bytes(b.begin() + 144, b.end()),
            (Bytes{0xB4, 10, '0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
}

TEST(PacketsAsWritten, MpisCarryTheirBitCounts) {
  struct Case {
    Bytes exponent;
    Bytes mpi;  // as written
  };
  const Case cases[] = {
      {{0x01, 0x00, 0x01}, {0x00, 0x11, 0x01, 0x00, 0x01}},  // 65537: 17 bits, 3 bytes
      {{0x03}, {0x00, 0x02, 0x03}},                          // 3: 2 bits
      {{0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x20, 0xFF, 0xFF, 0xFF, 0xFF}},
      {{}, {0x00, 0x00}},
      {{0x00, 0x11}, {0x00, 0x05, 0x11}},  // a leading zero byte is not written
  };
  for (const Case& c : cases) {
    PublicKeyRecord rec = makeRecord("e", 16);
    rec.exponentLength = static_cast<int32_t>(c.exponent.size());
    if (!c.exponent.empty()) std::memcpy(rec.exponent, c.exponent.data(), c.exponent.size());
    const Bytes b = written(rec, 0, 0);
    const std::size_t at = 3 + 8 + 2 + 16;
    ASSERT_GE(b.size(), at + c.mpi.size());
    EXPECT_EQ(Bytes(b.begin() + static_cast<std::ptrdiff_t>(at),
                    b.begin() + static_cast<std::ptrdiff_t>(at + c.mpi.size())),
              c.mpi);
    // The length field counts exactly the body that follows.
    EXPECT_EQ(static_cast<std::size_t>(b[1] << 8 | b[2]), at + c.mpi.size() - 3);
  }
  EXPECT_EQ(orvak::mpiBitCount(nullptr, 0), 0);
  const uint8_t zeros[3] = {0, 0, 0};
  EXPECT_EQ(orvak::mpiBitCount(zeros, 3), 0);
  const uint8_t n1023[2] = {0x7F, 0xFF};
  EXPECT_EQ(orvak::mpiBitCount(n1023, 2), 15);
}

TEST(PacketsAsWritten, RefusesRecordsWithLengthsOutOfRange) {
  struct Case {
    int32_t modulusLength;
    int32_t exponentLength;
  };
  for (const Case c : {Case{129, 1}, Case{-1, 1}, Case{128, 5}, Case{128, -3}}) {
    PublicKeyRecord rec = makeRecord("bad");
    rec.modulusLength = c.modulusLength;
    rec.exponentLength = c.exponentLength;
    std::FILE* f = std::tmpfile();
    EXPECT_EQ(write_public_key_packet(f, &rec, 0, 0), PACKET_WRITE_FAILED);
    EXPECT_EQ(std::ftell(f), 0L);
    std::fclose(f);
  }
}

TEST(PacketsAsWritten, AFailedWriteIsReported) {
  std::FILE* f = std::fopen("/dev/full", "wb");
  if (f == nullptr) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(f, nullptr, _IONBF, 0);
  const PublicKeyRecord rec = makeRecord("x");
  EXPECT_EQ(write_public_key_packet(f, &rec, 0, 0), PACKET_WRITE_FAILED);
  std::fclose(f);
}

TEST(TimeStamps, ConvertAtTheBoundaries) {
  struct Case {
    uint32_t stamp;
    CalendarTime time;  // second, minute, hour, day, month, year
  };
  const Case cases[] = {
      {0, {0, 0, 0, 1, 1, 70}},
      {86399, {59, 59, 23, 1, 1, 70}},
      {68169600, {0, 0, 0, 29, 2, 72}},  // first leap day
      {68256000, {0, 0, 0, 1, 3, 72}},
      {951782400, {0, 0, 0, 29, 2, 100}},  // 2000-02-29
      {0x316C2E64, {48, 55, 21, 10, 4, 96}},
      {4107456000u, {0, 0, 0, 28, 2, 200}},  // 2100-02-28
      {4107542400u, {0, 0, 0, 29, 2, 200}},  // 2100 counted as a leap year
      {4294967295u, {15, 28, 6, 6, 2, 206}},
  };
  for (const Case& c : cases) {
    const CalendarTime t = orvak::timeToCalendar(c.stamp);
    EXPECT_EQ(t.second, c.time.second) << c.stamp;
    EXPECT_EQ(t.minute, c.time.minute) << c.stamp;
    EXPECT_EQ(t.hour, c.time.hour) << c.stamp;
    EXPECT_EQ(t.day, c.time.day) << c.stamp;
    EXPECT_EQ(t.month, c.time.month) << c.stamp;
    EXPECT_EQ(t.year, c.time.year) << c.stamp;
    EXPECT_EQ(orvak::calendarToTime(c.time), c.stamp) << c.stamp;
  }
}

TEST(TimeStamps, AreExactInversesAcrossTheRange) {
  for (uint64_t s = 0; s <= 0xFFFFFFFFu; s += 9973 * 61) {  // ~7000 samples, every hour and day position
    const auto stamp = static_cast<uint32_t>(s);
    ASSERT_EQ(orvak::calendarToTime(orvak::timeToCalendar(stamp)), stamp);
  }
  for (uint32_t day = 0; day < 49710; ++day) {  // every day of the range, at its last second
    const uint32_t stamp = day * 86400u + 86399u;
    ASSERT_EQ(orvak::calendarToTime(orvak::timeToCalendar(stamp)), stamp) << day;
  }
}

TEST(TimeStamps, OddCalendarValuesStayInsideTheTable) {
  struct Case {
    CalendarTime time;
    uint32_t stamp;
  };
  const Case cases[] = {
      {{0, 0, 0, 1, 1, 69}, 0},             // before 1970
      {{0, 0, 0, 1, 13, 99}, 946684800},    // month 13 of 1999: January 2000
      {{0, 0, 0, 1, 0, 100}, 944006400},    // month 0 of 2000: December 1999
      {{0, 0, 0, 1, -11, 100}, 915148800},  // January 1999
      {{0, 0, 0, 1, 1, 70 - 1}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(orvak::calendarToTime(c.time), c.stamp);
  // Extreme values neither overflow nor index outside (checked under the sanitizers).
  const CalendarTime extreme{INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, INT32_MIN, INT32_MAX};
  (void)orvak::calendarToTime(extreme);
  const CalendarTime extreme2{0, 0, 0, 1, INT32_MAX, INT32_MIN};
  EXPECT_EQ(orvak::calendarToTime(extreme2), 0u);
}

TEST(RingWalk, DamagedBytesNeverReadOutsideTheData) {
  // Every byte of a small ring replaced by a few values: the walk answers 0 or
  // KEYRING_FORMAT_ERROR, and the sanitizer build checks every access.
  const Bytes ring = concat({keyPacket(0x99, 64, {1, 0, 1}, 17), otherPacket(0xB0, 1), userIdPacket("Adams"),
                             otherPacket(0x89, 12), keyPacket(0x98, 512, e17, 5), userIdPacket("Baker")});
  for (std::size_t at = 0; at < ring.size(); ++at) {
    for (const uint8_t value : Bytes{0x00, 0x03, 0x7F, 0x80, 0xFF, static_cast<uint8_t>(ring[at] ^ 0x01)}) {
      Bytes damaged = ring;
      damaged[at] = value;
      const Walked w = walk(damaged);
      ASSERT_TRUE(w.status == 0 || w.status == KEYRING_FORMAT_ERROR) << at;
      if (w.status != 0) {
        ASSERT_TRUE(w.ids.empty()) << at;
      }
      for (const PublicKeyRecord& r : w.records) {
        ASSERT_LE(r.modulusLength, 128);
        ASSERT_LE(r.exponentLength, 4);
        ASSERT_LT(std::strlen(r.userId), 32u);
      }
    }
  }
}
