// ring_ops_test.cpp -- loading and saving key ring files (real PGP 2.x rings
// included), the save that never destroys the old ring, searches and removal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "keyring/calendar.h"
#include "keyring/orvak32.h"
#include "changed_ring.h"
#include "keyring_test_support.h"
#include "platform/files.h"

using namespace keyring_test;
using Ids = std::vector<std::string>;

namespace {

KeyList load(const std::filesystem::path& path, int32_t& status) {
  status = -1;
  return LoadPublicKeys(path.string().c_str(), &status);
}

const Ids kFitsOrder{"Ben Laurie <ben@algroup.co.uk>", "Doug MacEachern <dougm@osf.org>",
                     "fr.announce.newgroups", "Jim Jagielski <jim@jaguNET.com>", "news.announce.newgroups"};

}  // namespace

TEST(LoadSave, MissingEmptyAndForeignFiles) {
  TempDir dir;
  int32_t status = 0;
  EXPECT_EQ(load(dir / "absent.pgp", status), nullptr);
  EXPECT_EQ(status, KEYRING_OPEN_FAILED);
  EXPECT_EQ(LoadPublicKeys(nullptr, &status), nullptr);
  EXPECT_EQ(status, KEYRING_OPEN_FAILED);

  writeFile(dir / "empty.pgp", {});
  EXPECT_EQ(load(dir / "empty.pgp", status), nullptr);
  EXPECT_EQ(status, 0);

  writeFile(dir / "uid.pgp", userIdPacket("x"));
  EXPECT_EQ(load(dir / "uid.pgp", status), nullptr);
  EXPECT_EQ(status, KEYRING_FORMAT_ERROR);

  EXPECT_EQ(load(testData("httpd-laurie.asc"), status), nullptr);  // text armour
  EXPECT_EQ(status, KEYRING_FORMAT_ERROR);

  EXPECT_EQ(SavePublicKeys(empty_publist(), (dir / "new.pgp").string().c_str()), 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "new.pgp"));
  EXPECT_EQ(std::filesystem::file_size(dir / "new.pgp"), 0u);
  EXPECT_EQ(SavePublicKeys(empty_publist(), (dir / "no" / "such" / "folder.pgp").string().c_str()),
            KEYRING_CREATE_FAILED);
  EXPECT_EQ(SavePublicKeys(empty_publist(), nullptr), KEYRING_CREATE_FAILED);
}

