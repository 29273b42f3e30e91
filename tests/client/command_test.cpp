// Tests of LBCommand, LBGetNext and the data utilities: exact bytes on the wire against the fake server.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/lumbra32.h"
#include "client/session.h"
#include "tests/client/fake_net.h"
#include "tests/client/fake_server.h"

namespace lumbra {
namespace {

using testing::FakeServer;
using testing::readMessage;
using testing::reply;
using testing::Step;
using testing::write;

const std::string kOk = reply("0000", "");

// A connected session on a fake server that plays `steps` after the login and the farewell after them.
class Wire : public ::testing::Test {
 protected:
  void start(std::vector<Step> steps, const std::string& loginText = "BEM VINDO") {
    std::vector<Step> script = testing::connectScript(loginText);
    script.insert(script.end(), steps.begin(), steps.end());
    for (const auto& s : testing::farewellScript()) script.push_back(s);
    server_ = std::make_unique<FakeServer>(script);
    handle_ = LBConnect("t", "p", "", server_->address().c_str(), message_);
    ASSERT_GE(handle_, 0) << message_;
  }
  // The messages after greeting and login, farewell excluded.
  std::vector<std::string> traffic() {
    if (handle_ >= 0) LBDisconn(handle_, message_);
    handle_ = -1;
    auto all = server_->received();
    std::vector<std::string> out(all.begin() + 2, all.end());
    if (!out.empty() && out.back() == "FIM,LumbraLBXEOB") out.pop_back();
    return out;
  }
  void TearDown() override {
    if (handle_ >= 0) LBDisconn(handle_, message_);
  }
  Session& session() {
    Session* s = nullptr;
    checkHandle(handle_, &s);
    return *s;
  }
  std::unique_ptr<FakeServer> server_;
  int32_t handle_ = -1;
  char message_[70000];
};

TEST_F(Wire, BatchGoesOutWithCommitAsSixtySevenBytes) {
  start({readMessage(), write(reply("0000", std::string(33, 'u')))});
  EXPECT_EQ(LBCommand(handle_, "INSERT INTO T VALUES (1,'    ')", message_), 0);
  EXPECT_STREQ(message_, "");
  EXPECT_EQ(LBCommand(handle_, "DELETE FROM T WHERE K=2", message_), 0);
  EXPECT_EQ(session().batchLength, 55);
  EXPECT_EQ(LBCommand(handle_, "COMMIT", message_), 3);
  EXPECT_EQ(session().batchLength, 0);
  const auto t = traffic();
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0], "INSERT INTO T VALUES (1,'@3 ') DELETE FROM T WHERE K=2 COMMITLBXEOB");
  EXPECT_EQ(t[0].size(), 67u);
}

TEST_F(Wire, PendingBatchIsFlushedBeforeDirectCommands) {
  start({readMessage(), write(kOk), readMessage(), write(reply("0000", "00000000", "LBX000")), readMessage(),
         write(kOk), readMessage(), write(kOk), readMessage(), write(reply("0000", std::string(32, 'x')))});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(LBCommand(handle_, "INSERT INTO T VALUES (1)", message_), 0);
  EXPECT_EQ(LBCommand(handle_, "SELECT A FROM T", message_), -2);  // "00000000" has no '.'
  EXPECT_EQ(LBCommand(handle_, "UPDATE T SET A=1", message_), 0);
  EXPECT_EQ(LBCommand(handle_, "ROLLBACK", message_), 0);
  EXPECT_EQ(session().batchLength, 0);
  EXPECT_EQ(LBCommand(handle_, "COMMIT", message_), 2);  // 32 characters
  const auto t = traffic();
  const std::vector<std::string> expected = {
      "INSERT INTO T VALUES (1) INSERT INTO T VALUES (1) INSERT INTO T VALUES (1) LBXEOB",
      "SELECT A FROM TLBXEOB", "UPDATE T SET A=1 LBXEOB", "ROLLBACKLBXEOB", "COMMITLBXEOB"};
  EXPECT_EQ(t, expected);
}

