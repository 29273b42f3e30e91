// Tests of sessions: arguments, greeting and login on the wire, server information, sizing, the table, framing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/connect.h"
#include "protocol/credentials.h"
#include "client/lumbra32.h"
#include "client/session.h"
#include "client/transport.h"
#include "tests/client/fake_net.h"
#include "tests/client/fake_server.h"

namespace lumbra {
namespace {

using testing::FakeNet;
using testing::FakeServer;

std::vector<testing::Step> operator+(std::vector<testing::Step> a, const std::vector<testing::Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Connect, GreetingLoginServerInfoAndFarewellOnTheWire) {
  const std::string loginText =
      "BEM VINDO,NN=C0a80101,SV=2.4.1,BD=7.4.2,OS=MVSE,SK=ILK1.2.3,MR=CICS4.1.0,ML=32000";
  FakeServer server(testing::connectScript(loginText) + testing::farewellScript());
  char message[2048];
  const int32_t handle = LBConnect("Operador", "senha", "", server.address().c_str(), message);
  ASSERT_EQ(handle, 0) << message;
  EXPECT_STREQ(message, loginText.c_str());

  Session* s = nullptr;
  ASSERT_EQ(checkHandle(handle, &s), 0);
  EXPECT_EQ(s->bufferSize, 32000);
  EXPECT_EQ(s->ioCapacity, 32020);
  EXPECT_EQ(LBCommand(handle, "GETSET CLIENTID", message), 15);
  EXPECT_STREQ(message, "192.168.001.001");
  const int32_t infoLength = LBCommand(handle, "GETSET SERVERINFO", message);
  const std::string info =
      "Vers\xE3o 2.4.1, Sistema Operacional MVS-ESA, Monitor de Teleprocessamento  CICS 4.1.0, Adabas 7.4.2, "
      "Comunica\xE7\xE3o TCP/IP INTERLINK  1.2.3";
  EXPECT_EQ(message, info);
  EXPECT_EQ(infoLength, static_cast<int32_t>(info.size()));

  EXPECT_EQ(LBDisconn(handle, message), 0);
  EXPECT_STREQ(message, "ATE LOGO");
  EXPECT_EQ(LBDisconn(handle, message), -13);
  EXPECT_STREQ(message, "LBX613 - CONEXAO NAO INICIALIZADA");

  const auto& got = server.received();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], "LUMTLBXEOB");
  ASSERT_EQ(got[1].size(), 118u);
  EXPECT_EQ(got[1].substr(0, 4), "ID \"");
  EXPECT_EQ(got[1].substr(114), "2.4\"");
  char area[60];
  ASSERT_TRUE(unscrambleCredentials(got[1].data() + 4, 110, area));
  EXPECT_EQ(std::string(area, 60), "Operador   SENHA" + std::string(44, ' '));
  EXPECT_EQ(got[2], "FIM,LumbraLBXEOB");
}

TEST(Connect, RefusedLoginReturnsServerStatusAndFreesTheSlot) {
  FakeServer server({testing::readMessage(), testing::write(testing::reply("0000", "")),
                     testing::readBytes(118), testing::write(testing::reply("0153", "SENHA INVALIDA")),
                     testing::readMessage(), testing::write(testing::reply("0000", "FIM"))});
  char message[2048];
  EXPECT_EQ(LBConnect("u", "errada", "", server.address().c_str(), message), -153);
  EXPECT_STREQ(message, "SENHA INVALIDA");
  EXPECT_EQ(server.received().back(), "FIM,LumbraLBXEOB");
  Session* s = nullptr;
  EXPECT_EQ(checkHandle(0, &s), LB_NOT_CONNECTED);
}