TEST(RealRings, FittingRingsLoadInUserIdOrderAndSaveAsExpected) {
  const Bytes expectedSave = readFile(testData("ring-fits.expected-save.pgp"));
  ASSERT_EQ(expectedSave.size(), 834u);
  for (const char* name : {"ring-fits.pgp", "ring-fits-trust.pgp"}) {
    TempDir dir;
    int32_t status = -1;
    KeyList ring = load(testData(name), status);
    ASSERT_EQ(status, 0) << name;
    EXPECT_EQ(userIds(ring), kFitsOrder) << name;

    // What the README says of two of them.
    PublicKeyRecord jim{};
    ASSERT_EQ(locate_public_key_by_id(ring, "jim jagielski <JIM@jagunet.com>  ", &jim), 0);
    EXPECT_EQ(jim.modulusLength, 96);
    EXPECT_EQ(jim.exponentLength, 1);
    EXPECT_EQ(jim.exponent[0], 17);
    const uint8_t macId[8] = {0xBE, 0xE7, 0x96, 0x6C, 0x45, 0xB9, 0x1D, 0xF1};
    PublicKeyRecord mac{};
    mac.created.year = 1234;
    ASSERT_EQ(locate_public_key(ring, macId, &mac), 0);
    EXPECT_STREQ(mac.userId, "Doug MacEachern <dougm@osf.org>");
    EXPECT_EQ(mac.exponent[0], 23);
    EXPECT_EQ(mac.created.year, 1234);  // created is not copied
    const PublicKeyRecord* second = head_publist(tail_publist(ring));
    EXPECT_EQ(orvak::calendarToTime(second->created), 0x313895EBu);

    const auto saved = dir / "saved.pgp";
    ASSERT_EQ(SavePublicKeys(ring, saved.string().c_str()), 0);
    EXPECT_EQ(readFile(saved), expectedSave) << name;
    free_publist(ring);

    KeyList again = load(saved, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(userIds(again), kFitsOrder);
    free_publist(again);
  }
}

TEST(RealRings, ChangedRingSavesAsItsFixture) {
  // The fixture the 32-bit Windows host test compares its own save with.
  int32_t status = -1;
  KeyList ring = load(testData("ring-fits.pgp"), status);
  ASSERT_EQ(status, 0);
  const PublicKeyRecord added = changed_ring::addedKey();
  ring = AddPublicKey(ring, &added);
  ring = RemovePublicKey(ring, changed_ring::kRemoved);
  EXPECT_EQ(userIds(ring), Ids(std::begin(changed_ring::kOrder), std::end(changed_ring::kOrder)));
  TempDir dir;
  ASSERT_EQ(SavePublicKeys(ring, (dir / "changed.pgp").string().c_str()), 0);
  EXPECT_EQ(readFile(dir / "changed.pgp"), readFile(testData("ring-fits-changed.expected-save.pgp")));
  free_publist(ring);
}

TEST(RealRings, LongUserIdsAreCutAndWideModuliRefused) {
  int32_t status = -1;
  KeyList ring = load(testData("ring-1024.pgp"), status);
  ASSERT_EQ(status, 0);
  const Ids expected{"Ask Bjoern Hansen <ask@netceter", "Ben Laurie <ben@algroup.co.uk>",
                     "Dean Gaudet <dgaudet@arctic.org", "Doug MacEachern <dougm@osf.org>",
                     "fr.announce.newgroups",           "Jim Jagielski <jim@jaguNET.com>",
                     "Lars Eilebrecht <sfx@unix-ag.or", "news.announce.newgroups",
                     "Rodent of Unusual Size <Ken.Coa", "William Harold Newman <william."};
  EXPECT_EQ(userIds(ring), expected);

  // Gaudet's 1023-bit modulus and Eilebrecht's 999 bits in 125 bytes.
  const uint8_t gaudet[8] = {0xB7, 0x38, 0x36, 0x7A, 0x16, 0x37, 0x51, 0xF5};
  const uint8_t eilebrecht[8] = {0x3E, 0x8F, 0xB7, 0xF2, 0xF8, 0x83, 0x41, 0xD9};
  PublicKeyRecord out{};
  ASSERT_EQ(locate_public_key(ring, gaudet, &out), 0);
  EXPECT_EQ(out.modulusLength, 128);
  EXPECT_LT(out.modulus[0], 0x80);
  ASSERT_EQ(locate_public_key(ring, eilebrecht, &out), 0);
  EXPECT_EQ(out.modulusLength, 125);
  EXPECT_STREQ(out.userId, "Lars Eilebrecht <sfx@unix-ag.or");

  TempDir dir;
  ASSERT_EQ(SavePublicKeys(ring, (dir / "s.pgp").string().c_str()), 0);
  // The fixture the 32-bit Windows host test compares its own save with.
  EXPECT_EQ(readFile(dir / "s.pgp"), readFile(testData("ring-1024.expected-save.pgp")));
  KeyList again = load(dir / "s.pgp", status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(userIds(again), expected);
  ASSERT_EQ(locate_public_key(again, eilebrecht, &out), 0);
  EXPECT_EQ(out.modulusLength, 125);
  free_publist(again);
  free_publist(ring);

  for (const char* name : {"ring-2048.pgp", "ring-all.pgp"}) {
    EXPECT_EQ(load(testData(name), status), nullptr) << name;
    EXPECT_EQ(status, KEYRING_FORMAT_ERROR) << name;
  }
}

TEST(RealRings, ARingCutInsideItsLastSignatureLoadsEveryKey) {
  // ring-1024.pgp ends with a key, its user id and a 149-byte signature.
  const Bytes ring = readFile(testData("ring-1024.pgp"));
  int32_t status = -1;
  KeyList whole = load(testData("ring-1024.pgp"), status);
  ASSERT_EQ(status, 0);
  for (const std::size_t cut : {std::size_t{1}, std::size_t{75}, std::size_t{148}}) {
    TempDir dir;
    writeFile(dir / "cut.pgp", Bytes(ring.begin(), ring.end() - static_cast<std::ptrdiff_t>(cut)));
    KeyList list = load(dir / "cut.pgp", status);
    EXPECT_EQ(status, 0) << cut;
    EXPECT_EQ(userIds(list), userIds(whole)) << cut;
    free_publist(list);
  }
  free_publist(whole);
}

namespace {

// The offset of a ring's first user-id packet, found by walking the packets
// by their length fields (the real rings carry no packet without one).
std::size_t firstUserIdAt(const Bytes& ring) {
  std::size_t at = 0;
  while (at < ring.size() && (ring[at] & 0x3C) != 0x34) {
    const uint8_t ctb = ring[at];
    const std::size_t fieldBytes = std::size_t{1} << (ctb & 3);
    std::size_t length = 0;
    for (std::size_t i = 1; i <= fieldBytes; ++i) length = length << 8 | ring[at + i];
    at += 1 + fieldBytes + length;
  }
  return at;
}

}  // namespace

TEST(RealRings, AKeyWhoseUserIdIsDamagedFailsTheWholeRing) {
  // The first key's user-id packet read as another packet: the walk meets the
  // next key before any user id. Pairing the first key with the second key's
  // user id (and losing the second key) would load without a word; the ring
  // is refused instead, all or nothing.
  for (const char* name : {"ring-fits.pgp", "ring-fits-trust.pgp"}) {
    const Bytes ring = readFile(testData(name));
    const std::size_t at = firstUserIdAt(ring);
    ASSERT_LT(at, ring.size()) << name;
    ASSERT_EQ(ring[at], 0xB4) << name;
    for (const uint8_t ctb : {uint8_t{0xB0}, uint8_t{0x00}, uint8_t{0x80}}) {
      TempDir dir;
      Bytes damaged = ring;
      damaged[at] = ctb;
      writeFile(dir / "ring.pgp", damaged);
      int32_t status = -1;
      KeyList list = load(dir / "ring.pgp", status);
      EXPECT_EQ(status, KEYRING_FORMAT_ERROR) << name << " CTB " << int{ctb};
      EXPECT_EQ(userIds(list), Ids{}) << name << " CTB " << int{ctb};
      free_publist(list);
    }
    // The undamaged ring still loads whole.
    int32_t status = -1;
    KeyList list = load(testData(name), status);
    EXPECT_EQ(status, 0) << name;
    EXPECT_EQ(userIds(list), kFitsOrder) << name;
    free_publist(list);
  }
}

TEST(RealRings, VersionTwoKeyPacketsSaveByteIdentical) {
  // The first 144 bytes of a dearmoured version-2 key: the saved packet must equal them.
  const Bytes source = readFile(testData("ring-fits.pgp"));
  const Bytes saved = readFile(testData("ring-fits.expected-save.pgp"));
  ASSERT_GE(source.size(), 144u);
  const Bytes newsKey(source.begin(), source.begin() + 144);  // news.announce.newgroups, v2, file order first
  const std::size_t newsAt = saved.size() - (144 + 2 + 23);   // last record in user-id order
  EXPECT_EQ(Bytes(saved.begin() + static_cast<std::ptrdiff_t>(newsAt),
                  saved.begin() + static_cast<std::ptrdiff_t>(newsAt + 144)),
            newsKey);
}

TEST(RealRings, SavedRingsReadWithPgpdump) {
  if (std::system("command -v pgpdump >/dev/null 2>&1") != 0) GTEST_SKIP() << "pgpdump is not installed";
  int32_t status = -1;
  KeyList ring = load(testData("ring-fits-trust.pgp"), status);
  ASSERT_EQ(status, 0);
  TempDir dir;
  const auto saved = dir / "saved.pgp";
  ASSERT_EQ(SavePublicKeys(ring, saved.string().c_str()), 0);
  free_publist(ring);
  const auto listing = dir / "dump.txt";
  ASSERT_EQ(std::system(("pgpdump -u '" + saved.string() + "' > '" + listing.string() + "' 2>&1").c_str()),
            0);
  const Bytes b = readFile(listing);
  const std::string text(b.begin(), b.end());
  auto count = [&](const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("Public Key Packet"), 5u) << text;
  EXPECT_EQ(count("User ID Packet"), 5u) << text;
  EXPECT_EQ(count("Ver 2 - old"), 5u) << text;
  EXPECT_EQ(count("RSA e("), 5u) << text;
  EXPECT_NE(text.find("User ID - Doug MacEachern <dougm@osf.org>"), std::string::npos) << text;
  EXPECT_EQ(text.find("unknown"), std::string::npos) << text;
}

TEST(Queries, UserIdSearchesNormalize) {
  KeyList list =
      listOf({makeRecord("Adams", 128, 1), makeRecord("Baker", 128, 2), makeRecord("Clark", 128, 3)});
  struct Case {
    const char* id;
    int32_t found;
  };
  const Case cases[] = {{"baker", 1}, {"BAKER   ", 1}, {"Baker x", 0}, {" Baker", 0}, {"", 0}, {"Bake", 0}};
  for (const Case& c : cases) EXPECT_EQ(IsPublicKeyInList(list, c.id), c.found) << c.id;
  EXPECT_EQ(IsPublicKeyInList(empty_publist(), "Adams"), 0);
  EXPECT_EQ(IsPublicKeyInList(list, nullptr), 0);

  PublicKeyRecord out = makeRecord("mine", 16, 0x70);
  out.created.year = 77;
  EXPECT_EQ(locate_public_key_by_id(list, "clark ", &out), 0);
  EXPECT_EQ(out.modulusLength, 128);
  EXPECT_EQ(out.modulus[1], 4);      // seed 3, second byte
  EXPECT_STREQ(out.userId, "mine");  // user id and created are not copied
  EXPECT_EQ(out.created.year, 77);

  const PublicKeyRecord before = out;
  EXPECT_EQ(locate_public_key_by_id(list, "Young", &out), KEY_NOT_FOUND);
  EXPECT_EQ(locate_public_key_by_id(empty_publist(), "Adams", &out), KEY_NOT_FOUND);
  EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0);
  free_publist(list);
}

TEST(Queries, KeyIdSearchCopiesKeyAndUserIdOnly) {
  PublicKeyRecord shortKey = makeRecord("short", 7, 9);
  PublicKeyRecord third = makeRecord("third", 64, 0x20);
  KeyList list = listOf({makeRecord("first", 128, 1), shortKey, makeRecord("second", 128, 0x40), third});
  const uint8_t* id = third.modulus + 56;

  PublicKeyRecord out{};
  std::memset(out.userId, '#', sizeof out.userId);
  out.created = CalendarTime{1, 2, 3, 4, 5, 80};
  ASSERT_EQ(locate_public_key(list, id, &out), 0);
  EXPECT_EQ(out.modulusLength, 64);
  EXPECT_EQ(std::memcmp(out.modulus, third.modulus, 64), 0);
  EXPECT_STREQ(out.userId, "third");
  EXPECT_EQ(out.userId[6], '#');  // bytes after the NUL keep their values
  EXPECT_EQ(out.created.year, 80);

  // A record with a 7-byte modulus has no key id, even when its bytes would match.
  uint8_t shortTail[8] = {0};
  std::memcpy(shortTail + 1, shortKey.modulus, 7);
  const PublicKeyRecord before = out;
  EXPECT_EQ(locate_public_key(list, shortTail, &out), KEY_NOT_FOUND);
  EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0);
  free_publist(list);
}