TEST_F(Wire, FullBatchIsSentAndTheCommandOpensTheNextOne) {
  // bufferSize 60: the room for entries is 40 characters.
  start({readMessage(), write(kOk), readMessage(), write(reply("0000", "1"))}, ",ML=60");
  EXPECT_EQ(LBCommand(handle_, "INSERT INTO T VALUES (11)", message_), 0);  // 25 + 1
  EXPECT_EQ(LBCommand(handle_, "DELETE FROM T", message_), 0);              // 13 fits into 14
  EXPECT_EQ(LBCommand(handle_, "DELETE X", message_), 0);                   // no room: batch sent
  EXPECT_EQ(session().batchLength, 9);
  EXPECT_EQ(LBCommand(handle_, "COMMIT", message_), 0);
  const auto t = traffic();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0], "INSERT INTO T VALUES (11) DELETE FROM T LBXEOB");
  EXPECT_EQ(t[1], "DELETE X COMMITLBXEOB");
}

// Letters without a run of four, so that the outgoing form keeps them as they are.
std::string letters(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('A' + i % 26);
  return s;
}

// The room a batched command gets: the room test counts the text as given
// (bufferSize - 20 - batchLength); only where an encoded entry, a COMMIT or the
// marker would really pass the end of ioBuffer (1901 bytes at connect,
// bufferSize + 20 after sizing) does the batch go out earlier, and only an
// entry that cannot fit an empty batch is refused.
TEST(BatchRoom, TextsAreCountedAsGivenAndNothingPassesTheBuffer) {
  struct Call {
    std::string text;
    int32_t result;
  };
  struct Case {
    const char* name;
    std::string login;  // the login reply text, which may size the buffer
    std::vector<Call> calls;
    std::vector<std::string> wire;  // every message after the login, farewell excluded
  };
  const std::string commitReply = std::string(22, 'u');  // two items: COMMIT gives 2
  auto at = [](int32_t bufferSize) { return bufferSize == 1901 ? std::string("BEM VINDO") : ",ML=" + std::to_string(bufferSize); };
  std::vector<Case> cases;
  for (int32_t size : {1901, 3000}) {
    const std::size_t roomAtStart = static_cast<std::size_t>(size) - 20;  // for a text in an empty batch
    // An entry admitted by the room test with exactly its length left, '@' doubled: one message.
    const std::string first = "INSERT " + letters(roomAtStart - 9 - 7);
    cases.push_back({"the last room taken by a text with an '@'", at(size),
                     {{first, 0}, {"INSERT @", 0}, {"COMMIT", 2}},
                     {first + " INSERT @@ COMMITLBXEOB"}});
    // The longest text, with an '@': its encoded form is one byte longer than the test counted.
    const std::string longest = "INSERT @" + letters(roomAtStart - 8);
    cases.push_back({"the longest text with an '@'", at(size), {{longest, 0}, {"COMMIT", 2}},
                     {"INSERT @@" + letters(roomAtStart - 8) + " COMMITLBXEOB"}});
    // Nearly half of it '@': encoded nearly twice its length, still within ioBuffer.
    const std::size_t half = (roomAtStart - 5) / 2;
    const std::string ats = "INSERT " + std::string(half, '@');
    cases.push_back({"a text of '@' at half the room", at(size), {{ats, 0}, {"COMMIT", 2}},
                     {"INSERT " + std::string(2 * half, '@') + " COMMITLBXEOB"}});
  }
  // At 1901 bytes an entry may encode to 1893: its blank, the marker and a terminator fill the rest.
  const std::string fullest = "INSERT " + std::string(943, '@');
  const std::string fullestWire = "INSERT " + std::string(1886, '@') + " ";
  cases.push_back({"an encoded entry that fills ioBuffer, then COMMIT on its own", at(1901),
                   {{fullest, 0}, {"COMMIT", 2}},
                   {fullestWire + "LBXEOB", "COMMITLBXEOB"}});
  cases.push_back({"an entry that cannot fit an empty batch: -6, the pending batch kept", at(1901),
                   {{"DELETE A", 0}, {"INSERT " + std::string(944, '@'), -6}, {"COMMIT", 2}},
                   {"DELETE A COMMITLBXEOB"}});
  cases.push_back({"an admitted entry past the end of ioBuffer: the batch goes out first", at(1901),
                   {{"DELETE A", 0}, {"INSERT " + std::string(940, '@'), 0}, {"COMMIT", 2}},
                   {"DELETE A LBXEOB", "INSERT " + std::string(1880, '@') + " COMMITLBXEOB"}});
  cases.push_back({"a text the room test does not admit opens the next batch", ",ML=60",
                   {{"DELETE A", 0}, {"INSERT " + std::string(20, '@') + std::string(13, 'x'), 0}, {"COMMIT", 2}},
                   {"DELETE A LBXEOB", "INSERT " + std::string(40, '@') + "@Cx COMMITLBXEOB"}});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Step> script = testing::connectScript(c.login);
    for (std::size_t i = 0; i < c.wire.size(); ++i) {
      script.push_back(readMessage());
      script.push_back(write(reply("0000", commitReply)));
    }
    for (const auto& step : testing::farewellScript()) script.push_back(step);
    FakeServer server(script);
    static char message[70000];
    const int32_t handle = LBConnect("t", "p", "", server.address().c_str(), message);
    ASSERT_GE(handle, 0) << message;
    for (const Call& call : c.calls) {
      EXPECT_EQ(LBCommand(handle, call.text.c_str(), message), call.result)
          << call.text.substr(0, 20) << ": " << message;
      if (call.result == -6) {
        EXPECT_STREQ(message, "LBX606 - TAMANHO DO COMANDO EXCEDIDO");
      }
    }
    LBDisconn(handle, message);
    auto all = server.received();
    std::vector<std::string> wire(all.begin() + 2, all.end());
    if (!wire.empty() && wire.back() == "FIM,LumbraLBXEOB") wire.pop_back();
    ASSERT_EQ(wire.size(), c.wire.size());
    for (std::size_t i = 0; i < wire.size(); ++i) {
      EXPECT_EQ(wire[i], c.wire[i]) << "message " << i;
      const std::size_t capacity = c.login == ",ML=3000" ? 3020 : c.login == ",ML=60" ? 80 : 1901;
      EXPECT_LT(wire[i].size(), capacity) << "message " << i << " with its terminator fits ioBuffer";
    }
  }
}

