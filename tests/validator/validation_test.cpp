// validation_test.cpp -- whole runs of TBTabrel: the worked file, every error, every early exit, the outputs.
#include "validator/tabrel32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/validator/test_files.h"
#include "validator/crc32.h"
#include "validator/validation.h"

namespace tabrel {
namespace {

using test::crcDigits;
using test::readFile;
using test::sealed;
using test::TempDir;
using test::writeFile;

const std::string kWorkedFile(suite_test::worked::kFile);

struct Tags {
  std::string system = "SYS";
  std::int32_t offset = 3;
  std::string declarationTrailer = "DT";
  std::string receiptTrailer = "RT";
};

struct Outcome {
  std::int32_t result = -1;
  bool cleanExists = false;
  bool logExists = false;
  std::string clean;
  std::string log;
  std::string declared;
  std::string computed;
};

class Scratch {
 public:
  explicit Scratch(std::string inputName = "abcdefgh.xyz") : input(dir.file(inputName)) {}

  Outcome operator()(const std::string& bytes, const Tags& tags = Tags{}) {
    writeFile(input, bytes);
    return validate(tags);
  }

  Outcome validate(const Tags& tags = Tags{}, bool upperCaseName = false) {
    ValidationRequest request{};
    request.inputPath = input.c_str();
    request.cleanCopyPath = clean.c_str();
    request.logPath = log.c_str();
    request.declaredCrc = declared;
    request.computedCrc = computed;
    request.declaredCrcOffset = tags.offset;
    request.reserved = 0xDEADBEEFu;
    request.systemTag = tags.system.c_str();
    request.declarationTrailerTag = tags.declarationTrailer.c_str();
    request.receiptTrailerTag = tags.receiptTrailer.c_str();
    Outcome out;
    out.result = upperCaseName ? TBTABREL(request) : TBTabrel(request);
    out.cleanExists = test::exists(clean);
    out.logExists = test::exists(log);
    out.clean = readFile(clean);
    out.log = readFile(log);
    out.declared = declared;
    out.computed = computed;
    return out;
  }

  TempDir dir;
  std::string input;
  std::string clean = dir.file("clean.out");
  std::string log = dir.file("errors.log");
  char declared[11] = "unwritten";
  char computed[11] = "unwritten";
};

// Full lines (text and field, no line end).
std::string damaged(const std::string& text) { return text + crcDigits(recordCrc(text.c_str()) ^ 1u); }

std::uint32_t crcOf(const std::string& s) {
  return crc32Update(s.data(), static_cast<std::uint32_t>(s.size()), nullptr);
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\r\n";
  return bytes;
}

// The bytes of a full line that enter the running CRC: its text and its field,
// each up to its first NUL (a line shorter than ten bytes is all field).
std::string folded(const std::string& line) {
  if (line.size() < 10) return line.substr(0, line.find('\0'));
  const std::string text = line.substr(0, line.size() - 10);
  const std::string field = line.substr(line.size() - 10);
  return text.substr(0, text.find('\0')) + field.substr(0, field.find('\0'));
}

// A file whose header and receipt trailer carry the CRCs of the given lines as
// they stand: header, declaration lines, receipt lines, receipt trailer.
std::vector<std::string> fileLines(const std::vector<std::string>& declaration,
                                   const std::vector<std::string>& receipt,
                                   const std::string& nameField = "ABCDEFGH.XYZ") {
  std::string body;
  for (const std::string& line : declaration) body += folded(line);
  const std::string headerText = "SYS" + crcDigits(crcOf(body));
  const std::string covered = nameField.size() == 12 ? nameField + headerText : nameField;
  std::vector<std::string> lines{headerText + crcDigits(crcOf(covered))};
  lines.insert(lines.end(), declaration.begin(), declaration.end());
  for (const std::string& line : receipt) body += folded(line);
  lines.insert(lines.end(), receipt.begin(), receipt.end());
  lines.push_back(sealed("RT" + crcDigits(crcOf(body))));
  return lines;
}

std::string line(int number, const char* text) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "[%05d] ", number);
  return buffer + std::string(text) + "\r\n";
}

