// corpus_test.cpp -- whole runs over a generated corpus (valid files, every error, long lines, lone CRs,
// NULs, damaged files) whose outputs must stay byte for byte what the byte-by-byte reader produced.
//
// Each case is summed up as a fingerprint: result, declared and computed CRC
// texts, and the size and CRC-32 of the cleaned copy and of the error log. The
// expected fingerprints were taken from the first, byte-at-a-time reader and
// validation run; any change to the reading, the CRCs or the writing of the
// outputs that alters a single byte shows here.
#include "validator/tabrel32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/validator/test_files.h"
#include "validator/crc32.h"
#include "validator/validation.h"

namespace tabrel {
namespace {

using test::crcDigits;
using test::readFile;
using test::TempDir;
using test::writeFile;

std::uint32_t crcOf(const std::string& s) {
  return crc32Update(s.data(), static_cast<std::uint32_t>(s.size()), nullptr);
}

std::string hex(std::uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%08x", static_cast<unsigned>(value));
  return buffer;
}

std::string hexBytes(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    char buffer[4];
    std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned char>(*p));
    out += buffer;
  }
  return out;
}

std::string describeFile(const std::string& path) {
  if (!test::exists(path)) return "-";
  const std::string bytes = readFile(path);
  return std::to_string(bytes.size()) + ":" + hex(crcOf(bytes));
}

// A deterministic generator of bytes and lengths.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint32_t next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state_ >> 33);
  }
  std::size_t below(std::size_t n) { return n == 0 ? 0 : next() % n; }
  char printable() { return static_cast<char>(' ' + below(94)); }

 private:
  std::uint64_t state_;
};

// The text (up to a NUL) sealed with its CRC.
std::string seal(const std::string& text) { return text + crcDigits(crcOf(text.substr(0, text.find('\0')))); }

// Bytes that enter the running CRC for one full line.
std::string folded(const std::string& line) {
  if (line.size() < 10) return line.substr(0, line.find('\0'));
  const std::string text = line.substr(0, line.size() - 10);
  const std::string field = line.substr(line.size() - 10);
  return text.substr(0, text.find('\0')) + field.substr(0, field.find('\0'));
}

// A valid file (for the name "abcdefgh.xyz", tags SYS at 3, DT, RT).
std::string validFile(const std::vector<std::string>& declaration, const std::vector<std::string>& receipt) {
  std::string body;
  for (const std::string& line : declaration) body += folded(line);
  const std::string headerText = "SYS" + crcDigits(crcOf(body));
  std::string bytes = headerText + crcDigits(crcOf("ABCDEFGH.XYZ" + headerText)) + "\r\n";
  for (const std::string& line : declaration) bytes += line + "\r\n";
  for (const std::string& line : receipt) {
    body += folded(line);
    bytes += line + "\r\n";
  }
  return bytes + seal("RT" + crcDigits(crcOf(body))) + "\r\n";
}

// Record texts of random lengths up to `longest`, now and then with a lone CR
// or a NUL inside.
std::vector<std::string> records(Random& random, std::size_t count, std::size_t longest, bool oddBytes) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < count; ++i) {
    std::string text = "R";
    const std::size_t length = random.below(longest);
    for (std::size_t k = 0; k < length; ++k) text += random.printable();
    if (oddBytes && random.below(8) == 0 && text.size() > 2)
      text[1 + random.below(text.size() - 1)] = random.below(2) ? '\r' : '\0';
    lines.push_back(seal(text));
  }
  lines.push_back(seal("DT"));
  return lines;
}

std::vector<std::string> uniform(std::size_t count, std::size_t textLength) {
  Random random(7);
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < count; ++i) {
    std::string text(textLength, ' ');
    for (char& c : text) c = random.printable();
    text[0] = 'R';
    lines.push_back(seal(text));
  }
  lines.push_back(seal("DT"));
  return lines;
}

std::string replaced(std::string bytes, std::size_t at, const std::string& with) {
  return bytes.replace(at, with.size(), with);
}

// A few random insertions, deletions and replacements from bytes that matter
// to the reader.
std::string mangled(std::string bytes, std::uint64_t seed) {
  Random random(seed);
  static const char kBytes[] = {'\r', '\n', '\0', '0', '9', 'D', 'T', 'R', 'S', 'x'};
  const std::size_t edits = 1 + random.below(6);
  for (std::size_t e = 0; e < edits && !bytes.empty(); ++e) {
    const std::size_t at = random.below(bytes.size());
    const char c = kBytes[random.below(sizeof kBytes)];
    switch (random.below(4)) {
      case 0:
        bytes.insert(at, 1, c);
        break;
      case 1:
        bytes.erase(at, 1 + random.below(3));
        break;
      case 2:
        bytes[at] = c;
        break;
      default:
        bytes.insert(at, std::string(random.below(3000), 'L'));
        break;
    }
  }
  return bytes;
}

struct Case {
  std::string name;
  std::string bytes;
  std::string tags = "SYS";
};