TEST_F(Wire, RecognitionAndChecks) {
  start({readMessage(), write(kOk), readMessage(), write(kOk), readMessage(),
         write(reply("0007", "ERRO NO SERVIDOR"))});
  EXPECT_EQ(LBCommand(handle_, "INSERT INTO T VALUES (2)", message_), 0);
  EXPECT_EQ(LBCommand(handle_, "select * from t", message_), -12);
  EXPECT_STREQ(message_, "LBX612 - COMANDO INVALIDO (select )");
  EXPECT_EQ(session().batchLength, 0);  // dropped unsent
  EXPECT_EQ(LBCommand(handle_, "ABCDEFGHIJKLMNOPQRS", message_), -12);
  EXPECT_STREQ(message_, "LBX612 - COMANDO INVALIDO (ABCDEFGHIJKLMNOP)");
  EXPECT_EQ(LBCommand(handle_, std::string(1882, 'S').c_str(), message_), -6);
  EXPECT_EQ(LBCommand(handle_, "ECT passes as a tail of SELECT", message_), 0);
  EXPECT_EQ(LBCommand(handle_, "", message_), 0);
  EXPECT_EQ(LBCommand(handle_, "DELETE", message_), -7);
  EXPECT_STREQ(message_, "ERRO NO SERVIDOR");
  const auto t = traffic();
  const std::vector<std::string> expected = {"ECT passes as a tail of SELECTLBXEOB", "LBXEOB",
                                             "DELETELBXEOB"};
  EXPECT_EQ(t, expected);
}