const char* const k01 = "01 - Registro header ausente";
const char* const k02 = "02 - Sistema inv\xE1lido";
const char* const k03 = "03 - CRC do registro header inv\xE1lido";
const char* const k04 = "04 - CRC do registro inv\xE1lido";
const char* const k05 = "05 - Registro trailler da declara\xE7\xE3o ausente";
const char* const k06 = "06 - CRC do arquivo declara\xE7\xE3o inv\xE1lido";
const char* const k07 = "07 - Registro trailler do recibo ausente";
const char* const k08 = "08 - CRC do arquivo de recibo inv\xE1lido";
const char* const k09 = "09 - CRC do registro trailler do recibo inv\xE1lido";

TEST(Validation, WorkedExampleUnderBothNames) {
  for (bool upperCase : {false, true}) {
    Scratch run;
    writeFile(run.input, kWorkedFile);
    const Outcome out = run.validate(Tags{}, upperCase);
    EXPECT_EQ(out.result, 0);
    EXPECT_TRUE(out.cleanExists);
    EXPECT_EQ(out.clean, "SYS4186146210\r\nDT\r\n");
    EXPECT_FALSE(out.logExists);
    EXPECT_EQ(out.declared, "4186146210");
    EXPECT_EQ(out.computed, "4186146210");
  }
}

TEST(Validation, EmptyFile) {
  Scratch run;
  const Outcome out = run("");
  EXPECT_EQ(out.result, 3);
  EXPECT_EQ(out.log, line(1, k01) + line(1, k05) + line(1, k07));
  EXPECT_FALSE(out.cleanExists);
  EXPECT_EQ(out.computed, "         0");
  EXPECT_EQ(out.declared, "unwritten");
}

struct ErrorCase {
  const char* name;
  std::function<std::vector<std::string>()> lines;
  std::int32_t result;
  std::string log;
};

TEST(Validation, EachErrorIsLoggedAndCounted) {
  const std::vector<std::string> d1dt{sealed("D1"), sealed("DT")};
  const std::vector<ErrorCase> cases = {
      {"02 wrong system",
       [&] {
         auto l = fileLines(d1dt, {sealed("R1")});
         l[0][0] = 'X';
         return l;
       },
       4, line(1, k02)},
      {"03 header's own CRC",
       [&] {
         auto l = fileLines(d1dt, {sealed("R1")});
         l[0] = damaged(l[0].substr(0, l[0].size() - 10));
         return l;
       },
       1, line(1, k03)},
      {"04 declaration record",
       [&] {
         return fileLines({damaged("D1"), sealed("DT")}, {sealed("R1")});
       },
       1, line(2, k04)},
      {"04 declaration trailer",
       [&] {
         return fileLines({sealed("D1"), damaged("DT")}, {sealed("R1")});
       },
       1, line(3, k04)},
      {"04 receipt record",
       [&] {
         return fileLines(d1dt, {sealed("R1"), damaged("R2")});
       },
       1, line(5, k04)},
      {"05 and 07: no trailers at all",
       [&] {
         auto l = fileLines({sealed("D1"), sealed("D2")}, {});
         l.pop_back();
         return l;
       },
       2, line(3, k05) + line(3, k07)},
      {"06 declaration CRC",
       [&] {
         auto l = fileLines(d1dt, {sealed("R1")});
         l[0] = "SYS0000000001" + l[0].substr(13);
         return l;
       },
       5, line(1, k03) + line(3, k06)},
      {"07 file ends after the declaration trailer",
       [&] {
         auto l = fileLines(d1dt, {});
         l.pop_back();
         return l;
       },
       1, line(3, k07)},
      {"08 receipt CRC",
       [&] {
         auto l = fileLines(d1dt, {sealed("R1")});
         l.back() = sealed("RT0123456789");
         return l;
       },
       6, line(5, k08)},
      {"09 receipt trailer's own CRC; its receipt CRC still right",
       [&] {
         auto l = fileLines(d1dt, {sealed("R1")});
         l.back() = damaged(l.back().substr(0, 12));
         return l;
       },
       1, line(5, k09)},
      {"09 and then 08 on the same trailer",
       [&] {
         auto l = fileLines(d1dt, {sealed("R1")});
         l.back() = damaged("RT0123456789");
         return l;
       },
       6, line(5, k09) + line(5, k08)},
      {"six errors stop the run; no 05 or 07 follows",
       [&] {
         return fileLines({damaged("A"), damaged("B"), damaged("C"), damaged("D"), damaged("E"), damaged("F"),
                           damaged("G"), sealed("DT")},
                          {});
       },
       6, line(2, k04) + line(3, k04) + line(4, k04) + line(5, k04) + line(6, k04) + line(7, k04)},
      {"the sixth error on the trailer: its checks still run",
       [&] {
         auto l = fileLines({damaged("A"), damaged("B"), damaged("C"), damaged("D"), damaged("DT")},
                            {damaged("R1")});
         l[0] = damaged(l[0].substr(0, 13));
         return l;
       },
       6, line(1, k03) + line(2, k04) + line(3, k04) + line(4, k04) + line(5, k04) + line(6, k04)},
      {"sixth error in the receipt part ends the reading",
       [&] {
         return fileLines({damaged("A"), damaged("B"), damaged("C"), sealed("DT")},
                          {damaged("R1"), damaged("R2"), damaged("R3"), damaged("R4")});
       },
       6, line(2, k04) + line(3, k04) + line(4, k04) + line(6, k04) + line(7, k04) + line(8, k04)},
      {"a declaration record beginning with the receipt tag is ordinary",
       [&] {
         return fileLines({sealed("RT0000000000"), damaged("x"), sealed("DT")}, {});
       },
       1, line(3, k04)},
      {"a line shorter than ten bytes fails its own CRC",
       [&] {
         return fileLines({"1234", sealed("DT")}, {});
       },
       1, line(2, k04)},
      {"a receipt trailer shorter than ten characters carries no receipt CRC",
       [&] {
         auto l = fileLines(d1dt, {});
         l.back() = sealed("RT12");
         return l;
       },
       6, line(4, k08)},
  };
  for (const ErrorCase& c : cases) {
    Scratch run;
    const Outcome out = run(joinLines(c.lines()));
    EXPECT_EQ(out.result, c.result) << c.name;
    EXPECT_EQ(out.log, c.log) << c.name;
    EXPECT_TRUE(out.logExists) << c.name;
    EXPECT_FALSE(out.cleanExists) << c.name;
  }
}

