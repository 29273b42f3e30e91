// Tests of the credential block, the EBCDIC tables and the run-length escape.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "protocol/credentials.h"
#include "protocol/ebcdic.h"
#include "protocol/hex.h"
#include "protocol/run_length.h"
#include "protocol/wire.h"

namespace lumbra {
namespace {

std::string hex(const std::string& bytes) {
  return hexText(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// ---- EBCDIC ----

TEST(Ebcdic, FullTableMatchesCodePageAndDeviations) {
  struct Case {
    unsigned char ascii, ebcdic;
  };
  const Case cases[] = {
      {' ', 0x40},
      {'0', 0xF0},
      {'9', 0xF9},
      {'A', 0xC1},
      {'I', 0xC9},
      {'J', 0xD1},
      {'R', 0xD9},
      {'S', 0xE2},
      {'Z', 0xE9},
      {'a', 0x81},
      {'i', 0x89},
      {'j', 0x91},
      {'r', 0x99},
      {'s', 0xA2},
      {'z', 0xA9},
      {'!', 0x5A},
      {'\'', 0x7D},
      {'=', 0x7E},
      {'(', 0x4D},
      {')', 0x5D},
      {'.', 0x4B},
      {'@', 0x7C},
      {'"', 0x7F},
      {',', 0x6B},
      // deviations: control codes, DEL and ten punctuation characters become blanks
      {0x00, 0x40},
      {0x1F, 0x40},
      {0x7F, 0x40},
      {'[', 0x40},
      {'\\', 0x40},
      {']', 0x40},
      {'^', 0x40},
      {'_', 0x40},
      {'`', 0x40},
      {'{', 0x40},
      {'|', 0x40},
      {'}', 0x40},
      {'~', 0x40},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AsciiToEbcdicTable[c.ascii], c.ebcdic) << "ascii 0x" << std::hex << int(c.ascii);
    EXPECT_EQ(asciiToEbcdic(c.ascii), c.ebcdic);
  }
  EXPECT_EQ(asciiToEbcdic(0x80), 0x40);
  EXPECT_EQ(asciiToEbcdic(0xE7), 0x40);
}

TEST(Ebcdic, UpperTableBlanksLowerCaseAndControls) {
  EXPECT_EQ(UpperEbcdicTable['A'], 0xC1);
  EXPECT_EQ(UpperEbcdicTable['Z'], 0xE9);
  EXPECT_EQ(UpperEbcdicTable['0'], 0xF0);
  EXPECT_EQ(UpperEbcdicTable['!'], 0x5A);
  EXPECT_EQ(UpperEbcdicTable['@'], 0x7C);
  EXPECT_EQ(UpperEbcdicTable['a'], 0x40);
  EXPECT_EQ(UpperEbcdicTable['['], 0x40);
  EXPECT_EQ(UpperEbcdicTable[0x05], 0x40);
}

TEST(Ebcdic, InverseRoundTripsEveryMappedCharacter) {
  for (int c = 0x20; c < 0x7F; ++c) {
    const unsigned char e = AsciiToEbcdicTable[c];
    if (e == 0x40 && c != ' ') continue;  // a deviation: reads back as a blank
    EXPECT_EQ(ebcdicToAscii(e), c) << "ascii " << c;
  }
  EXPECT_EQ(ebcdicToAscii(0x40), ' ');
  EXPECT_EQ(ebcdicToAscii(0x00), -1);
  EXPECT_EQ(ebcdicToAscii(0xFF), -1);

  const unsigned char prefix[] = {0xC9, 0xD5, 0xE2, 0xC5, 0xD9, 0xE3, 0x40,
                                  0x4D, 0xF0, 0xF3, 0x5D, 0x7E, 0x7D};
  char out[sizeof prefix];
  ASSERT_TRUE(ebcdicToAsciiText(prefix, sizeof prefix, out));
  EXPECT_EQ(std::string(out, sizeof out), "INSERT (03)='");
  const unsigned char bad[] = {0xC9, 0x00};
  EXPECT_FALSE(ebcdicToAsciiText(bad, sizeof bad, out));
}

// ---- credentials ----

std::string area(const std::string& id, const std::string& first, const std::string& second) {
  std::string a(kCredentialAreaLength, ' ');
  a.replace(0, id.size(), id);
  a.replace(kIdentificationLength, first.size(), first);
  a.replace(kIdentificationLength + kFirstCredentialLength, second.size(), second);
  return a;
}

std::string scramble(const std::string& a) {
  char block[kCredentialBlockLength + 1];
  std::memset(block, 'x', sizeof block);
  scrambleCredentials(a.data(), block);
  EXPECT_EQ(block[kCredentialBlockLength], '\0');
  return std::string(block, kCredentialBlockLength);
}

TEST(Credentials, PermutationUsesEveryPositionOnce) {
  const auto& p = credentialPermutation();
  std::set<int> seen(p.begin(), p.end());
  EXPECT_EQ(seen.size(), kPermutationLength);
  EXPECT_EQ(*seen.begin(), 1);
  EXPECT_EQ(*seen.rbegin(), 109);
  // Not the identity: the block really is scrambled.
  int fixed = 0;
  for (std::size_t i = 0; i < p.size(); ++i) fixed += p[i] == i + 1;
  EXPECT_LT(fixed, 10);
}

TEST(Credentials, BlockHoldsIdentificationAndHexDigits) {
  const std::string block = scramble(area("Usr01", "secret", "New Pw"));
  ASSERT_EQ(block.size(), kCredentialBlockLength);
  EXPECT_EQ(block[0], '0');
  const auto& p = credentialPermutation();
  std::string id, digits;
  for (std::size_t i = 0; i < kIdentificationLength; ++i) id += block[p[i]];
  for (std::size_t i = kIdentificationLength; i < kPermutationLength; ++i) digits += block[p[i]];
  EXPECT_EQ(id, "Usr01      ");  // identification keeps its case
  std::string blanks;
  for (int i = 0; i < 19; ++i) blanks += "40";
  // first credential: "SECRET" + 18 blanks; second: "NEW PW" + 19 blanks
  std::string want;
  for (unsigned char c : std::string("SECRET"))
    want += hex(std::string(1, static_cast<char>(UpperEbcdicTable[c])));
  for (int i = 0; i < 18; ++i) want += "40";
  for (unsigned char c : std::string("NEW PW"))
    want += hex(std::string(1, static_cast<char>(UpperEbcdicTable[c])));
  want += blanks;
  EXPECT_EQ(digits, want);
  EXPECT_EQ(digits.substr(0, 4), "E2C5");  // S, E
}

TEST(Credentials, LowerCaseCredentialsScrambleLikeUpperCase) {
  EXPECT_EQ(scramble(area("abc", "pass word", "x")), scramble(area("abc", "PASS WORD", "X")));
  EXPECT_NE(scramble(area("abc", "p", "")), scramble(area("ABC", "p", "")));
}

TEST(Credentials, UnscrambleRoundTrip) {
  const std::string in = area("Operador 1", "Senha!0#", "nova-senha");
  const std::string block = scramble(in);
  char out[kCredentialAreaLength];
  ASSERT_TRUE(unscrambleCredentials(block.data(), block.size(), out));
  EXPECT_EQ(std::string(out, kCredentialAreaLength), area("Operador 1", "SENHA!0#", "NOVA-SENHA"));

  // Full fields, no padding.
  const std::string full = area("ABCDEFGHIJK", std::string(24, 'Q'), std::string(25, '9'));
  ASSERT_TRUE(unscrambleCredentials(scramble(full).data(), kCredentialBlockLength, out));
  EXPECT_EQ(std::string(out, kCredentialAreaLength), full);
}

TEST(Credentials, UnscrambleRefusesMalformedBlocks) {
  const std::string good = scramble(area("id", "pw", ""));
  const auto& p = credentialPermutation();
  const std::size_t firstDigit = p[kIdentificationLength];  // block position of the first hex digit
  struct Case {
    const char* name;
    std::string block;
  };
  std::vector<Case> cases;
  {
    std::string b = good;
    b[0] = '1';
    cases.push_back({"first character not zero", b});
  }
  {
    std::string b = good;
    b[firstDigit] = 'G';
    cases.push_back({"digit not hexadecimal", b});
  }
  {
    std::string b = good;
    b[firstDigit] = 'c';
    cases.push_back({"lower-case hex digit", b});
  }
  {
    std::string b = good;
    b[firstDigit] = '0';
    b[p[kIdentificationLength + 1]] = '0';
    cases.push_back({"code no character produces", b});
  }
  cases.push_back({"short block", good.substr(0, 109)});
  char out[kCredentialAreaLength];
  for (const auto& c : cases)
    EXPECT_FALSE(unscrambleCredentials(c.block.data(), c.block.size(), out)) << c.name;
  EXPECT_TRUE(unscrambleCredentials(good.data(), good.size(), out));
}

// ---- run-length escape ----

std::string encodeOut(const std::string& text) {
  std::vector<char> buf(2 * text.size() + 8);
  const auto n = encodeOutgoingRunLength(buf.data(), buf.size(), text.c_str());
  EXPECT_GE(n, 0);
  return std::string(buf.data(), n < 0 ? 0 : static_cast<std::size_t>(n));
}

TEST(RunLength, OutgoingWorkedExamples) {
  struct Case {
    std::string source, encoded;
  };
  const Case cases[] = {
      {"ABC", "ABC"},
      {"X    Y", "X@3 Y"},
      {"AAAA", "@3A"},
      {"AAA", "AAA"},
      {"'          '", "'@9 '"},
      {"A@B", "A@@B"},
      {"@@", "@@@@"},
      {"====", "===="},
      {"((((''''\"\"\"\"<<<<>>>>", "((((''''\"\"\"\"<<<<>>>>"},
      {std::string(40, '0'), "@Z0@30"},
      {std::string(36, 'c'), "@Zc"},
      {std::string(37, 'c'), "@Zcc"},
      {std::string(72, 'c') + "ccc", "@Zc@Zcccc"},
      {"UPDATE T SET A='      ' WHERE K=1", "UPDATE T SET A='@5 ' WHERE K=1"},
      {"INSERT INTO T VALUES (1,'    ')", "INSERT INTO T VALUES (1,'@3 ')"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(encodeOut(c.source), c.encoded) << c.source;
}

TEST(RunLength, OutgoingIsBoundedByCapacity) {
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(encodeOutgoingRunLength(buf, 4, "ABCDE"), kRunLengthNoRoom);
  EXPECT_EQ(encodeOutgoingRunLength(buf, 2, "A@"), kRunLengthNoRoom);
  EXPECT_EQ(encodeOutgoingRunLength(buf, 2, "AAAA"), kRunLengthNoRoom);
  EXPECT_EQ(buf[4], '#');
  EXPECT_EQ(encodeOutgoingRunLength(buf, 3, "AAAA"), 3);
  EXPECT_EQ(encodeOutgoingRunLength(buf, 4, "A@B"), 4);
}

TEST(RunLength, IncomingWorkedExamples) {
  struct Case {
    std::string encoded, row;
  };
  const Case cases[] = {
      {"AB@05 C", "AB     C"}, {"@10X", std::string(36, 'X')},
      {"@@@03Z", "@ZZZ"},      {"@@", "@"},
      {"@00QAB", "AB"},        {std::string("@ZZ") + '\0', std::string(1295, '\0')},
  };
  for (const auto& c : cases) {
    std::vector<char> row(c.row.size() + 1, '#');
    const auto used = decodeIncomingRunLength(c.encoded.data(), c.encoded.size(), row.data(), c.row.size());
    EXPECT_EQ(used, static_cast<std::ptrdiff_t>(c.encoded.size())) << c.encoded;
    EXPECT_EQ(std::string(row.data(), c.row.size()), c.row) << c.encoded;
    EXPECT_EQ(row[c.row.size()], '#') << "wrote past the row";
  }
}

TEST(RunLength, IncomingStopsAtRowEndAndLeavesTheRest) {
  const std::string block = "ABC@03DEF";
  char row[4] = {};
  EXPECT_EQ(decodeIncomingRunLength(block.data(), block.size(), row, 3), 3);
  EXPECT_EQ(std::string(row, 3), "ABC");
  EXPECT_EQ(decodeIncomingRunLength(block.data() + 3, block.size() - 3, row, 3), 4);
  EXPECT_EQ(std::string(row, 3), "DDD");
  EXPECT_EQ(decodeIncomingRunLength(block.data(), block.size(), row, 0), 0);
}

TEST(RunLength, IncomingRefusesMalformedRows) {
  struct Case {
    const char* name;
    std::string encoded;
    std::size_t rowLength;
    std::ptrdiff_t error;
  };
  const Case cases[] = {
      {"run longer than the rest of the row", "AB@05 ", 4, kRunLengthOverrun},
      {"digit outside the alphabet", "@0a ", 10, kRunLengthBadDigit},
      {"punctuation as digit", "@-1 ", 10, kRunLengthBadDigit},
      {"block ends inside a row", "ABC", 5, kRunLengthTruncated},
      {"block ends inside an escape", "A@0", 5, kRunLengthTruncated},
      {"lone escape at the end", "A@", 5, kRunLengthTruncated},
      {"empty block", "", 1, kRunLengthTruncated},
  };
  for (const auto& c : cases) {
    std::vector<char> row(c.rowLength + 1, '#');
    EXPECT_EQ(decodeIncomingRunLength(c.encoded.data(), c.encoded.size(), row.data(), c.rowLength), c.error)
        << c.name;
    EXPECT_EQ(row[c.rowLength], '#') << c.name;
  }
}

TEST(RunLength, ServerDirectionsRoundTrip) {
  std::mt19937 gen(7);
  for (int round = 0; round < 200; ++round) {
    // Rows of any bytes, with runs of every length, '@' runs and NULs.
    std::string row;
    const int pieces = 1 + static_cast<int>(gen() % 20);
    for (int i = 0; i < pieces; ++i) {
      const char palette[] = {'@', '\0', ' ', 'A', '0', '\xFF', '\''};
      const char c = palette[gen() % sizeof palette];
      row.append(gen() % 4 == 0 ? gen() % 2000 : gen() % 6, c);
    }
    std::vector<char> enc(incomingRunLengthBound(row.size()) + 1);
    const auto n = encodeIncomingRunLength(row.data(), row.size(), enc.data(), enc.size());
    ASSERT_GE(n, 0);
    std::vector<char> back(row.size() + 1);
    ASSERT_EQ(decodeIncomingRunLength(enc.data(), static_cast<std::size_t>(n), back.data(), row.size()), n);
    ASSERT_EQ(std::string(back.data(), row.size()), row);
  }
  // Outgoing: what the client encodes, the server decodes back.
  const std::string texts[] = {"UPDATE T SET A='      ' WHERE K=1", std::string(100, 'z') + "@@@x",
                               "DELETE FROM T WHERE A='@@@@@@'"};
  for (const auto& t : texts) {
    const std::string enc = encodeOut(t);
    std::vector<char> back(t.size());
    EXPECT_EQ(decodeOutgoingRunLength(enc.data(), enc.size(), back.data(), back.size()),
              static_cast<std::ptrdiff_t>(t.size()));
    EXPECT_EQ(std::string(back.data(), back.size()), t);
  }
}

// The encoder written the plain way, byte by byte: the fast one must give
// exactly its bytes (and fail exactly where it fails for want of room).
std::ptrdiff_t encodeIncomingByteByByte(const std::string& row, std::size_t capacity, std::string& out) {
  out.clear();
  for (std::size_t in = 0; in < row.size();) {
    const char c = row[in];
    std::size_t run = 1;
    while (run < 1295 && in + run < row.size() && row[in + run] == c) ++run;
    std::string piece;
    if (c == '@' ? run >= 3 : run >= 5) {
      const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
      piece = std::string("@") + digits[run / 36] + digits[run % 36] + c;
    } else {
      piece = c == '@' ? std::string(2 * run, '@') : std::string(run, c);
    }
    if (capacity - out.size() < piece.size()) return kRunLengthNoRoom;
    out += piece;
    in += run;
  }
  return static_cast<std::ptrdiff_t>(out.size());
}

TEST(RunLength, IncomingMatchesTheByteByByteForm) {
  std::mt19937 gen(11);
  for (int round = 0; round < 3000; ++round) {
    // Short runs of few letters next to each other, '@'s, blanks, long runs
    // across the run limit, at every alignment.
    std::string row(gen() % 16, 'q');
    const int pieces = 1 + static_cast<int>(gen() % 30);
    for (int i = 0; i < pieces; ++i) {
      const char palette[] = {'@', ' ', 'A', 'B', 'L', '\0', '\xFF', 'x'};
      const char c = palette[gen() % sizeof palette];
      const unsigned kind = gen() % 8;
      row.append(kind == 0 ? 1290 + gen() % 12 : kind == 1 ? gen() % 40 : 1 + gen() % 6, c);
      if (gen() % 2 == 0) row += "distinct";
    }
    std::string expected;
    const std::size_t capacities[] = {incomingRunLengthBound(row.size()), row.size() / 2 + gen() % 8};
    for (std::size_t capacity : capacities) {
      const std::ptrdiff_t want = encodeIncomingByteByByte(row, capacity, expected);
      std::vector<char> enc(capacity + 1);
      const std::ptrdiff_t got = encodeIncomingRunLength(row.data(), row.size(), enc.data(), capacity);
      ASSERT_EQ(got, want) << round;
      if (got >= 0) {
        ASSERT_EQ(std::string(enc.data(), static_cast<std::size_t>(got)), expected) << round;
      }
    }
  }
}

// The client's encoder written the plain way, byte by byte.
std::ptrdiff_t encodeOutgoingByteByByte(const std::string& text, std::size_t capacity, std::string& out) {
  out.clear();
  const std::string never = "\"'()<=>";
  for (std::size_t in = 0; in < text.size();) {
    const char c = text[in];
    std::string piece;
    std::size_t run = 1;
    if (c == '@') {
      piece = "@@";
    } else if (never.find(c) != std::string::npos) {
      piece = std::string(1, c);
    } else {
      while (run < 36 && in + run < text.size() && text[in + run] == c) ++run;
      const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
      piece = run >= 4 ? std::string("@") + digits[run - 1] + c : std::string(run, c);
    }
    if (capacity - out.size() < piece.size()) return kRunLengthNoRoom;
    out += piece;
    in += run;
  }
  return static_cast<std::ptrdiff_t>(out.size());
}

TEST(RunLength, OutgoingMatchesTheByteByByteForm) {
  std::mt19937 gen(13);
  for (int round = 0; round < 3000; ++round) {
    std::string text(gen() % 16, 'q');
    const int pieces = 1 + static_cast<int>(gen() % 30);
    for (int i = 0; i < pieces; ++i) {
      const char palette[] = {'@', ' ', 'A', '(', '\'', '=', '0', '\xFF'};
      const char c = palette[gen() % sizeof palette];
      const unsigned kind = gen() % 8;
      text.append(kind == 0 ? 30 + gen() % 50 : 1 + gen() % 6, c);
      if (gen() % 2 == 0) text += "INSERT INTO T VALUES";
    }
    std::string expected;
    for (std::size_t capacity : {2 * text.size() + 1, text.size() / 2 + gen() % 8}) {
      const std::ptrdiff_t want = encodeOutgoingByteByByte(text, capacity, expected);
      std::vector<char> enc(capacity + 1);
      const std::ptrdiff_t got = encodeOutgoingRunLength(enc.data(), capacity, text.c_str());
      ASSERT_EQ(got, want) << round;
      if (got >= 0) {
        ASSERT_EQ(std::string(enc.data(), static_cast<std::size_t>(got)), expected) << round;
      }
    }
  }
}

// The row decoder written the plain way, byte by byte: the fast one must give
// the same result, the same row, and fail where it fails.
std::ptrdiff_t decodeIncomingByteByByte(const std::string& block, std::size_t rowLength, std::string& row) {
  const std::string digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  row.clear();
  std::size_t in = 0;
  while (row.size() < rowLength) {
    if (in == block.size()) return kRunLengthTruncated;
    if (block[in] != '@') {
      row += block[in++];
      continue;
    }
    if (block.size() - in < 2) return kRunLengthTruncated;
    if (block[in + 1] == '@') {
      row += '@';
      in += 2;
      continue;
    }
    if (block.size() - in < 4) return kRunLengthTruncated;
    const std::size_t high = digits.find(block[in + 1]);
    const std::size_t low = digits.find(block[in + 2]);
    if (high == std::string::npos || low == std::string::npos) return kRunLengthBadDigit;
    const std::size_t count = high * 36 + low;
    if (count > rowLength - row.size()) return kRunLengthOverrun;
    row.append(count, block[in + 3]);
    in += 4;
  }
  return static_cast<std::ptrdiff_t>(in);
}

TEST(RunLength, RowsDecodeAsByteByByte) {
  std::mt19937 gen(17);
  // Plain stretches of every length next to escapes, runs, bad digits and
  // runs too long for the row, cut anywhere, decoded into rows of any length.
  const std::string pieces[] = {"CLIENTE 0000", "RUA",  "x",    "@@",   "@05 ",
                                "@0A0",         "@00Q", "@a1 ", "@ZZ.", "@1"};
  for (int round = 0; round < 4000; ++round) {
    std::string block;
    const int count = static_cast<int>(gen() % 12);
    for (int i = 0; i < count; ++i) block += pieces[gen() % (sizeof pieces / sizeof pieces[0])];
    block.resize(block.size() - std::min<std::size_t>(block.size(), gen() % 3));
    const std::size_t rowLength = gen() % 48;
    std::string expected;
    const std::ptrdiff_t want = decodeIncomingByteByByte(block, rowLength, expected);
    std::vector<char> row(rowLength + 16, '#');
    const std::ptrdiff_t got = decodeIncomingRunLength(block.data(), block.size(), row.data(), rowLength);
    ASSERT_EQ(got, want) << block << " / " << rowLength;
    if (got >= 0) {
      ASSERT_EQ(std::string(row.data(), rowLength), expected) << block;
    }
    ASSERT_EQ(std::string(row.data() + rowLength, 16), std::string(16, '#'))
        << "wrote past the row: " << block;
  }
}

// A copy of `bytes` in a heap block of exactly their size, so that the
// sanitizer build catches a read past the end.
std::unique_ptr<char[]> exactCopy(const std::string& bytes) {
  std::unique_ptr<char[]> copy(new char[bytes.size() + (bytes.empty() ? 1 : 0)]);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return copy;
}

constexpr std::size_t kGuard = 16;

// Encodes `text` with every capacity from 0 to the size it needs and compares
// result and bytes with the byte-by-byte form; nothing may land past the
// capacity.
// Both scans: the one this build uses and the portable one the builds
// without SSE2 use.
using OutgoingEncoder = std::ptrdiff_t (*)(char*, std::size_t, const char*, std::size_t);
using RowDecoder = std::ptrdiff_t (*)(const char*, std::size_t, char*, std::size_t);
const OutgoingEncoder outgoingEncoders[] = {encodeOutgoingRunLength, detail::encodeOutgoingRunLengthByWords};
const RowDecoder rowDecoders[] = {decodeIncomingRunLength, detail::decodeIncomingRunLengthByWords};

void expectOutgoingAsByteByByte(const std::string& text) {
  std::string expected;
  const auto needed = static_cast<std::size_t>(encodeOutgoingByteByByte(text, 3 * text.size(), expected));
  const auto source = exactCopy(text);
  for (std::size_t capacity = 0; capacity <= needed; ++capacity) {
    const std::ptrdiff_t want = encodeOutgoingByteByByte(text, capacity, expected);
    for (const OutgoingEncoder encode : outgoingEncoders) {
      std::vector<char> out(capacity + kGuard, '#');
      const std::ptrdiff_t got = encode(out.data(), capacity, source.get(), text.size());
      ASSERT_EQ(got, want) << "text '" << text << "' capacity " << capacity;
      if (got >= 0) {
        ASSERT_EQ(std::string(out.data(), static_cast<std::size_t>(got)), expected) << text;
      }
      ASSERT_EQ(std::string(out.data() + capacity, kGuard), std::string(kGuard, '#'))
          << "wrote past the capacity: '" << text << "' capacity " << capacity;
    }
  }
  std::vector<char> out(needed + kGuard, '#');
  EXPECT_EQ(encodeOutgoingRunLength(out.data(), needed, text.c_str()), static_cast<std::ptrdiff_t>(needed))
      << text;
  EXPECT_EQ(outgoingRunLengthSize(source.get(), text.size()), needed) << "counted without writing: " << text;
}

TEST(RunLength, OutgoingAtEveryCapacityMatchesTheByteByByteForm) {
  // Stops where the word-at-a-time scan changes course: first and last bytes,
  // word boundaries, the last eleven bytes, runs of the bytes that never form
  // one, runs of the escape, runs across the 36 limit.
  const std::string tricky[] = {
      "",
      "@",
      "AAAA",
      "abcdefghij@",
      "abcdefgh@ij",
      "abcdefgZZZZ",
      "abcdefghZZZZ",
      "abcdefghijkZZZZ",
      "abcdefghijklmnopqrsZZZ",
      "abcdefghijklmnopqrsZZZZ",
      "abcdefghijklmnopqrstuvw@yz",
      "abcdefghijklmnopqrstuvwxy@",
      "abcdefghijklmnopqrstu@wxyz",
      "abcdefg''''xyzuvwxyz",
      "abcdefgh((((((((((((abc",
      "0123456@89abcdefghij",
      "01234567@@@@@@@@@@@@@@@@@@@",
      "INSERT INTO T VALUES (1000000001, 'CLIENTE 00000001 RUA DAS FLORES            AHOV')",
      "abcdefgh" + std::string(36, ' ') + "x",
      "abcdefgh" + std::string(37, ' '),
      "abcdefg" + std::string(80, '0'),
      "abcdefghijk" + std::string(3, 'q'),
      "abcdefghijklmn===",
      std::string(11, 'a'),
      std::string(12, '@'),
      "a@" + std::string(9, 'b'),
  };
  for (const auto& text : tricky) expectOutgoingAsByteByByte(text);

  // Texts of 0..80 bytes of single bytes and runs of 1..40 of a few bytes:
  // escapes, blanks, letters, the bytes that never form a run, a high byte.
  // Every other text is mostly plain (letters in turn, a stop now and then),
  // as a load's texts are, so that the scans run far between stops.
  std::mt19937 gen(19);
  const char palette[] = {'@', ' ', 'A', 'B', '0', '(', '\'', '=', '>', '"', 'x', '\xE1'};
  for (int round = 0; round < 3000; ++round) {
    const std::size_t length = gen() % 81;
    const bool mostlyPlain = round % 2 == 1;
    std::string text;
    while (text.size() < length) {
      if (mostlyPlain && gen() % 12 != 0) {
        text += static_cast<char>('a' + text.size() % 26);
        continue;
      }
      const char c = palette[gen() % sizeof palette];
      text.append(gen() % 3 == 0 ? 1 + gen() % 40 : 1, c);
    }
    text.resize(length);
    expectOutgoingAsByteByByte(text);
  }
}

// Decodes `block` into rows of every length from 0 to 90 and compares with
// the byte-by-byte form: result, row and errors; nothing may land past the row.
void expectRowsAsByteByByte(const std::string& block) {
  const auto source = exactCopy(block);
  std::string expected;
  for (std::size_t rowLength = 0; rowLength <= 90; ++rowLength) {
    const std::ptrdiff_t want = decodeIncomingByteByByte(block, rowLength, expected);
    for (const RowDecoder decode : rowDecoders) {
      std::vector<char> row(rowLength + kGuard, '#');
      const std::ptrdiff_t got = decode(source.get(), block.size(), row.data(), rowLength);
      ASSERT_EQ(got, want) << "block '" << block << "' row length " << rowLength;
      if (got >= 0) {
        ASSERT_EQ(std::string(row.data(), rowLength), expected) << block;
      }
      ASSERT_EQ(std::string(row.data() + rowLength, kGuard), std::string(kGuard, '#'))
          << "wrote past the row: '" << block << "' row length " << rowLength;
    }
  }
}

TEST(RunLength, RowsOfEveryLengthDecodeAsByteByByte) {
  const std::string tricky[] = {
      "",
      "@",
      "@@",
      "abcdefg@",
      "abcdefg@0",
      "abcdefg@05",
      "abcdefgh@05 ",
      "abcdefg@@hijklmno",
      "1@0801CLIENTE @0701 RUA DAS FLORES@0C ABCDEFGHIJKLMNOPQRSTUVWXYZ",
      "@00x@00y@01z",
      "abc@2Z.",
      "abc@Z0.",
      "abcdefghijklmn@0a ",
      "abcdefghijklmn@-1 ",
      "@0Z-abcdefghijklmnopqrstuvwxyz@1A=",
      std::string(40, 'q') + "@@",
      std::string("@0A") + '\0' + "@0A@" + std::string(30, 'r'),
  };
  for (const auto& block : tricky) expectRowsAsByteByByte(block);

  // Blocks of plain stretches of 1..20 bytes, doubled escapes, runs of 0..60
  // (now and then longer than any row here), bad digits, cut anywhere.
  // Every other block is mostly plain stretches, as rows of text are.
  std::mt19937 gen(23);
  const std::string digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (int round = 0; round < 3000; ++round) {
    std::string block;
    const int pieces = static_cast<int>(gen() % 10);
    const unsigned kinds = round % 2 == 0 ? 6 : 24;
    for (int i = 0; i < pieces; ++i) {
      switch (gen() % kinds) {
        case 0:
          block += "@@";
          break;
        case 1:
        case 2: {
          const std::size_t count = gen() % 8 == 0 ? gen() % 1296 : gen() % 61;
          block += '@';
          block += digits[count / 36];
          block += digits[count % 36];
          block += gen() % 2 == 0 ? ' ' : static_cast<char>('0' + gen() % 3);
          break;
        }
        case 3:
          block += gen() % 2 == 0 ? "@a1 " : "@1.Q";
          break;
        default:
          for (std::size_t n = 1 + gen() % 20; n > 0; --n) {
            const char c = static_cast<char>('A' + gen() % 26);
            block += gen() % 16 == 0 ? '\0' : c;
          }
      }
    }
    block.resize(block.size() - std::min<std::size_t>(block.size(), gen() % 4));
    expectRowsAsByteByByte(block);
  }
}

TEST(RunLength, ServerDirectionsAreBounded) {
  char out[8];
  EXPECT_EQ(encodeIncomingRunLength("@@@@@@@@", 2, out, 3), kRunLengthNoRoom);
  EXPECT_EQ(encodeIncomingRunLength("ABCDEFGH", 8, out, 7), kRunLengthNoRoom);
  EXPECT_EQ(encodeIncomingRunLength("XXXXXXXX", 8, out, 4), 4);
  EXPECT_EQ(std::string(out, 4), "@08X");
  EXPECT_EQ(decodeOutgoingRunLength("@Z0", 3, out, 8), kRunLengthNoRoom);
  EXPECT_EQ(decodeOutgoingRunLength("A@", 2, out, 8), kRunLengthTruncated);
  EXPECT_EQ(decodeOutgoingRunLength("@3", 2, out, 8), kRunLengthTruncated);
  EXPECT_EQ(decodeOutgoingRunLength("@a ", 3, out, 8), kRunLengthBadDigit);
  EXPECT_EQ(decodeOutgoingRunLength("@3A@@", 5, out, 8), 5);
  EXPECT_EQ(std::string(out, 5), "AAAA@");
}

}  // namespace
}  // namespace lumbra