TEST_F(Wire, LongestCommandPassesTheLengthCheck) {
  const std::string longest = "PARM " + std::string(1876, 'x');  // 1881 characters
  start({readMessage(), write(kOk)});
  EXPECT_EQ(LBCommand(handle_, longest.c_str(), message_), 0);
  EXPECT_EQ(traffic()[0], longest + "LBXEOB");
}

TEST_F(Wire, SelectRowsContinuationsAndTags) {
  const std::string first = reply("0000", "0000000500004COLS." + std::string("AB@02C") + "WXYZ");
  start({readMessage(), write(first), readMessage(),
         write(reply("", "@@@03Z1234", "LBX100").substr(0)),     // CONT=100
         readMessage(), write("LBX101LBXEOB"),                   // an empty block
         readMessage(), write(reply("0000", "000000010000A.")),  // second SELECT
         readMessage(), write(reply("0042", "FIM DO CURSOR")),   // CONT=102 refused
         readMessage(), write(reply("0000", "0000000300002.")), readMessage(),
         write(reply("0000", "ISTO NAO E BLOCO")),  // CONT=103: LBX000 with 0000
         readMessage(), write(reply("0000", "0000000300002.")), readMessage(),
         write("LBX105AALBXEOB")});  // CONT=104 answered by 105
  EXPECT_EQ(LBCommand(handle_, "SELECT A FROM T", message_), 5);
  EXPECT_STREQ(message_, "00004COLS.");
  EXPECT_EQ(LBGetNext(handle_, message_), 4);
  EXPECT_EQ(std::string(message_), "ABCC");
  EXPECT_EQ(LBGetNext(handle_, message_), 4);
  EXPECT_STREQ(message_, "WXYZ");
  EXPECT_EQ(LBGetNext(handle_, message_), 4);  // block used up: CONT=100
  EXPECT_STREQ(message_, "@ZZZ");
  EXPECT_EQ(LBGetNext(handle_, message_), 4);
  EXPECT_STREQ(message_, "1234");
  EXPECT_EQ(LBGetNext(handle_, message_), -2);  // CONT=101 gave no row
  EXPECT_EQ(LBGetNext(handle_, message_), -10);

  EXPECT_EQ(LBCommand(handle_, "SELECT B FROM T", message_), 1);
  EXPECT_EQ(LBGetNext(handle_, message_), -42);
  EXPECT_STREQ(message_, "FIM DO CURSOR");
  EXPECT_EQ(LBGetNext(handle_, message_), -10);
  EXPECT_STREQ(message_, "LBX610 - NAO HA REGISTROS SELECIONADOS PARA LEITURA");

  EXPECT_EQ(LBCommand(handle_, "SELECT C FROM T", message_), 3);
  EXPECT_EQ(LBGetNext(handle_, message_), -2);
  EXPECT_EQ(LBCommand(handle_, "SELECT C FROM T", message_), 3);
  EXPECT_EQ(LBGetNext(handle_, message_), -2);  // head of another continuation
  EXPECT_EQ(session().contCounter, 105);

  const auto t = traffic();
  const std::vector<std::string> expected = {
      "SELECT A FROM TLBXEOB", "CONT=100LBXEOB",        "CONT=101LBXEOB",
      "SELECT B FROM TLBXEOB", "CONT=102LBXEOB",        "SELECT C FROM TLBXEOB",
      "CONT=103LBXEOB",        "SELECT C FROM TLBXEOB", "CONT=104LBXEOB"};
  EXPECT_EQ(t, expected);
}

