// record_test.cpp -- the record reader's boundaries and the checksum operations on records.
#include "validator/record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/validator/test_files.h"
#include "validator/crc32.h"

namespace tabrel {
namespace {

using test::TempDir;

struct Read {
  int result;
  std::string text;
  std::string field;  // up to its first NUL
};

// Every readRecord result over the bytes, until one returns 0 at the end of input.
std::vector<Read> readAll(const std::string& bytes) {
  TempDir dir;
  const std::string path = dir.file("in");
  test::writeFile(path, bytes);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  InputStream input(file);
  std::vector<Read> reads;
  for (int guard = 0; guard < 100000; ++guard) {
    TextBuffer text;
    FieldBuffer field;
    const int result = readRecord(input, text, field);
    reads.push_back(result ? Read{1, text, field} : Read{0, "", ""});
    if (!result && input.available() == 0) break;
  }
  std::fclose(file);
  return reads;
}

struct ReaderCase {
  const char* name;
  std::string bytes;
  std::vector<Read> expected;
};

TEST(ReadRecord, Boundaries) {
  const std::string line2030 = std::string(2020, 'x') + "0123456789";
  const std::string line2031 = std::string(2021, 'y') + "0123456789";
  const std::vector<ReaderCase> cases = {
      {"plain record", "abc0891568578\r\n", {{1, "abc", "0891568578"}, {0, "", ""}}},
      {"empty text", "0000000000\r\n", {{1, "", "0000000000"}, {0, "", ""}}},
      {"two records",
       "a1111111111\r\nbb2222222222\r\n",
       {{1, "a", "1111111111"}, {1, "bb", "2222222222"}, {0, "", ""}}},
      {"last line without CR LF", "abc0891568578\r\nxyz0000000000", {{1, "abc", "0891568578"}, {0, "", ""}}},
      {"ends with a lone CR", "abc0891568578\r", {{0, "", ""}}},
      {"lone CR is data", "a\rb0123456789\r\n", {{1, "a\rb", "0123456789"}, {0, "", ""}}},
      {"CR CR LF: the stored bytes end with a CR",
       "ab0123456789\r\r\n",
       {{1, "ab0", "123456789\r"}, {0, "", ""}}},
      {"CR LF inside the field splits",
       "ab01234\r\n56789\r\n",
       {{1, "", "ab01234"}, {1, "", "56789"}, {0, "", ""}}},
      {"NUL ends the text", std::string("ab\0cd0123456789\r\n", 17), {{1, "ab", "0123456789"}, {0, "", ""}}},
      {"NUL inside the field", std::string("ab01234\0006789\r\n", 14), {{1, "ab", "01234"}, {0, "", ""}}},
      {"short line: empty text, partial field", "12345\r\n", {{1, "", "12345"}, {0, "", ""}}},
      {"bare CR LF", "\r\n", {{1, "", ""}, {0, "", ""}}},
      {"2030 bytes is a record", line2030 + "\r\n", {{1, std::string(2020, 'x'), "0123456789"}, {0, "", ""}}},
      {"2031 bytes is not; the line end follows as an empty line",
       line2031 + "\r\n",
       {{0, "", ""}, {1, "", ""}, {0, "", ""}}},
      {"the rest of a long line starts the next record",
       std::string(2031, 'z') + "rest0123456789\r\n",
       {{0, "", ""}, {1, "rest", "0123456789"}, {0, "", ""}}},
      {"CR as byte 2031 without LF",
       std::string(2030, 'q') + "\rA0123456789\r\n",
       {{0, "", ""}, {1, "A", "0123456789"}, {0, "", ""}}},
      {"CR after 2030 bytes ends the record",
       std::string(2030, 'q') + "\r\n",
       {{1, std::string(2020, 'q'), "qqqqqqqqqq"}, {0, "", ""}}},
  };
  for (const ReaderCase& c : cases) {
    const std::vector<Read> got = readAll(c.bytes);
    ASSERT_EQ(got.size(), c.expected.size()) << c.name;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].result, c.expected[i].result) << c.name << " read " << i;
      EXPECT_EQ(got[i].text, c.expected[i].text) << c.name << " read " << i;
      EXPECT_EQ(got[i].field, c.expected[i].field) << c.name << " read " << i;
    }
  }
}

