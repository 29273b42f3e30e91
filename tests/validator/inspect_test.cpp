// inspect_test.cpp -- what the tabrel tool tells beside the result: line ends,
// the name field, the declaration CRC a file's records give, and outputs
// staged beside their paths.
#include "tools/tabrel/inspect.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/validator/test_files.h"
#include "tools/tabrel/outputs.h"
#include "tools/tabrel/seal.h"
#include "validator/crc32.h"

namespace tabrel::tool {
namespace {

TEST(Inspect, CountsLineEnds) {
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t crLf, lfAlone, firstLfAlone;
  };
  const Case cases[] = {
      {"empty", "", 0, 0, 0},
      {"CR LF only", "a\r\nb\r\n", 2, 0, 0},
      {"LF only", "a\nb\nc", 0, 2, 1},
      {"mixed, first LF alone on line 2", "a\r\nb\nc\r\nd\n", 2, 2, 2},
      {"a lone CR is no line end", "a\rb\r\n", 1, 0, 0},
      {"LF first", "\n\r\n", 1, 1, 1},
  };
  for (const Case& c : cases) {
    const LineEnds ends = countLineEnds(c.bytes);
    EXPECT_EQ(ends.crLf, c.crLf) << c.name;
    EXPECT_EQ(ends.lfAlone, c.lfAlone) << c.name;
    EXPECT_EQ(ends.firstLfAlone, c.firstLfAlone) << c.name;
  }
}

TEST(Inspect, NameFieldAndFilePartAsTheLibraryTakesThem) {
  EXPECT_EQ(nameFieldOf("dir/abcdefgh.xyz"), "ABCDEFGH.XYZ");
  EXPECT_EQ(nameFieldOf("C:\\in\\abc.xyz"), "ABC.XYZ");
  EXPECT_EQ(nameFieldOf("declaration-2024.final.txt"), "DECLARAT.TXT");
  EXPECT_EQ(nameFieldOf("longname.extension"), "LONGNAME.EXT");
  EXPECT_EQ(fileNamePart("a/b\\c.txt"), "c.txt");
  EXPECT_EQ(fileNamePart("c.txt"), "c.txt");
  EXPECT_EQ(fileNamePart("dir/"), "");
}

TEST(Inspect, DeclarationCrcIsWhatTheHeaderShouldCarry) {
  SealOptions o;
  o.systemTag = "SYS";
  o.declaredCrcOffset = 3;
  o.declarationTrailerTag = "DT";
  o.receiptTrailerTag = "RT";
  o.fileName = "abcdefgh.xyz";
  const SealResult sealed = seal("SYS\nrecord one\nDT end\nR1\nRT\n", o);
  ASSERT_TRUE(sealed.ok) << sealed.error;
  test::TempDir dir;
  const std::string path = dir.file("abcdefgh.xyz");

  // A sealed file: the CRC its header carries.
  test::writeFile(path, sealed.bytes);
  std::uint32_t crc = 0;
  ASSERT_TRUE(declarationCrcOf(path, "DT", crc));
  EXPECT_EQ(test::crcDigits(crc), sealed.bytes.substr(3, 10));

  // A record changed after sealing: the CRC of the records as they stand.
  std::string changed = sealed.bytes;
  changed.replace(changed.find("record one"), 10, "record 1!!");
  test::writeFile(path, changed);
  ASSERT_TRUE(declarationCrcOf(path, "DT", crc));
  const std::size_t second = changed.find("\r\n") + 2;
  const std::size_t trailerEnd = changed.find("\r\n", changed.find("DT end"));
  std::string records = changed.substr(second, trailerEnd - second);
  records.erase(records.find("\r\n"), 2);
  EXPECT_EQ(crc, crc32Update(records.data(), static_cast<std::uint32_t>(records.size()), nullptr));

  // No declaration trailer, or no file: nothing to tell.
  EXPECT_FALSE(declarationCrcOf(path, "NONE", crc));
  EXPECT_FALSE(declarationCrcOf(dir.file("absent"), "DT", crc));
}

TEST(StagedOutputs, OnlyACommittedOutputReplacesTheEarlierOne) {
  test::TempDir dir;
  const std::string target = dir.file("out.txt");
  test::writeFile(target, "earlier");
  std::string temporary;
  {
    StagedOutput out;
    std::string reason;
    ASSERT_TRUE(out.create(target, reason)) << reason;
    temporary = out.temporary();
    EXPECT_NE(temporary, target);
    ASSERT_TRUE(out.write("half", 4));
  }  // dropped without commit
  EXPECT_EQ(test::readFile(target), "earlier");
  EXPECT_FALSE(test::exists(temporary));

  StagedOutput out;
  std::string reason;
  ASSERT_TRUE(out.create(target, reason)) << reason;
  ASSERT_TRUE(out.write("new", 3));
  ASSERT_TRUE(out.commit(reason)) << reason;
  EXPECT_EQ(test::readFile(target), "new");
  EXPECT_FALSE(test::exists(out.temporary()));

  StagedOutput missing;
  EXPECT_FALSE(missing.create(dir.file("no/such/folder"), reason));
  EXPECT_EQ(reason, "No such file or directory");
  StagedOutput folder;
  EXPECT_FALSE(folder.create(dir.file(""), reason));
  EXPECT_EQ(reason, "Is a directory");
}

TEST(StagedOutputs, SameFileSeesThroughOtherNames) {
  test::TempDir dir;
  const std::string a = dir.file("a.txt");
  test::writeFile(a, "x");
  EXPECT_TRUE(sameFile(a, a));
  EXPECT_TRUE(sameFile(a, dir.file("./a.txt")));
  EXPECT_TRUE(sameFile(dir.file("new.txt"), dir.file("sub/../new.txt")));
  EXPECT_FALSE(sameFile(a, dir.file("b.txt")));
}

}  // namespace
}  // namespace tabrel::tool
