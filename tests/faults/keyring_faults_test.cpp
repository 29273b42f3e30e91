// orvak32 under injected faults: every record allocation of the list operations and of a load fails in turn, and a save fails at every byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "keyring/key_list.h"
#include "keyring/orvak32.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Record blocks counted; the n-th allocation from now fails.
struct CountedRecords {
  static inline int live = 0, calls = 0, failAt = 0;
  orvak::RecordAllocator saved = orvak::recordAllocator();

  CountedRecords() {
    calls = failAt = 0;
    orvak::recordAllocator() = {[](std::size_t size) -> void* {
                                  if (++calls == failAt) return nullptr;
                                  ++live;
                                  return std::malloc(size);
                                },
                                [](void* block) {
                                  if (block == nullptr) return;
                                  --live;
                                  std::free(block);
                                }};
  }
  ~CountedRecords() { orvak::recordAllocator() = saved; }
  void failFromNowAt(int n) {
    calls = 0;
    failAt = n;
  }
};

PublicKeyRecord record(const char* userId, std::uint8_t seed) {
  PublicKeyRecord r{};
  r.modulusLength = 64;
  for (int i = 0; i < 64; ++i) r.modulus[i] = static_cast<std::uint8_t>(seed + i);
  r.modulus[0] |= 0x80;
  r.exponentLength = 1;
  r.exponent[0] = 17;
  std::strncpy(r.userId, userId, sizeof r.userId - 1);
  r.created = CalendarTime{1, 2, 3, 4, 5, 96};
  return r;
}

KeyList ringOf(std::initializer_list<const char*> ids) {
  KeyList list = empty_publist();
  std::uint8_t seed = 1;
  for (const char* id : ids) {
    const PublicKeyRecord r = record(id, seed += 40);
    list = AddPublicKey(list, &r);
  }
  return list;
}