TEST(Validation, CleanCopyHoldsTextsOfTheDeclarationPart) {
  // A lone CR stays in the text, a NUL ends it; receipt records are never copied.
  const std::string withCr = "a\rb";
  const std::string withNul("cd\0ef", 5);
  const std::string nulLine = std::string(withNul) + crcDigits(recordCrc("cd"));
  Scratch run;
  const Outcome out = run(joinLines(fileLines({sealed(withCr), nulLine, sealed("DT")}, {sealed("R1")})));
  EXPECT_EQ(out.result, 0) << out.log;
  EXPECT_EQ(out.clean.substr(15), "a\rb\r\ncd\r\nDT\r\n");
  EXPECT_EQ(out.declared, out.computed);
}

TEST(Validation, RecordsAfterTheReceiptTrailerAreNotRead) {
  Scratch run;
  const Outcome out = run(kWorkedFile + "garbage without a field\r\n" + damaged("RT") + "\r\nno line end");
  EXPECT_EQ(out.result, 0);
}

TEST(Validation, ShortNameFieldCoversTheNameAlone) {
  // abc.xyz: the header's own CRC is the CRC-32 of ABC.XYZ, whatever the header says.
  Scratch run("abc.xyz");
  auto lines = fileLines({sealed("DT")}, {sealed("R1")}, "ABC.XYZ");
  EXPECT_EQ(lines[0].substr(13), crcDigits(crcOf("ABC.XYZ")));
  EXPECT_EQ(run(joinLines(lines)).result, 0);
  // The worked file under another name fails only its header CRC.
  Scratch renamed("abcdefgh.xy");
  const Outcome out = renamed(kWorkedFile);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.log, line(1, k03));
}