TEST_F(Wire, MalformedRowsEndTheResultSetWithoutOverrun) {
  struct Case {
    const char* name;
    std::string block;
  };
  const Case cases[] = {
      {"run past the row", "AB@05 "},
      {"digit outside the alphabet", "@0a "},
      {"marker inside a row", "ABC"},
  };
  std::vector<Step> steps;
  for (const auto& c : cases) {
    steps.push_back(readMessage());
    steps.push_back(write(reply("0000", "0000000200004." + c.block)));
  }
  start(steps);
  for (const auto& c : cases) {
    EXPECT_EQ(LBCommand(handle_, "SELECT X", message_), 2) << c.name;
    EXPECT_EQ(LBGetNext(handle_, message_), -2) << c.name;
    EXPECT_EQ(std::string(message_).substr(0, 6), "LBX602") << c.name;
    EXPECT_EQ(LBGetNext(handle_, message_), -10) << c.name;
  }
}

TEST_F(Wire, RowsOfLengthZeroAndResultSetEndedByAnyCommand) {
  start({readMessage(), write(reply("0000", "0000000300000.Z")), readMessage(),
         write(reply("0000", "0000000300001.abc"))});
  EXPECT_EQ(LBCommand(handle_, "SELECT", message_), 3);
  EXPECT_EQ(LBGetNext(handle_, message_), 0);
  EXPECT_EQ(LBGetNext(handle_, message_), 0);
  EXPECT_EQ(LBGetNext(handle_, message_), 0);
  EXPECT_EQ(LBGetNext(handle_, message_), -10);
  EXPECT_EQ(LBCommand(handle_, "SELECT", message_), 3);
  EXPECT_EQ(LBGetNext(handle_, message_), 1);
  EXPECT_EQ(LBCommand(handle_, "GETSET CLIENTID", message_), 15);  // local, still ends the set
  EXPECT_EQ(LBGetNext(handle_, message_), -10);
}

TEST_F(Wire, SetResizesTheBufferForLargeReplies) {
  const std::string big(40000, 'r');
  start({readMessage(), write(reply("0000", ",ML=50000")), readMessage(), write(reply("0000", big))});
  EXPECT_EQ(LBCommand(handle_, "SET MESSAGELENGTH=50000", message_), 0);
  EXPECT_EQ(session().bufferSize, 50000);
  EXPECT_EQ(LBCommand(handle_, "EXEC BIG", message_), 40000);
  EXPECT_EQ(std::string(message_), big);
}

TEST_F(Wire, OversizedReplyFailsTheExchange) {
  start({readMessage(), write(reply("0000", std::string(2000, 'r'))), testing::closeConnection()});
  EXPECT_EQ(LBCommand(handle_, "EXEC BIG", message_), -2);
  EXPECT_NE(std::string(message_).find("LBX602 - ERRO NO RECEBIMENTO DA MENSAGEM ("), std::string::npos);
}

TEST_F(Wire, BinaryInsertWithZeroBytesGoesOutWholeAfterTheBatch) {
  start({readMessage(), write(kOk), readMessage(), write(kOk)});
  EXPECT_EQ(LBCommand(handle_, "DELETE FROM B", message_), 0);
  char command[64] = "INSERT INTO B VALUES (1,=ignored";
  const unsigned char data[] = {0x00, 0x41, 0x00, 0xFF};
  ASSERT_EQ(LBInsertBin(handle_, command, data, sizeof data), 0);
  EXPECT_EQ(session().binaryLength, 24 + 9 + 4 + 1);
  EXPECT_EQ(LBCommand(handle_, command, message_), 0);
  EXPECT_EQ(session().binaryLength, 0);
  // Nothing prepared now: refused, nothing sent, a pending batch kept.
  EXPECT_EQ(LBCommand(handle_, "DELETE FROM C", message_), 0);
  EXPECT_EQ(LBCommand(handle_, command, message_), -14);
  EXPECT_EQ(session().batchLength, 14);
  session().batchLength = 0;
  const auto t = traffic();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0], "DELETE FROM B LBXEOB");
  const unsigned char prefix[] = {0xC9, 0xD5, 0xE2, 0xC5, 0xD9, 0xE3, 0x40};
  EXPECT_EQ(t[1].substr(0, 7), std::string(reinterpret_cast<const char*>(prefix), 7));
  EXPECT_EQ(t[1].size(), 38u + 6u);
  EXPECT_EQ(t[1].substr(33, 11), std::string("\x00\x41\x00\xFF\x7D", 5) + "LBXEOB");
}