TEST(Queries, GetIdDeliversTheTextUnchanged) {
  const PublicKeyRecord rec = makeRecord("Adams  ");
  char buffer[32];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(GetIdFromPubkey(&rec, buffer), 0);
  EXPECT_STREQ(buffer, "Adams  ");
}

TEST(Removal, ReversesThePassedRecordsAndKeepsTheRest) {
  struct Case {
    const char* removed;
    Ids expected;
  };
  const Case cases[] = {
      {"Clark", {"Baker", "Adams", "Davis", "Evans"}},
      {"ADAMS ", {"Baker", "Clark", "Davis", "Evans"}},
      {"Evans", {"Davis", "Clark", "Baker", "Adams"}},
      {"Young", {"Evans", "Davis", "Clark", "Baker", "Adams"}},
  };
  for (const Case& c : cases) {
    KeyList list = listOf({makeRecord("Adams"), makeRecord("Baker"), makeRecord("Clark"), makeRecord("Davis"),
                           makeRecord("Evans")});
    list = RemovePublicKey(list, c.removed);
    EXPECT_EQ(userIds(list), c.expected) << c.removed;
    free_publist(list);
  }
  KeyList one = listOf({makeRecord("only")});
  EXPECT_EQ(RemovePublicKey(one, "ONLY"), nullptr);
  EXPECT_EQ(RemovePublicKey(empty_publist(), "x"), nullptr);

  KeyList twice = listOf({makeRecord("a"), makeRecord("a")});
  twice = RemovePublicKey(twice, "a");  // only the first match goes
  EXPECT_EQ(length_publist(twice), 1);
  free_publist(twice);
}