TEST(Validation, MissingHeaderStillReadsTheRestAgainstTheCallersBuffer) {
  // A first line too long for a record is consumed in part; the rest of it is record 2.
  Scratch run;
  std::strcpy(run.declared, "4186146210");
  const Outcome out =
      run(std::string(2031, 'H') + "DT3117026579\r\nR12559192339\r\nRT28760475173217099436\r\n");
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.log, line(1, k01));
  EXPECT_EQ(out.declared, "4186146210");
  EXPECT_EQ(out.computed, "4186146210");

  Scratch unmatched;
  std::strcpy(unmatched.declared, "0000000000");
  EXPECT_EQ(unmatched(std::string(2031, 'H') + kWorkedFile.substr(25)).result, 5);
  EXPECT_EQ(readFile(unmatched.log), line(1, k01) + line(2, k06));
}

TEST(Validation, WrongSystemStillFillsDeclaredCrc) {
  Scratch run;
  Tags tags;
  tags.system = "SYT";
  const Outcome out = run(kWorkedFile, tags);
  EXPECT_EQ(out.result, 4);
  EXPECT_EQ(out.log, line(1, k02));
  EXPECT_EQ(out.declared, "4186146210");
  EXPECT_EQ(out.computed, "unwritten");
  EXPECT_FALSE(out.cleanExists);
}

TEST(Validation, EmptyTagsMatchEveryRecord) {
  // With an empty declaration trailer tag the first record after the header is the trailer.
  Scratch run;
  Tags tags;
  tags.declarationTrailer = "";
  EXPECT_EQ(run(kWorkedFile, tags).result, 0);
}

TEST(Validation, OffsetOutsideTheHeaderText) {
  struct Case {
    std::int32_t offset;
    const char* declared;
  };
  const Case cases[] = {{-1, ""}, {-2147483647 - 1, ""}, {13, ""}, {4, "186146210"}, {12, "0"}, {1000, ""}};
  for (const Case& c : cases) {
    Scratch run;
    Tags tags;
    tags.offset = c.offset;
    const Outcome out = run(kWorkedFile, tags);
    EXPECT_EQ(out.result, 5) << c.offset;
    EXPECT_EQ(out.declared, c.declared) << c.offset;
    EXPECT_EQ(out.log, line(2, k06)) << c.offset;
  }
}

TEST(Validation, RecordNumbersGrowPastFiveDigits) {
  std::vector<std::string> declaration(100000, sealed("D"));
  declaration.push_back(damaged("E"));
  declaration.push_back(sealed("DT"));
  Scratch run;
  auto lines = fileLines(declaration, {});
  lines.pop_back();
  const Outcome out = run(joinLines(lines));
  EXPECT_EQ(out.result, 2);
  EXPECT_EQ(out.log, "[100002] " + std::string(k04) + "\r\n[100003] " + k07 + "\r\n");
}

struct ExitCase {
  const char* name;
  std::function<void(Scratch&, ValidationRequest&)> adjust;
  std::int32_t result;
  bool inputKept;
  bool cleanExists;
  bool logExists;
};

TEST(Validation, EarlyExits) {
  const std::vector<ExitCase> cases = {
      {"input missing", [](Scratch& r, ValidationRequest&) { std::filesystem::remove(r.input); }, 1, false,
       false, false},
      {"input path null", [](Scratch&, ValidationRequest& q) { q.inputPath = nullptr; }, 1, true, false,
       false},
      {"a tag null", [](Scratch&, ValidationRequest& q) { q.receiptTrailerTag = nullptr; }, 1, true, false,
       false},
      {"declaredCrc null", [](Scratch&, ValidationRequest& q) { q.declaredCrc = nullptr; }, 1, true, false,
       false},
      {"cleaned copy cannot be created",
       [](Scratch& r, ValidationRequest& q) {
         r.clean = r.dir.file("missing/clean.out");
         q.cleanCopyPath = r.clean.c_str();
       },
       2, true, false, false},
      {"cleaned copy names the input", [](Scratch&, ValidationRequest& q) { q.cleanCopyPath = q.inputPath; },
       2, true, false, false},
      {"error log cannot be created",
       [](Scratch& r, ValidationRequest& q) {
         r.log = r.dir.file("missing/errors.log");
         q.logPath = r.log.c_str();
       },
       3, true, true, false},
      {"error log names the cleaned copy",
       [](Scratch&, ValidationRequest& q) { q.logPath = q.cleanCopyPath; }, 3, true, true, false},
      {"error log names the input", [](Scratch&, ValidationRequest& q) { q.logPath = q.inputPath; }, 3, true,
       true, false},
  };
  for (const ExitCase& c : cases) {
    Scratch run;
    writeFile(run.input, kWorkedFile);
    ValidationRequest request{run.input.c_str(),
                              run.clean.c_str(),
                              run.log.c_str(),
                              run.declared,
                              run.computed,
                              3,
                              0,
                              "SYS",
                              "DT",
                              "RT"};
    c.adjust(run, request);
    EXPECT_EQ(TBTabrel(request), c.result) << c.name;
    if (c.inputKept) {
      EXPECT_EQ(readFile(run.input), kWorkedFile) << c.name;
    }
    EXPECT_EQ(test::exists(run.clean), c.cleanExists) << c.name;
    if (c.cleanExists && run.clean != run.input) {
      EXPECT_EQ(readFile(run.clean), "") << c.name;
    }
    EXPECT_EQ(test::exists(run.log) && run.log != run.input && run.log != run.clean, c.logExists) << c.name;
    EXPECT_STREQ(run.declared, "unwritten") << c.name;
    EXPECT_STREQ(run.computed, "unwritten") << c.name;
  }
}

