// Tests of the login message and the server information: each writer read back by its reader.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/login.h"
#include "protocol/wire.h"

namespace lumbra {
namespace {

std::string loginOf(const char* identification, const char* first, const char* second) {
  char message[kLoginLength + 1];
  std::memset(message, 'x', sizeof message);
  writeLoginMessage(identification, first, second, message);
  EXPECT_EQ(message[kLoginLength], '\0');
  return std::string(message, kLoginLength);
}

TEST(LoginMessage, RoundTrip) {
  struct Case {
    const char *identification, *first, *second;
    const char *readIdentification, *readFirst, *readSecond;
  } cases[] = {
      {"Ana", "secret", "", "Ana", "SECRET", ""},
      {"", "", "", "", "", ""},
      {"ABCDEFGHIJK", "ABCDEFGHIJKLMNOPQRSTUVWX", "ABCDEFGHIJKLMNOPQRSTUVWXY", "ABCDEFGHIJK",
       "ABCDEFGHIJKLMNOPQRSTUVWX", "ABCDEFGHIJKLMNOPQRSTUVWXY"},
      {"user 1", "pass word", "new.pass!", "user 1", "PASS WORD", "NEW.PASS!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.identification);
    const std::string message = loginOf(c.identification, c.first, c.second);
    EXPECT_EQ(message.substr(0, kLoginHeadLength), kLoginHead);
    EXPECT_EQ(message.substr(kLoginLength - 4), "2.4\"");
    EXPECT_TRUE(startsLogin(message.data(), message.size()));
    const std::optional<LoginMessage> read = readLoginMessage(message);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->identification, c.readIdentification);
    EXPECT_EQ(read->firstCredential, c.readFirst);
    EXPECT_EQ(read->secondCredential, c.readSecond);
    EXPECT_EQ(read->clientVersion, kClientVersion);
  }
}

TEST(LoginMessage, ReaderRefusesMalformedMessages) {
  const std::string good = loginOf("Ana", "secret", "");
  std::string noQuote = good;
  noQuote.back() = ' ';
  std::string badHead = good;
  badHead[0] = 'I';
  badHead[1] = 'X';
  std::string badBlock = good;
  badBlock[kLoginHeadLength] = '1';  // the block begins with the digit zero
  struct Case {
    const char* name;
    std::string message;
  } cases[] = {
      {"one byte short", good.substr(0, kLoginLength - 1)},
      {"one byte more", good + '"'},
      {"no closing quote", noQuote},
      {"another head", badHead},
      {"damaged block", badBlock},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(readLoginMessage(c.message).has_value());
  }
}

TEST(ServerInformation, RoundTrip) {
  ServerInformation info;
  info.clientAddress = 0xC0A80101;
  info.serverVersion = "1.0.0";
  info.databaseVersion = " 15.4";
  info.operatingSystem = "UNIX";
  info.communication = "TCP";
  info.communicationVersion = "1.0.0";
  info.monitor = "LMBR";
  info.monitorVersion = "2.1";
  info.messageLength = 32000;
  const std::string text = formatServerInformation(info);
  EXPECT_EQ(text, ",NN=C0A80101,SV=1.0.0,BD= 15.4,OS=UNIX,SK=TCP1.0.0,MR=LMBR2.1  ,ML=32000");

  const ServerInformationValues values = readServerInformation(text);
  ASSERT_TRUE(values.clientAddress.has_value());
  EXPECT_EQ(readClientAddress(*values.clientAddress), info.clientAddress);
  EXPECT_EQ(values.serverVersion, "1.0.0");
  EXPECT_EQ(values.databaseVersion, " 15.4");
  EXPECT_EQ(values.operatingSystem, "UNIX");
  EXPECT_EQ(values.communication, "TCP");
  EXPECT_EQ(values.communicationVersion, "1.0.0");
  EXPECT_EQ(values.monitor, "LMBR");
  EXPECT_EQ(values.monitorVersion, "2.1  ");
  EXPECT_EQ(messageLengthSpan(text), "32000");
}

TEST(ServerInformation, WriterKeepsEachWidth) {
  ServerInformation info;
  info.serverVersion = "10.20.30";  // cut
  info.operatingSystem = "Linux";   // cut
  info.communication = "";          // padded
  const std::string text = formatServerInformation(info);
  const ServerInformationValues values = readServerInformation(text);
  EXPECT_EQ(values.clientAddress, "00000000");
  EXPECT_EQ(values.serverVersion, "10.20");
  EXPECT_EQ(values.databaseVersion, "     ");
  EXPECT_EQ(values.operatingSystem, "Linu");
  EXPECT_EQ(values.communication, "   ");
  EXPECT_EQ(values.communicationVersion, "     ");
}

TEST(ServerInformation, ReaderTakesValuesByWidth) {
  const ServerInformationValues none = readServerInformation("SV=1.0.0 BD=7.1.1");
  EXPECT_FALSE(none.serverVersion || none.databaseVersion || none.clientAddress || none.operatingSystem ||
               none.communication || none.communicationVersion || none.monitor || none.monitorVersion);

  // Not delimited: a short value runs into the next keyword; the text's end cuts it.
  const ServerInformationValues values = readServerInformation("x,SV=2.4,BD=7.1.1,SK=SNA,MR=CI");
  EXPECT_EQ(values.serverVersion, "2.4,B");
  EXPECT_EQ(values.databaseVersion, "7.1.1");
  EXPECT_EQ(values.communication, "SNA");
  EXPECT_EQ(values.communicationVersion, ",MR=C");
  EXPECT_EQ(values.monitor, "CI");
  EXPECT_EQ(values.monitorVersion, "");

  struct Case {
    const char* value;
    std::optional<std::uint32_t> address;
  } addresses[] = {
      {"C0A80101", 0xC0A80101},  {"c0a80101", 0xC0A80101},   {"00000000", 0u},
      {"C0A8010", std::nullopt}, {"C0A8010G", std::nullopt}, {"C0A80101F", std::nullopt},
  };
  for (const Case& c : addresses) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(readClientAddress(c.value), c.address);
  }
}

}  // namespace
}  // namespace lumbra