TEST(LoadSave, RoundTripKeepsKeysTimesAndOrder) {
  TempDir dir;
  std::vector<PublicKeyRecord> records;
  const uint32_t stamps[] = {0, 4107542400u, 4294967295u, 0x316C2E64};
  const char* ids[] = {"zeta", "Alpha", "alpha", "mid"};
  KeyList list = empty_publist();
  for (int i = 0; i < 4; ++i) {
    PublicKeyRecord r = makeRecord(ids[i], 64 + 16 * i, static_cast<uint8_t>(i * 31));
    r.exponentLength = 3;
    r.exponent[0] = 1;
    r.exponent[1] = 0;
    r.exponent[2] = 1;
    r.created = orvak::timeToCalendar(stamps[i]);
    list = AddPublicKey(list, &r);
  }
  const auto path = dir / "ring.pgp";
  ASSERT_EQ(SavePublicKeys(list, path.string().c_str()), 0);
  int32_t status = -1;
  KeyList again = load(path, status);
  ASSERT_EQ(status, 0);
  // Equal user ids come back in reverse order among themselves.
  EXPECT_EQ(userIds(list), (Ids{"alpha", "Alpha", "mid", "zeta"}));
  EXPECT_EQ(userIds(again), (Ids{"Alpha", "alpha", "mid", "zeta"}));
  for (PublicKeyRecord* a = again; a != nullptr; a = a->next) {
    PublicKeyRecord original{};
    for (PublicKeyRecord* o = list; o != nullptr; o = o->next) {
      if (std::strcmp(o->userId, a->userId) == 0) original = *o;
    }
    EXPECT_EQ(a->modulusLength, original.modulusLength) << a->userId;
    EXPECT_EQ(std::memcmp(a->modulus, original.modulus, static_cast<std::size_t>(a->modulusLength)), 0);
    EXPECT_EQ(a->exponentLength, 3);
    EXPECT_EQ(std::memcmp(a->exponent, original.exponent, 3), 0);
    EXPECT_EQ(orvak::calendarToTime(a->created), orvak::calendarToTime(original.created)) << a->userId;
  }
  free_publist(again);
  free_publist(list);
}