TEST(ReadRecord, AcrossBlockBoundaries) {
  // Records of every length from 10 to 80 bytes, over several input blocks,
  // so that CRs, LFs and fields fall on every block boundary.
  std::string bytes;
  std::vector<std::string> texts;
  for (int round = 0; bytes.size() < 200000; ++round) {
    std::string text(static_cast<std::size_t>(round % 71), static_cast<char>('a' + round % 26));
    if (round % 5 == 0) text += '\r';
    texts.push_back(text);
    bytes += test::sealed(text) + "\r\n";
  }
  const std::vector<Read> got = readAll(bytes);
  ASSERT_EQ(got.size(), texts.size() + 1);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(got[i].text, texts[i]) << i;
    ASSERT_TRUE(crcFieldMatches(got[i].field.c_str(), recordCrc(texts[i].c_str()))) << i;
  }
}

TEST(RecordChecksums, FieldComparison) {
  struct Case {
    const char* field;
    std::uint32_t value;
    bool matches;
  };
  const Case cases[] = {
      {"0891568578", 891568578u, true},   {"0000000000", 0u, true},
      {"4294967295", 0xFFFFFFFFu, true},  {" 891568578", 891568578u, false},
      {"891568578\0", 891568578u, false}, {"+891568578", 891568578u, false},
      {"0891568579", 891568578u, false},
  };
  for (const Case& c : cases) EXPECT_EQ(crcFieldMatches(c.field, c.value), c.matches) << c.field;
  EXPECT_EQ(recordCrc(""), 0u);
  EXPECT_EQ(recordCrc("abc"), 891568578u);
}

TEST(RecordChecksums, RunningCrcIsTheCrcOfTheRecordsAsTheyStand) {
  std::uint32_t running = 0;
  EXPECT_EQ(addToRunningCrc("DT", "3117026579", running), 4186146210u);
  EXPECT_EQ(addToRunningCrc("R1", "2559192339", running), 2876047517u);
  EXPECT_EQ(running, 2876047517u);
  // A field cut short by a NUL folds only the bytes before it.
  std::uint32_t shortField = 0;
  addToRunningCrc("x",
                  "12\0"
                  "4567890",
                  shortField);
  EXPECT_EQ(shortField, crc32Update("x12", 3, nullptr));
}

TEST(RecordChecksums, RunningCrcMatchesOnePassOverTheWholeFile) {
  // Lengths that repeat, change and drop to zero, so the kept shift is reused and replaced.
  const char* const records[][2] = {
      {"DT20260101", "0000000001"},
      {"R1AAAAAAAA", "12"},
      {"R1BBBBBBBB", "4294967295"},
      {"", "0000000000"},
      {"X", ""},
      {"R1CCCCCCCCCCCCCCCC", "9"},
  };
  std::string whole;
  RunningCrc running;
  for (const auto& r : records) {
    running.fold(recordCrc(r[0]), std::strlen(r[0]), r[1]);
    whole += r[0];
    whole += r[1];
    EXPECT_EQ(running.value(), crc32Update(whole.data(), static_cast<std::uint32_t>(whole.size()), nullptr))
        << whole;
  }
}

TEST(RecordChecksums, BeginsWith) {
  EXPECT_TRUE(beginsWith("SYS123", "SYS"));
  EXPECT_TRUE(beginsWith("anything", ""));
  EXPECT_TRUE(beginsWith("", ""));
  EXPECT_FALSE(beginsWith("SY", "SYS"));
  EXPECT_FALSE(beginsWith("sys123", "SYS"));
}

}  // namespace
}  // namespace tabrel