std::vector<Case> corpus() {
  std::vector<Case> cases;
  Random random(1);
  const std::vector<std::string> receipt{seal("R1"), seal("R2 receipt line")};
  const std::string worked(suite_test::worked::kFile);
  cases.push_back({"worked", worked});
  cases.push_back({"empty", ""});

  const std::string varied = validFile(records(random, 3000, 400, false), receipt);
  cases.push_back({"valid varied", varied});
  cases.push_back({"valid odd bytes", validFile(records(random, 3000, 300, true), receipt)});
  cases.push_back({"valid long lines", validFile(records(random, 400, 2020, true), receipt)});
  cases.push_back({"valid uniform 200", validFile(uniform(20000, 188), receipt)});
  cases.push_back({"valid uniform 50", validFile(uniform(30000, 38), uniform(30000, 38))});
  cases.push_back(
      {"valid empty texts", validFile({seal(""), seal(""), std::string(5, '1'), seal("DT")}, {})});

  // Every error.
  cases.push_back({"02 system", replaced(worked, 0, "X")});
  cases.push_back({"03 header crc", replaced(worked, 13, "9")});
  cases.push_back({"04 record crc", replaced(varied, varied.find("\r\n", 5000) - 1, "x")});
  cases.push_back({"05 no trailer", validFile({seal("D1"), seal("D2")}, {})});
  cases.push_back({"06 declaration crc", replaced(varied, 3, "0000000000")});
  cases.push_back({"07 no receipt trailer", varied.substr(0, varied.size() - 24)});
  cases.push_back({"08 receipt crc", replaced(worked, worked.size() - 14, "0")});
  cases.push_back({"09 receipt trailer crc", replaced(worked, worked.size() - 3, "0")});
  std::string six = varied;
  for (int k = 1; k <= 7; ++k) six = replaced(six, six.find("\r\n", 1000u * k) - 2, "x");
  cases.push_back({"six errors", six});

  // Long lines at and around the limit, anywhere in a file.
  for (std::size_t length : {2029u, 2030u, 2031u, 2032u, 2033u, 5000u, 70000u}) {
    const std::string line = seal(std::string(length - 10, 'L'));
    cases.push_back({"line " + std::to_string(length) + " first", line + "\r\n" + varied});
    cases.push_back({"line " + std::to_string(length) + " inside",
                     varied.substr(0, 40000) + line + "\r\n" + varied.substr(40000)});
    cases.push_back({"line " + std::to_string(length) + " ends file", varied + line});
    std::string cr = std::string(length - 1, 'C') + "\r";
    cases.push_back({"lone CR at " + std::to_string(length), worked.substr(0, 25) + cr + "x\r\n" + worked});
  }

  // Lone CRs, CR CR LF, NULs, short and empty lines.
  cases.push_back({"CR ends file", worked + "abc\r"});
  cases.push_back({"CR CR LF", replaced(worked, 23, "\r\r\n")});
  cases.push_back({"LF alone", "SYS4186146210399378628\n3\r\n" + worked.substr(25)});
  cases.push_back({"NUL in header", replaced(worked, 5, std::string(1, '\0'))});
  cases.push_back({"NUL in field", replaced(worked, 35, std::string(1, '\0'))});
  cases.push_back({"short lines", worked.substr(0, 25) + "\r\n12\r\n\r\n" + worked.substr(25)});
  cases.push_back({"no final CR LF", worked.substr(0, worked.size() - 2)});
  cases.push_back({"tail after trailer", worked + "garbage without end"});

  // Tags that are empty, longer than texts, or found often.
  cases.push_back({"empty tags", validFile(records(random, 50, 30, true), receipt), ""});

  // Damaged files.
  for (std::uint64_t seed = 1; seed <= 60; ++seed)
    cases.push_back({"mangled " + std::to_string(seed), mangled(seed % 2 ? varied : worked, seed)});
  return cases;
}

std::string fingerprint(const Case& c, TempDir& dir) {
  const std::string input = dir.file("abcdefgh.xyz");
  const std::string clean = dir.file("clean.out");
  const std::string log = dir.file("errors.log");
  writeFile(input, c.bytes);
  char declared[11] = "unwritten";
  char computed[11] = "unwritten";
  const bool plain = c.tags == "SYS";
  ValidationRequest request{input.c_str(),     clean.c_str(),    log.c_str(), declared,
                            computed,          plain ? 3 : 0,    0,           plain ? "SYS" : "",
                            plain ? "DT" : "", plain ? "RT" : ""};
  const std::int32_t result = TBTabrel(request);
  const std::string out = std::to_string(result) + " d=" + hexBytes(declared) + " c=" + hexBytes(computed) +
                          " clean=" + describeFile(clean) + " log=" + describeFile(log);
  std::remove(clean.c_str());
  std::remove(log.c_str());
  return out;
}

TEST(Corpus, OutputsMatchTheByteByByteReader) {
  const std::map<std::string, std::string> expected = {
#include "tests/validator/corpus_expected.inc"
  };
  TempDir dir;
  for (const Case& c : corpus()) {
    SCOPED_TRACE(c.name);
    const auto found = expected.find(c.name);
    ASSERT_NE(found, expected.end());
    EXPECT_EQ(fingerprint(c, dir), found->second);
  }
}

}  // namespace
}  // namespace tabrel