TEST(Connect, ArgumentRulesRefuseBeforeAnyNetworkActivity) {
  FakeNet net;
  const std::string longAddress = "127.0.0.1:" + std::string(90, '1');
  struct Case {
    const char* id;
    std::string first, second, address;
  };
  const Case cases[] = {
      {"ABCDEFGHIJKL", "p", "", "127.0.0.1"},  // identification of 12
      {" A", "p", "", "127.0.0.1"},            // leading blank
      {"A", std::string(25, 'x'), "", "127.0.0.1"},
      {"A", " p", "", "127.0.0.1"},
      {"A", "p", std::string(26, 'x'), "127.0.0.1"},
      {"A", "p", " x", "127.0.0.1"},
      {"A", "p", "", longAddress},
      {nullptr, "p", "", "127.0.0.1"},
  };
  char message[256];
  for (const auto& c : cases) {
    EXPECT_EQ(LBConnect(c.id, c.first.c_str(), c.second.c_str(), c.address.c_str(), message), -14)
        << c.address;
    EXPECT_STREQ(message, "LBX614 - PARAMETROS INVALIDOS");
  }
  EXPECT_EQ(net.starts, 0);
  // Fields filled exactly, an empty identification, an address of 99 characters.
  const std::string address99 = "127.0.0.1:" + std::string(89, '0');
  EXPECT_EQ(
      LBConnect("", std::string(24, 'x').c_str(), std::string(25, 'y').c_str(), address99.c_str(), message),
      0);
  EXPECT_EQ(LBDisconn(0, message), 0);
  EXPECT_EQ(net.starts, net.cleanups);
}

TEST(Connect, AddressAndPortParsing) {
  struct Case {
    const char* address;
    int32_t result;
    std::uint16_t port;
  };
  const Case cases[] = {
      {"127.0.0.1", 0, 3001},
      {"127.0.0.1:3005", 0, 3005},
      {"127.0.0.1:70000", 0, 4464},
      {"127.0.0.1::3005", 0, 3005},
      {"127.0.0.1:x", 0, 0},
      {"127.0.0.1: 12", 0, 12},
      {"localhost", -4, 0},
      {"", -4, 0},
      {":3005", -4, 0},
      {"255.255.255.255", -4, 0},
  };
  char message[256];
  for (const auto& c : cases) {
    FakeNet net;
    const int32_t r = LBConnect("a", "b", "", c.address, message);
    EXPECT_EQ(r, c.result) << c.address;
    if (r == 0) {
      EXPECT_EQ(net.lastPort, c.port) << c.address;
      EXPECT_EQ(LBDisconn(r, message), 0);
    } else {
      EXPECT_STREQ(message, "SS0604 - IDENTIFICACAO DO SERVIDOR INVALIDA");
      EXPECT_EQ(net.openSockets, 0);
    }
    EXPECT_EQ(net.starts, net.cleanups) << c.address;
    EXPECT_EQ(net.blocks, 0);
  }
}

TEST(Connect, FailuresReleaseWhatWasTaken) {
  char message[256];
  {
    FakeNet net;
    platform::netCalls().startup = [] { return 10091; };
    EXPECT_EQ(LBConnect("a", "b", "", "127.0.0.1", message), -3);
    EXPECT_STREQ(message, "LBX603 - ESTACAO SEM CONECTIVIDADE (10091)");
    EXPECT_EQ(net.cleanups, 0);
  }
  {
    FakeNet net;
    platform::netCalls().connectSocket = [](std::int32_t, std::uint32_t, std::uint16_t) {
      platform::netCalls().setLastError(111);
      return -1;
    };
    EXPECT_EQ(LBConnect("a", "b", "", "127.0.0.1", message), -7);
    EXPECT_STREQ(message, "LBX607 - FALHA NA CONEXAO (111)");
    EXPECT_EQ(net.openSockets, 0);
    EXPECT_EQ(net.starts, net.cleanups);
  }
  for (int failing = 1; failing <= 2; ++failing) {  // the Session, then its ioBuffer
    FakeNet net;
    net.failAllocationNumber = failing;
    EXPECT_EQ(LBConnect("a", "b", "", "127.0.0.1", message), -15);
    EXPECT_STREQ(message, "LBX615 - MEMORIA INSUFICIENTE");
    EXPECT_EQ(net.blocks, 0);
    EXPECT_EQ(net.openSockets, 0);
    EXPECT_EQ(net.starts, net.cleanups);
    Session* s = nullptr;
    EXPECT_EQ(checkHandle(0, &s), LB_NOT_CONNECTED);
  }
  {
    FakeNet net;  // the greeting reply never comes
    platform::netCalls().receiveBytes = [](std::int32_t, char*, int) {
      platform::netCalls().setLastError(104);
      return 0;
    };
    EXPECT_EQ(LBConnect("a", "b", "", "127.0.0.1", message), -2);
    EXPECT_STREQ(message, "LBX602 - ERRO NO RECEBIMENTO DA MENSAGEM (104)");
    EXPECT_EQ(net.blocks, 0);
    EXPECT_EQ(net.starts, net.cleanups);
  }
}