TEST(Faults, ShortSendAndFailedReceiveKeepTheSessionOpen) {
  testing::FakeNet net;
  char message[4096];
  const int32_t h = LBConnect("a", "b", "", "127.0.0.1", message);
  ASSERT_EQ(h, 0);
  EXPECT_EQ(LBCommand(h, "INSERT INTO T VALUES (1)", message), 0);
  platform::netCalls().sendBytes = [](std::int32_t, const char*, int length) {
    platform::netCalls().setLastError(32);
    return length - 1;
  };
  EXPECT_EQ(LBCommand(h, "EXEC X", message), -1);
  EXPECT_STREQ(message, "LBX601 - ERRO NO ENVIO DA MENSAGEM (32)");
  Session* s = nullptr;
  ASSERT_EQ(checkHandle(h, &s), 0);
  EXPECT_EQ(s->batchLength, 0);
  testing::FakeNet fresh;  // sends work again; receives fail
  platform::netCalls().receiveBytes = [](std::int32_t, char*, int) { return -1; };
  EXPECT_EQ(LBCommand(h, "EXEC X", message), -2);
  s->rowsLeft = 1;
  s->morePending = 0;
  EXPECT_EQ(LBGetNext(h, message), -2);
  EXPECT_EQ(s->rowsLeft, 0);
  platform::netCalls().receiveBytes = [](std::int32_t, char* d, int) {
    std::memcpy(d, "LBX0000000LBXEOB", 16);
    return 16;
  };
  EXPECT_EQ(LBDisconn(h, message), 0);
}

TEST(Faults, FailedSizingAfterSetRefusesEveryCommand) {
  testing::FakeNet net;
  char message[4096];
  const int32_t h = LBConnect("a", "b", "", "127.0.0.1", message);
  ASSERT_EQ(h, 0);
  net.nextReply = "LBX0000000,ML=" + std::string(49, '9') + "LBXEOB";
  EXPECT_EQ(LBCommand(h, "SET X", message), -15);
  EXPECT_STREQ(message, "LBX615 - MEMORIA INSUFICIENTE");
  EXPECT_EQ(LBCommand(h, "EXEC X", message), -15);
  net.nextReply = "LBX0000000LBXEOB";
  EXPECT_EQ(LBDisconn(h, message), 0);
  EXPECT_EQ(net.blocks, 0);
}

TEST(Utilities, CrcCheckValues) {
  const struct {
    std::string data;
    int32_t length;
    int32_t crc;
  } cases[] = {
      {"123456789", 9, 0x31C3}, {std::string(1, '\0'), 1, 0},   {"A", 1, 0x58E5}, {"123456789", 0, 0},
      {"123456789", -1, 0},     {"123456789", 0x10009, 0x31C3},  // low 16 bits count
  };
  for (const auto& c : cases) EXPECT_EQ(LBCRC(c.length, c.data.data()), c.crc) << c.data << " " << c.length;
  EXPECT_EQ(LBCRC(5, nullptr), 0);
}