TEST(Validation, CleanCopyThatCannotBeWrittenIsNotReportedAsClean) {
  if (!test::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  // The cleaned copy goes through a link to a device that refuses every write;
  // deleting the copy removes only the link.
  Scratch run;
  std::filesystem::create_symlink("/dev/full", run.clean);
  writeFile(run.input, kWorkedFile);
  const Outcome out = run.validate();
  EXPECT_EQ(out.result, 2);
  EXPECT_FALSE(std::filesystem::is_symlink(run.clean));
  EXPECT_FALSE(out.logExists);
  EXPECT_TRUE(test::exists("/dev/full"));

  // With errors in the file the error count stands as before.
  Scratch damagedRun;
  std::filesystem::create_symlink("/dev/full", damagedRun.clean);
  const Outcome withErrors = damagedRun(kWorkedFile.substr(0, 25));
  EXPECT_EQ(withErrors.result, 2);
  EXPECT_EQ(withErrors.log, line(1, k05) + line(1, k07));
}

TEST(NameField, SplitAndBuild) {
  struct Case {
    const char* path;
    std::string field;  // the 12 bytes of the name field
  };
  const Case cases[] = {
      {"abcdefgh.xyz", "ABCDEFGH.XYZ"},
      {"C:\\decl\\dir.d\\abcdefgh.xyz", "ABCDEFGH.XYZ"},
      {"/tmp/x/abc.xyz", std::string("ABC.XYZ\0\0\0\0\0", 12)},
      {"longfilename.txt", "LONGFILE.TXT"},
      {"a.b.c", std::string("A.B.C\0\0\0\0\0\0\0", 12)},
      {"noext", std::string("NOEXT\0\0\0\0\0\0\0", 12)},
      {"dir.d/file", std::string("FILE\0\0\0\0\0\0\0\0", 12)},
      {"c:name.txt", std::string("NAME.TXT\0\0\0\0", 12)},
      {"x.averyveryverylongextension", "X.AVERYVERYV"},
      {"12345678.verylongextension", "12345678.VER"},
      {".profile", std::string(".PROFILE\0\0\0\0", 12)},
      {"dir/", std::string(12, '\0')},
      {"mi\xE7o_\x7Bz.a-z", std::string("MI\xE7O_\x7BZ.A-Z", 12)},
  };
  for (const Case& c : cases) {
    NameArea area;
    buildNameField(splitPath(c.path), area);
    EXPECT_EQ(std::string(area, kNameFieldLength), c.field) << c.path;
  }
  // Paths far longer than any fixed path buffer.
  const std::string longPath =
      std::string(5000, 'd') + "/" + std::string(3000, 'n') + "." + std::string(3000, 'e');
  NameArea area;
  buildNameField(splitPath(longPath.c_str()), area);
  EXPECT_EQ(std::string(area, kNameFieldLength), "NNNNNNNN.EEE");
}

}  // namespace
}  // namespace tabrel
