// seal_test.cpp -- the tool's sealing (checked by a real run of TBTabrel) and its code-page conversion.
#include "tools/tabrel/seal.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/validator/test_files.h"
#include "tools/common/cp1252.h"
#include "validator/tabrel32.h"

namespace tabrel::tool {
namespace {

SealOptions workedOptions(const std::string& fileName = "abcdefgh.xyz") {
  SealOptions o;
  o.systemTag = "SYS";
  o.declaredCrcOffset = 3;
  o.declarationTrailerTag = "DT";
  o.receiptTrailerTag = "RT";
  o.fileName = fileName;
  return o;
}

std::int32_t check(const std::string& fileName, const std::string& bytes, const SealOptions& o) {
  test::TempDir dir;
  const std::string input = dir.file(fileName);
  const std::string clean = dir.file("clean");
  const std::string log = dir.file("log");
  test::writeFile(input, bytes);
  char declared[11] = {};
  char computed[11] = {};
  ValidationRequest request{input.c_str(),
                            clean.c_str(),
                            log.c_str(),
                            declared,
                            computed,
                            o.declaredCrcOffset,
                            0,
                            o.systemTag.c_str(),
                            o.declarationTrailerTag.c_str(),
                            o.receiptTrailerTag.c_str()};
  return TBTabrel(request);
}

TEST(Seal, WorkedFileByteForByte) {
  for (const char* plain : {"SYS\nDT\nR1\nRT\n", "SYS\r\nDT\r\nR1\r\nRT", "SYS0000000000\nDT\nR1\nRT\n"}) {
    const SealResult r = seal(plain, workedOptions());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytes, suite_test::worked::kFile);
  }
}

TEST(Seal, SealedFilesPassTheCheck) {
  struct Case {
    const char* name;
    std::string fileName;
    std::string plain;
    std::int32_t offset;
  };
  const Case cases[] = {
      {"short name", "abc.xyz", "SYS header 0000000000 rest\nline one\nline two\nDT end\nR1\nR2\nRT", 11},
      {"long name and empty records", "declaration-2024.final.txt", "SYSX\n\n\nDT\n\nRT\n", 4},
      {"Windows-1252 text and a lone CR", "decl.dat", "SYS\nDeclara\xE7\xE3o\ra\nDT\nRT\n", 3},
      {"offset inside the header", "x.y", "SYSPADDINGPADDINGPADDING\nDT\nRT\n", 7},
  };
  for (const Case& c : cases) {
    SealOptions o = workedOptions(c.fileName);
    o.declaredCrcOffset = c.offset;
    const SealResult r = seal(c.plain, o);
    ASSERT_TRUE(r.ok) << c.name << ": " << r.error;
    EXPECT_EQ(check(c.fileName, r.bytes, o), 0) << c.name;
    // Checked under another name, only the header's own CRC fails.
    EXPECT_EQ(check("renamed.file", r.bytes, o), 1) << c.name;
  }
}

TEST(Seal, RefusesWhatCannotBeSealed) {
  struct Case {
    const char* name;
    std::string plain;
    std::int32_t offset;
    const char* errorPart;
  };
  const Case cases[] = {
      {"empty input", "", 3, "no header"},
      {"no system tag", "XYZ\nDT\nRT\n", 3, "system tag"},
      {"CRC over the system tag", "SYS\nDT\nRT\n", 0, "system tag"},
      {"offset past the header", "SYS\nDT\nRT\n", 4, "outside the header"},
      {"negative offset", "SYS\nDT\nRT\n", -1, "outside the header"},
      {"no declaration trailer", "SYS\nD1\nRT\n", 3, "declaration trailer"},
      {"no receipt trailer", "SYS\nDT\nR1\n", 3, "receipt trailer"},
      {"lines after the receipt trailer", "SYS\nDT\nRT\nmore\n", 3, "follows the receipt trailer"},
      {"NUL byte", std::string("SYS\nD\0x\nDT\nRT\n", 14), 3, "NUL"},
      {"line too long", "SYS\n" + std::string(2021, 'a') + "\nDT\nRT\n", 3, "longer than"},
  };
  for (const Case& c : cases) {
    SealOptions o = workedOptions();
    o.declaredCrcOffset = c.offset;
    const SealResult r = seal(c.plain, o);
    EXPECT_FALSE(r.ok) << c.name;
    EXPECT_NE(r.error.find(c.errorPart), std::string::npos) << c.name << ": " << r.error;
  }
}

TEST(Windows1252, ToUtf8) {
  EXPECT_EQ(tools::windows1252ToUtf8("Sistema inv\xE1lido"), "Sistema inv\xC3\xA1lido");
  EXPECT_EQ(tools::windows1252ToUtf8("declara\xE7\xE3o"), "declara\xC3\xA7\xC3\xA3o");
  EXPECT_EQ(tools::windows1252ToUtf8("\x80\x81\x9F\xFF"), "\xE2\x82\xAC\xEF\xBF\xBD\xC5\xB8\xC3\xBF");
  EXPECT_EQ(tools::windows1252ToUtf8("[00001] 01 - ok\r\n"), "[00001] 01 - ok\r\n");
}

}  // namespace
}  // namespace tabrel::tool