// Swaps one entry of the platform's file calls for the life of the object.
class FileCallOverride {
 public:
  FileCallOverride() : saved_(platform::fileCalls()) {}
  ~FileCallOverride() { platform::fileCalls() = saved_; }
  platform::FileCalls& calls() { return platform::fileCalls(); }

 private:
  platform::FileCalls saved_;
};

namespace {
int writesLeft = 0;
std::size_t failingWrite(const void* data, std::size_t size, std::FILE* stream) {
  if (writesLeft-- <= 0) return size / 2;  // a short write
  return std::fwrite(data, 1, size, stream);
}
int failingFlush(std::FILE*) { return -1; }
int failingClose(std::FILE* stream) {
  std::fclose(stream);
  return -1;
}
bool failingReplace(const char*, const char*) { return false; }
}  // namespace

TEST(SafeSave, AFailedSaveLeavesTheOldRingWholeAndNoTemporaryFile) {
  struct Case {
    const char* name;
    void (*inject)(platform::FileCalls&);
    int32_t status;
  };
  const Case cases[] = {
      {"first byte of a key packet",
       [](platform::FileCalls& c) {
         writesLeft = 0;
         c.write = failingWrite;
       },
       PACKET_WRITE_FAILED},
      {"body of a key packet",
       [](platform::FileCalls& c) {
         writesLeft = 1;
         c.write = failingWrite;
       },
       PACKET_WRITE_FAILED},
      {"a later user-id packet",
       [](platform::FileCalls& c) {
         writesLeft = 7;
         c.write = failingWrite;
       },
       PACKET_WRITE_FAILED},
      {"flush", [](platform::FileCalls& c) { c.flush = failingFlush; }, KEYRING_CLOSE_FAILED},
      {"close", [](platform::FileCalls& c) { c.close = failingClose; }, KEYRING_CLOSE_FAILED},
      {"replace", [](platform::FileCalls& c) { c.replace = failingReplace; }, KEYRING_CLOSE_FAILED},
  };
  KeyList list = listOf({makeRecord("Adams"), makeRecord("Baker"), makeRecord("Clark")});
  for (const Case& c : cases) {
    TempDir dir;
    const auto path = dir / "ring.pgp";
    const Bytes old = readFile(testData("ring-fits.pgp"));
    writeFile(path, old);
    {
      FileCallOverride override;
      c.inject(override.calls());
      EXPECT_EQ(SavePublicKeys(list, path.string().c_str()), c.status) << c.name;
    }
    EXPECT_EQ(readFile(path), old) << c.name;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"ring.pgp"}) << c.name;
  }
  free_publist(list);
}