TEST(SessionTable, FiveHundredSessionsThenRefusalAndLowestFreeSlot) {
  FakeNet net;
  char message[256];
  for (int i = 0; i < 500; ++i) ASSERT_EQ(LBConnect("a", "b", "", "127.0.0.1", message), i);
  EXPECT_EQ(LBConnect("a", "b", "", "127.0.0.1", message), -5);
  EXPECT_STREQ(message, "LBX605 - EXCESSO DE CONEXOES TCP/IP (500)");
  EXPECT_EQ(net.openSockets, 500);  // the 501st socket was closed

  EXPECT_EQ(LBDisconn(2, message), 0);
  EXPECT_EQ(LBDisconn(3 + 0x10000, message), 0);  // upper bits ignored: slot 3
  EXPECT_EQ(LBConnect("a", "b", "", "127.0.0.1", message), 2);
  EXPECT_EQ(LBConnect("a", "b", "", "127.0.0.1", message), 3);

  const int32_t badHandles[] = {500, -1, 0xFFFF, 32767};
  for (int32_t h : badHandles) {
    EXPECT_EQ(LBDisconn(h, message), -14) << h;
    EXPECT_STREQ(message, "LBX614 - PARAMETROS INVALIDOS");
    EXPECT_EQ(LBGetNext(h, message), -14);
    EXPECT_EQ(LBCommand(h, "SELECT", message), -14);
    EXPECT_EQ(LBInsertBin(h, message, "", 0), -14);
  }
  for (int i = 0; i < 500; ++i) ASSERT_EQ(LBDisconn(i, message), 0);
  EXPECT_EQ(net.openSockets, 0);
  EXPECT_EQ(net.blocks, 0);
  EXPECT_EQ(net.starts, net.cleanups);
  EXPECT_EQ(LBGetNext(7, message), -13);
  EXPECT_EQ(LBInsertBin(7, message, "", 0), -13);
}

TEST(ServerInfo, KeywordsDefaultsAndOddValues) {
  struct Case {
    const char* text;
    const char* info;
    const char* clientId;
  };
  const std::string noneInfo =
      "Vers\xE3o 0.0.0, Sistema Operacional     , Monitor de Teleprocessamento       0.0.0, Adabas 0.0.0, "
      "Comunica\xE7\xE3o   0.0.0";
  const Case cases[] = {
      {"NADA", noneInfo.c_str(), ""},
      {"NN=C0A80101", noneInfo.c_str(), ""},  // a keyword at the very start is not found
      {"x,NN=c0a80101", nullptr, "192.168.001.001"},
      {"x,NN=C0A801", nullptr, ""},    // short value: clientId untouched
      {"x,NN=C0A8010G", nullptr, ""},  // not hexadecimal
      {"x,OS=MVS/ESA", "Sistema Operacional MVS-XA,", nullptr},
      {"x,OS=VSE/ESA", "Sistema Operacional VSE/,", nullptr},
      {"x,OS=AB", "Sistema Operacional AB,", nullptr},
      {"x,SK=TCP2.1.0", "Comunica\xE7\xE3o TCP/IP IBM  2.1.0", nullptr},
      {"x,SK=SNA", "Comunica\xE7\xE3o SNA 0.0.0", nullptr},
      {"x,SK=IL", "Comunica\xE7\xE3o TCP/IP IBM  ", nullptr},
      {"x,SV=2.4,BD=7.1.1", "Vers\xE3o 2.4,B,", nullptr},
      {"x,MR=IMS", "Teleprocessamento   IMS      ,", nullptr},
  };
  for (const auto& c : cases) {
    Session s{};
    parseServerInfo(s, c.text);
    EXPECT_LE(std::strlen(s.serverInfo), 134u);
    if (c.info != nullptr) {
      EXPECT_NE(std::string(s.serverInfo).find(c.info), std::string::npos)
          << c.text << " -> " << s.serverInfo;
    }
    if (c.clientId != nullptr) {
      EXPECT_EQ(std::string(s.clientId, strnlen(s.clientId, 15)), c.clientId) << c.text;
    }
  }
}

