// tabrel32 under injected file faults: each open, a read part way, a short write of the cleaned copy, its close.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/files.h"
#include "tests/support/worked_declaration.h"
#include "tests/validator/test_files.h"
#include "validator/tabrel32.h"

namespace {

using tabrel::test::exists;
using tabrel::test::TempDir;
using tabrel::test::writeFile;

// A valid file of four records (header, declaration trailer, receipt, receipt trailer).
const std::string kValidFile(suite_test::worked::kFile);

// The file table with one chosen fault; the system's calls otherwise.
struct FaultyFiles {
  static inline int failingOpen = 0;      // the n-th open from now fails (0: none)
  static inline long readBudget = -1;     // bytes reads may still give (-1: no limit)
  static inline bool readFailed = false;  // a read stopped by the budget (the stream's error)
  static inline bool shortWrite = false;  // every write of a block goes out one byte short
  static inline bool closeFails = false;
  static inline int opens = 0;
  static inline std::FILE* input = nullptr;

  FaultyFiles() {
    failingOpen = 0;
    readBudget = -1;
    readFailed = shortWrite = closeFails = false;
    opens = 0;
    input = nullptr;
    platform::FileCalls& calls = platform::fileCalls();
    calls.open = [](const char* path, const char* mode) -> std::FILE* {
      if (++opens == failingOpen) return nullptr;
      std::FILE* f = platform::systemFileCalls().open(path, mode);
      if (opens == 1) input = f;
      return f;
    };
    calls.read = [](void* data, std::size_t size, std::FILE* stream) -> std::size_t {
      if (readBudget >= 0 && static_cast<long>(size) > readBudget) {
        size = static_cast<std::size_t>(readBudget);
        readFailed = true;
      }
      const std::size_t got = platform::systemFileCalls().read(data, size, stream);
      if (readBudget >= 0) readBudget -= static_cast<long>(got);
      return got;
    };
    calls.error = [](std::FILE* stream) {
      return (stream == input && readFailed) ? 1 : platform::systemFileCalls().error(stream);
    };
    calls.write = [](const void* data, std::size_t size, std::FILE* stream) -> std::size_t {
      const std::size_t n = shortWrite && size > 0 ? size - 1 : size;
      return platform::systemFileCalls().write(data, n, stream);
    };
    calls.close = [](std::FILE* stream) {
      const int rc = platform::systemFileCalls().close(stream);
      return closeFails ? -1 : rc;
    };
  }
  ~FaultyFiles() { platform::resetFileCalls(); }
};

struct TabrelRun {
  TempDir dir;
  std::string input = dir.file("abcdefgh.xyz");
  std::string clean = dir.file("clean.out");
  std::string log = dir.file("errors.log");
  char declared[11] = "";
  char computed[11] = "";

  std::int32_t operator()() {
    ValidationRequest request{};
    request.inputPath = input.c_str();
    request.cleanCopyPath = clean.c_str();
    request.logPath = log.c_str();
    request.declaredCrc = declared;
    request.computedCrc = computed;
    request.declaredCrcOffset = 3;
    request.systemTag = "SYS";
    request.declarationTrailerTag = "DT";
    request.receiptTrailerTag = "RT";
    return TBTabrel(request);
  }
};

TEST(TabrelFaults, WithoutFaultsTheRunIsClean) {
  TabrelRun run;
  writeFile(run.input, kValidFile);
  FaultyFiles faults;
  EXPECT_EQ(run(), 0);
  EXPECT_TRUE(exists(run.clean));
  EXPECT_FALSE(exists(run.log));
}

TEST(TabrelFaults, EachFailedOpenHasItsResult) {
  struct Case {
    const char* name;
    int open;
    std::int32_t result;
    bool cleanExists;
  } cases[] = {
      {"input", 1, 1, false},
      {"cleaned copy", 2, 2, false},
      {"error log", 3, 3, true},  // the cleaned copy, just created empty, stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TabrelRun run;
    writeFile(run.input, kValidFile);
    FaultyFiles faults;
    FaultyFiles::failingOpen = c.open;
    EXPECT_EQ(run(), c.result);
    EXPECT_EQ(exists(run.clean), c.cleanExists);
    EXPECT_FALSE(exists(run.log));
    EXPECT_TRUE(exists(run.input));
  }
}

TEST(TabrelFaults, AReadFailingPartWayIsNoVerdictOnTheFile) {
  // Whatever record the read stops in, the run says the input could not be read.
  for (long budget = 0; budget < static_cast<long>(kValidFile.size()); budget += 7) {
    SCOPED_TRACE(budget);
    TabrelRun run;
    writeFile(run.input, kValidFile);
    FaultyFiles faults;
    FaultyFiles::readBudget = budget;
    EXPECT_EQ(run(), 1);
    EXPECT_FALSE(exists(run.clean));
    EXPECT_FALSE(exists(run.log));
  }
}

TEST(TabrelFaults, AnIncompleteCleanedCopyIsNeverAClean) {
  struct Case {
    const char* name;
    bool shortWrite;
    bool closeFails;
  } cases[] = {{"short write", true, false}, {"failed close", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TabrelRun run;
    writeFile(run.input, kValidFile);
    FaultyFiles faults;
    FaultyFiles::shortWrite = c.shortWrite;
    FaultyFiles::closeFails = c.closeFails;
    EXPECT_EQ(run(), 2);
    EXPECT_FALSE(exists(run.clean));
    EXPECT_FALSE(exists(run.log));
  }
}

}  // namespace