TEST(SafeSave, ABadRecordFailsTheSaveBeforeTheOldRingIsTouched) {
  TempDir dir;
  const auto path = dir / "ring.pgp";
  writeFile(path, readFile(testData("ring-fits.pgp")));
  PublicKeyRecord bad = makeRecord("bad");
  bad.modulusLength = 500;
  KeyList list = listOf({makeRecord("good"), bad});
  EXPECT_EQ(SavePublicKeys(list, path.string().c_str()), PACKET_WRITE_FAILED);
  EXPECT_EQ(readFile(path), readFile(testData("ring-fits.pgp")));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"ring.pgp"});
  free_publist(list);
}

TEST(SafeSave, ReplacesTheRingKeepingItsPermissions) {
  TempDir dir;
  const auto path = dir / "ring.pgp";
  writeFile(path, {1, 2, 3});
  ASSERT_EQ(::chmod(path.string().c_str(), 0640), 0);
  KeyList list = listOf({makeRecord("Adams")});
  ASSERT_EQ(SavePublicKeys(list, path.string().c_str()), 0);
  struct stat st {};
  ASSERT_EQ(::stat(path.string().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(std::filesystem::file_size(path), 144u + 7u);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"ring.pgp"});

  // A symbolic link to the ring stays a link; the ring it points at is replaced.
  const auto link = dir / "link.pgp";
  std::filesystem::create_symlink(path, link);
  KeyList two = listOf({makeRecord("Adams"), makeRecord("Baker")});
  ASSERT_EQ(SavePublicKeys(two, link.string().c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(std::filesystem::file_size(path), 2 * (144u + 7u));
  free_publist(two);
  free_publist(list);
}

TEST(SafeSave, AReadOnlyRingIsNotReplaced) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write any file";
  TempDir dir;
  const auto path = dir / "ring.pgp";
  writeFile(path, {1, 2, 3});
  ASSERT_EQ(::chmod(path.string().c_str(), 0444), 0);
  KeyList list = listOf({makeRecord("Adams")});
  EXPECT_EQ(SavePublicKeys(list, path.string().c_str()), KEYRING_CREATE_FAILED);
  EXPECT_EQ(readFile(path), (Bytes{1, 2, 3}));
  free_publist(list);
}