TEST(SizeBuffer, AnnouncedLengths) {
  FakeNet net;
  struct Case {
    const char* text;
    int32_t result;
    int32_t size;
  };
  const Case cases[] = {
      {"x,ML=32000,y", 0, 32000}, {"x,ML=32000)", 0, 32000}, {"x,ML=32000", 0, 32000}, {"x,ML=9X,y", 0, 9},
      {"x,ML= 500;", 0, 500},     {"nothing", 0, 1901},      {"x,ML=0", 0, 0},
  };
  for (const auto& c : cases) {
    Session s{};
    s.bufferSize = 1901;
    s.bufferReady = 1;
    s.ioBuffer = static_cast<char*>(platform::netCalls().allocate(1901));
    EXPECT_EQ(sizeBuffer(s, c.text), c.result) << c.text;
    EXPECT_EQ(s.bufferSize, c.size) << c.text;
    EXPECT_EQ(s.bufferReady, 1);
    platform::netCalls().release(s.ioBuffer);
  }
  const std::string tooLong = "x,ML=" + std::string(49, '1');
  const std::string tooBig = "x,ML=99999999999";
  for (const std::string& text : {tooLong, tooBig}) {
    Session s{};
    s.bufferSize = 1901;
    s.bufferReady = 1;
    EXPECT_EQ(sizeBuffer(s, text.c_str()), LB_OUT_OF_MEMORY) << text;
    EXPECT_EQ(s.bufferReady, 0);
    EXPECT_EQ(s.bufferSize, 1901);
  }
  EXPECT_EQ(net.blocks, 0);
}

TEST(Connect, TinyAnnouncedLengthKeepsTheSessionSound) {
  FakeNet net;
  net.nextReply = "LBX0000000,ML=16LBXEOB";
  char message[256];
  const int32_t h = LBConnect("a", "b", "", "127.0.0.1", message);
  ASSERT_EQ(h, 0);
  EXPECT_EQ(LBCommand(h, "", message), -6);
  EXPECT_EQ(LBGetNext(h, message), -10);
  EXPECT_EQ(LBDisconn(h, message), -2);  // no reply fits 16 bytes
  EXPECT_EQ(net.blocks, 0);
}

TEST(Framing, RepliesInPiecesWrongHeadsAndMissingMarkers) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    int32_t result;
  };
  const Case cases[] = {
      {"three pieces, marker in the last", {"LBX0", "000000BEM", " VINDOLBXEOB"}, 0},
      {"wrong head", {"LBX9990000LBXEOB"}, -8},
      {"wrong head seen at six bytes", {"LBY0", "000000LBXEOB"}, -8},
      {"closed before the marker", {"LBX0000000BEM"}, -2},
      {"marker followed by a byte", {"LBX0000000LBXEOBX"}, -2},
      {"fills the buffer without marker", {"LBX0000" + std::string(1893, 'x')}, -8},
  };
  for (const auto& c : cases) {
    std::vector<testing::Step> script = {testing::readMessage()};
    for (const auto& p : c.pieces) script.push_back(testing::write(p));
    if (c.result == 0)
      script = script + std::vector<testing::Step>{testing::readBytes(118),
                                                   testing::write(testing::reply("0000", "OK"))};
    script.push_back(testing::closeConnection());
    FakeServer server(script);
    char message[2048];
    const int32_t r = LBConnect("a", "b", "", server.address().c_str(), message);
    EXPECT_EQ(r, c.result) << c.name;
    if (r >= 0) LBDisconn(r, message);
    server.received();
    Session* s = nullptr;
    EXPECT_EQ(checkHandle(0, &s), LB_NOT_CONNECTED) << c.name;
  }
}

TEST(Framing, StatusFieldMustBeFourDigits) {
  const struct {
    const char* reply;
    int32_t status;
  } cases[] = {
      {"LBX0000000LBXEOB", 0},  {"LBX0000153TEXTLBXEOB", 153}, {"LBX00000X0LBXEOB", -1},
      {"LBX000-123LBXEOB", -1}, {"LBX100LBXEOB", -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(replyStatus(c.reply, static_cast<int32_t>(std::strlen(c.reply))), c.status) << c.reply;
}

TEST(Disconnect, ServerGoneGivesReceiveFailureAndFreesTheSlot) {
  FakeServer server(testing::connectScript() + std::vector<testing::Step>{testing::closeConnection()});
  char message[2048];
  const int32_t h = LBConnect("a", "b", "", server.address().c_str(), message);
  ASSERT_EQ(h, 0);
  server.received();
  const int32_t r = LBDisconn(h, message);
  EXPECT_TRUE(r == -1 || r == -2) << r;
  Session* s = nullptr;
  EXPECT_EQ(checkHandle(h, &s), LB_NOT_CONNECTED);
}

}  // namespace
}  // namespace lumbra