std::vector<std::string> idsOf(KeyList list) {
  std::vector<std::string> ids;
  for (PublicKeyRecord* r = list; r != nullptr; r = r->next) ids.emplace_back(r->userId);
  return ids;
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(KeyListFaults, EveryFailedAllocationLeavesTheListAsItWas) {
  CountedRecords counted;
  KeyList first = ringOf({"alice", "bob", "carol"});
  KeyList second = ringOf({"dave", "erin"});
  const int before = CountedRecords::live;
  const PublicKeyRecord extra = record("bea", 9);

  counted.failFromNowAt(1);
  EXPECT_EQ(cons_publist(&extra, first), first);
  counted.failFromNowAt(1);
  EXPECT_EQ(AddPublicKey(first, &extra), first);
  EXPECT_EQ(idsOf(first), (std::vector<std::string>{"alice", "bob", "carol"}));
  for (int k = 1; k <= 3; ++k) {
    SCOPED_TRACE("append, allocation " + std::to_string(k));
    counted.failFromNowAt(k);
    EXPECT_EQ(append_publist(first, second), second);
  }
  EXPECT_EQ(CountedRecords::live, before) << "a failed operation kept or lost a record";

  counted.failFromNowAt(0);
  free_publist(first);
  free_publist(second);
  EXPECT_EQ(CountedRecords::live, 0);
}

TEST(KeyListFaults, ALoadThatRunsOutOfMemoryAtAnyKeyReturnsNothing) {
  CountedRecords counted;
  suite_test::TempDir dir;
  KeyList ring = ringOf({"alice", "bob", "carol", "dave"});
  ASSERT_EQ(SavePublicKeys(ring, (dir / "ring.pgp").c_str()), 0);
  free_publist(ring);
  for (int k = 1; k <= 4; ++k) {
    SCOPED_TRACE("allocation " + std::to_string(k));
    counted.failFromNowAt(k);
    std::int32_t status = -1;
    KeyList loaded = LoadPublicKeys((dir / "ring.pgp").c_str(), &status);
    EXPECT_EQ(status, KEYRING_OPEN_FAILED);
    EXPECT_EQ(loaded, nullptr);
    EXPECT_EQ(CountedRecords::live, 0);
  }
}

// The file table with an open that fails, or reads that stop after `budget` bytes with the stream's error set.
struct FaultyLoads {
  static inline bool openFails = false;
  static inline long budget = -1;  // bytes reads may still give; -1: no limit
  static inline bool readFailed = false;

  FaultyLoads() {
    openFails = readFailed = false;
    budget = -1;
    platform::FileCalls& calls = platform::fileCalls();
    calls.open = [](const char* path, const char* mode) -> std::FILE* {
      return openFails ? nullptr : platform::systemFileCalls().open(path, mode);
    };
    calls.read = [](void* data, std::size_t size, std::FILE* stream) -> std::size_t {
      if (budget >= 0 && static_cast<long>(size) > budget) {
        size = static_cast<std::size_t>(budget);
        readFailed = true;
      }
      const std::size_t got = platform::systemFileCalls().read(data, size, stream);
      if (budget >= 0) budget -= static_cast<long>(got);
      return got;
    };
    calls.error = [](std::FILE* stream) {
      return readFailed ? 1 : platform::systemFileCalls().error(stream);
    };
  }
  ~FaultyLoads() { platform::resetFileCalls(); }
};

TEST(LoadFaults, AFailedOpenOrAReadFailingAtAnyByteLoadsNothing) {
  CountedRecords counted;
  suite_test::TempDir dir;
  KeyList ring = ringOf({"alice", "bob", "carol"});
  const std::string path = (dir / "ring.pgp").string();
  ASSERT_EQ(SavePublicKeys(ring, path.c_str()), 0);
  free_publist(ring);
  const long size = static_cast<long>(fs::file_size(path));
  {
    FaultyLoads faults;
    FaultyLoads::openFails = true;
    std::int32_t status = -1;
    EXPECT_EQ(LoadPublicKeys(path.c_str(), &status), nullptr);
    EXPECT_EQ(status, KEYRING_OPEN_FAILED);
  }
  for (long budget = 0; budget < size; ++budget) {
    SCOPED_TRACE("read stops after " + std::to_string(budget) + " bytes");
    FaultyLoads faults;
    FaultyLoads::budget = budget;
    std::int32_t status = -1;
    KeyList loaded = LoadPublicKeys(path.c_str(), &status);
    EXPECT_NE(status, ORVAK_OK);
    EXPECT_EQ(loaded, nullptr);
    EXPECT_EQ(CountedRecords::live, 0);
  }
  FaultyLoads faults;
  std::int32_t status = -1;
  KeyList whole = LoadPublicKeys(path.c_str(), &status);
  EXPECT_EQ(status, ORVAK_OK);
  EXPECT_EQ(idsOf(whole), (std::vector<std::string>{"alice", "bob", "carol"}));
  free_publist(whole);
}

// The file table with a write that stops after `budget` bytes, and single failures.
struct FaultyFiles {
  static inline long budget = -1;  // bytes still allowed; -1: no limit
  static inline bool flushFails = false, closeFails = false, replaceFails = false;
  platform::FileCalls saved = platform::fileCalls();

  FaultyFiles() {
    budget = -1;
    flushFails = closeFails = replaceFails = false;
    platform::FileCalls& calls = platform::fileCalls();
    calls.write = [](const void* data, std::size_t size, std::FILE* stream) -> std::size_t {
      std::size_t n = size;
      if (budget >= 0 && static_cast<long>(n) > budget) n = static_cast<std::size_t>(budget);
      const std::size_t written = platform::systemFileCalls().write(data, n, stream);
      if (budget >= 0) budget -= static_cast<long>(written);
      return written;
    };
    calls.flush = [](std::FILE* stream) {
      return flushFails ? -1 : platform::systemFileCalls().flush(stream);
    };
    calls.close = [](std::FILE* stream) {
      const int rc = platform::systemFileCalls().close(stream);
      return closeFails ? -1 : rc;
    };
    calls.replace = [](const char* from, const char* to) {
      return !replaceFails && platform::systemFileCalls().replace(from, to);
    };
  }
  ~FaultyFiles() { platform::fileCalls() = saved; }
};

TEST(SaveFaults, AWriteFailingAtAnyByteLeavesTheOldRingWhole) {
  suite_test::TempDir dir;
  const fs::path path = dir / "ring.pgp";
  KeyList oldRing = ringOf({"old one", "old two"});
  ASSERT_EQ(SavePublicKeys(oldRing, path.c_str()), 0);
  free_publist(oldRing);
  const std::string oldBytes = readAll(path);

  KeyList newRing = ringOf({"alice", "bob", "carol"});
  const fs::path probe = dir / "probe.pgp";
  ASSERT_EQ(SavePublicKeys(newRing, probe.c_str()), 0);
  const long newSize = static_cast<long>(fs::file_size(probe));
  fs::remove(probe);

  FaultyFiles faulty;
  for (long cut = 0; cut < newSize; ++cut) {
    SCOPED_TRACE("write fails after byte " + std::to_string(cut));
    FaultyFiles::budget = cut;
    EXPECT_EQ(SavePublicKeys(newRing, path.c_str()), PACKET_WRITE_FAILED);
    EXPECT_EQ(readAll(path), oldBytes);
    EXPECT_EQ(dir.entries().size(), 1u) << "a temporary file was left behind";
    if (HasFailure()) break;
  }
  FaultyFiles::budget = -1;

  const struct {
    const char* what;
    bool* flag;
  } lateFaults[] = {{"flush", &FaultyFiles::flushFails},
                    {"close", &FaultyFiles::closeFails},
                    {"replace", &FaultyFiles::replaceFails}};
  for (const auto& fault : lateFaults) {
    SCOPED_TRACE(fault.what);
    *fault.flag = true;
    EXPECT_EQ(SavePublicKeys(newRing, path.c_str()), KEYRING_CLOSE_FAILED);
    EXPECT_EQ(readAll(path), oldBytes);
    EXPECT_EQ(dir.entries().size(), 1u);
    *fault.flag = false;
  }
  EXPECT_EQ(SavePublicKeys(newRing, path.c_str()), 0);
  EXPECT_NE(readAll(path), oldBytes);
  free_publist(newRing);
}

}  // namespace