// The definition bit by bit (poly 0x1021, init 0, no reflection), against
// which every byte value, at every position of a long buffer, is checked.
TEST(Utilities, CrcMatchesTheBitwiseDefinition) {
  std::string data;
  for (int i = 0; i < 32767; ++i) data.push_back(static_cast<char>((i * 7919 + i / 256) & 0xFF));
  for (const int32_t length : {1, 2, 255, 256, 4099, 32767}) {
    uint16_t crc = 0;
    for (int32_t i = 0; i < length; ++i) {
      crc = static_cast<uint16_t>(crc ^ (static_cast<unsigned char>(data[i]) << 8));
      for (int bit = 0; bit < 8; ++bit)
        crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    EXPECT_EQ(LBCRC(length, data.data()), crc) << length;
  }
}

TEST(Utilities, AsciiToEbcdicInPlace) {
  char text[] = "a[b]";
  EXPECT_EQ(LBAsciiToEbcdic(text), 0);
  EXPECT_EQ(std::string(text), "\x81\x40\x82\x40");
  char empty[] = "";
  EXPECT_EQ(LBAsciiToEbcdic(empty), 0);
  char high[] =
      "\xE7"
      "A";
  LBAsciiToEbcdic(high);
  EXPECT_EQ(std::string(high), "\x40\xC1");
}

TEST(Utilities, InsertBinPreparesTheBuffer) {
  testing::FakeNet net;
  char message[256];
  const int32_t h = LBConnect("a", "b", "", "127.0.0.1", message);
  ASSERT_EQ(h, 0);
  const std::string prefix037 = "\xC1\xC2\xC3\xC4\xC5\xC6\xC7";  // ABCDEFG
  struct Case {
    std::string text;
    std::string data;
    int32_t length;
    int32_t result;
    std::string expected;
  };
  const Case cases[] = {
      {"ABCDEFG=", "xyz", 3, 0,
       prefix037 + "\x4D\xF0\xF0\xF0\xF0\xF3\x5D\x7E\x7D"
                   "xyz\x7D"},
      {"ABCDEFG=XYZ", "xyz", 3, 0,
       prefix037 + "\x4D\xF0\xF0\xF0\xF0\xF3\x5D\x7E\x7D"
                   "xyz\x7D"},
      {"ABCDEFG=", "", 0, 0, prefix037 + "\x4D\xF0\xF0\xF0\xF0\xF0\x5D\x7E\x7D\x7D"},
      {"A=CDEFG=", "", 0, 0, "\xC1\x7E\xC3\xC4\xC5\xC6\xC7\x4D\xF0\xF0\xF0\xF0\xF0\x5D\x7E\x7D\x7D"},
      {"ABCDEF=", "xyz", 3, -1, ""},
      {"ABCDEFGH", "xyz", 3, -1, ""},
      {"ABCDEFG=", "xyz", -3, -14, ""},
      {"ABC=", std::string(1900, 'd'), 1900, -6, ""},     // size before prefix
      {"ABCDEFG=", std::string(1862, 'd'), 1862, 0, ""},  // p + length = 1869
      {"ABCDEFG=", std::string(1863, 'd'), 1863, -6, ""},
  };
  for (const auto& c : cases) {
    std::vector<char> buffer(c.text.size() + c.data.size() + 16, '#');
    std::memcpy(buffer.data(), c.text.c_str(), c.text.size() + 1);
    Session* s = nullptr;
    ASSERT_EQ(checkHandle(h, &s), 0);
    s->binaryLength = 0;
    EXPECT_EQ(LBInsertBin(h, buffer.data(), c.data.data(), c.length), c.result) << c.text;
    if (c.result != 0) {
      EXPECT_EQ(std::string(buffer.data()), c.text);
      EXPECT_EQ(s->binaryLength, 0);
    } else if (!c.expected.empty()) {
      EXPECT_EQ(std::string(buffer.data(), c.expected.size()), c.expected) << c.text;
      EXPECT_EQ(buffer[c.expected.size()], '\0');
      EXPECT_EQ(s->binaryLength, static_cast<int32_t>(c.expected.size()));
    }
  }
  EXPECT_EQ(LBDisconn(h, message), 0);
}

}  // namespace
}  // namespace lumbra
