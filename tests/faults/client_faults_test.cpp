// lumbra32 under injected faults: every allocation, every send and every receive of a whole session fails in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <string>

#include "client/lumbra32.h"
#include "client/session.h"
#include "platform/net.h"

namespace {

std::string reply(const std::string& status, const std::string& text, const std::string& tag = "LBX000") {
  return tag + status + text + "LBXEOB";
}

// The platform table in memory: replies from a queue, handed out a few bytes per
// receive so that a fault can strike inside a reply; the n-th call of a kind fails.
struct ScriptedNet {
  enum class Fault { None, AllocationFails, SendShort, SendFails, ReceiveEnds, ReceiveFails };

  std::deque<std::string> replies;
  Fault fault = Fault::None;
  int failAt = 0;  // which call of the faulty kind fails (1 = the first)
  int allocations = 0, sends = 0, receives = 0;
  int blocks = 0, sockets = 0, starts = 0;
  bool broken = false;  // after a socket fault every later call of the connection fails

  static ScriptedNet* active;

  ScriptedNet() {
    active = this;
    auto& n = platform::netCalls();
    n.startup = [] {
      ++active->starts;
      return 0;
    };
    n.cleanup = [] { --active->starts; };
    n.openSocket = []() -> std::int32_t {
      ++active->sockets;
      return 7;
    };
    n.connectSocket = [](std::int32_t, std::uint32_t, std::uint16_t) { return 0; };
    n.closeSocket = [](std::int32_t) { --active->sockets; };
    n.lastError = [] { return 104; };
    n.setLastError = [](int) {};
    n.sendBytes = [](std::int32_t, const char*, int length) {
      ScriptedNet& s = *active;
      ++s.sends;
      if (s.broken) return -1;
      if (s.sends == s.failAt && (s.fault == Fault::SendShort || s.fault == Fault::SendFails)) {
        s.broken = true;
        return s.fault == Fault::SendShort ? length - 1 : -1;
      }
      return length;
    };
    n.receiveBytes = [](std::int32_t, char* data, int length) {
      ScriptedNet& s = *active;
      ++s.receives;
      if (s.broken) return -1;
      if (s.receives == s.failAt && (s.fault == Fault::ReceiveEnds || s.fault == Fault::ReceiveFails)) {
        s.broken = true;
        return s.fault == Fault::ReceiveEnds ? 0 : -1;
      }
      if (s.replies.empty()) return 0;
      std::string& front = s.replies.front();
      const int n = std::min({length, static_cast<int>(front.size()), 7});
      std::memcpy(data, front.data(), static_cast<std::size_t>(n));
      front.erase(0, static_cast<std::size_t>(n));
      if (front.empty()) s.replies.pop_front();
      return n;
    };
    n.allocate = [](std::size_t size) -> void* {
      ScriptedNet& s = *active;
      ++s.allocations;
      if (s.fault == Fault::AllocationFails && s.allocations == s.failAt) return nullptr;
      ++s.blocks;
      return std::calloc(1, size);
    };
    n.release = [](void* block) {
      if (block == nullptr) return;
      --active->blocks;
      std::free(block);
    };
  }
  ~ScriptedNet() {
    platform::resetNetCalls();
    active = nullptr;
  }
  ScriptedNet(const ScriptedNet&) = delete;
  ScriptedNet& operator=(const ScriptedNet&) = delete;

  bool idle() const { return blocks == 0 && sockets == 0 && starts == 0; }
};

ScriptedNet* ScriptedNet::active = nullptr;

const std::string kLoginText = "SESSAO ABERTA,NN=7F000001,SV=1.0.0,ML=4000";

// Every reply of the whole session below, in order.
std::deque<std::string> sessionReplies() {
  return {reply("0000", "LUMBRA-SERVER 1.0.0"),
          reply("0000", kLoginText),
          reply("0000",
                "00000003"
                "00004"
                "A CHAR(4)."
                "ABCD@04X"),   // SELECT: two rows here
          "LBX100WXYZLBXEOB",  // CONT=100: the third
          reply("0000",
                "00000000001"
                "00000000001"),       // INSERT, UPDATE and COMMIT
          reply("0000", ",ML=6000"),  // SET
          reply("0000", "SESSAO ENCERRADA")};
}

// The session every fault is injected into; stops at the first failing call.
// Returns the first failure as (status, message), or (0, "") when none failed.
std::pair<std::int32_t, std::string> runSession() {
  char message[8192];
  const std::int32_t h = LBConnect("OPERADOR", "SENHA", "", "127.0.0.1", message);
  if (h < 0) return {h, message};
  const std::function<std::int32_t()> steps[] = {
      [&] { return LBCommand(h, "SELECT A FROM T", message); },
      [&] { return LBGetNext(h, message); },
      [&] { return LBGetNext(h, message); },
      [&] { return LBGetNext(h, message); },
      [&] { return LBCommand(h, "INSERT INTO T VALUES ('AAAAAAAA')", message); },
      [&] { return LBCommand(h, "UPDATE T SET A = 'B'", message); },
      [&] { return LBCommand(h, "COMMIT", message); },
      [&] { return LBCommand(h, "SET ML=6000", message); },
  };
  for (const auto& step : steps) {
    const std::int32_t rc = step();
    if (rc < 0) {
      std::pair<std::int32_t, std::string> failure{rc, message};
      LBDisconn(h, message);
      return failure;
    }
  }
  const std::int32_t rc = LBDisconn(h, message);
  return {rc < 0 ? rc : 0, rc < 0 ? std::string(message) : std::string()};
}

// The slot the next session would get: the lowest free one.
int nextFreeSlot() {
  const int h = lumbra::reserveSlot();
  if (h >= 0) lumbra::emptySlot(h);
  return h;
}

TEST(ClientFaults, TheSessionRunsCleanWithoutFaults) {
  ScriptedNet net;
  net.replies = sessionReplies();
  EXPECT_EQ(runSession(), std::make_pair(0, std::string()));
  EXPECT_TRUE(net.replies.empty());
  EXPECT_TRUE(net.idle());
  EXPECT_EQ(nextFreeSlot(), 0);
}

TEST(ClientFaults, EveryAllocationOfConnectAndSizingFails) {
  // LBConnect: the session record, the 1901-byte buffer, then the buffer sized to
  // ",ML=4000"; SET ML=6000 sizes once more.
  int total = 0;
  {
    ScriptedNet net;
    net.replies = sessionReplies();
    runSession();
    total = net.allocations;
  }
  ASSERT_GE(total, 4);
  for (int k = 1; k <= total; ++k) {
    SCOPED_TRACE("allocation " + std::to_string(k));
    ScriptedNet net;
    net.replies = sessionReplies();
    net.fault = ScriptedNet::Fault::AllocationFails;
    net.failAt = k;
    const auto [status, text] = runSession();
    EXPECT_EQ(status, -15);
    EXPECT_EQ(text, "LBX615 - MEMORIA INSUFICIENTE");
    EXPECT_TRUE(net.idle()) << net.blocks << " blocks, " << net.sockets << " sockets, " << net.starts
                            << " starts";
    EXPECT_EQ(nextFreeSlot(), 0);
  }
}

TEST(ClientFaults, EverySendFailsOrGoesOutShort) {
  int total = 0;
  {
    ScriptedNet net;
    net.replies = sessionReplies();
    runSession();
    total = net.sends;
  }
  ASSERT_GE(total, 6);  // greeting, login, SELECT, CONT, batch and COMMIT, SET, farewell
  for (ScriptedNet::Fault fault : {ScriptedNet::Fault::SendShort, ScriptedNet::Fault::SendFails}) {
    for (int k = 1; k <= total; ++k) {
      SCOPED_TRACE("send " + std::to_string(k) +
                   (fault == ScriptedNet::Fault::SendShort ? " short" : " failed"));
      ScriptedNet net;
      net.replies = sessionReplies();
      net.fault = fault;
      net.failAt = k;
      const auto [status, text] = runSession();
      EXPECT_EQ(status, -1);
      EXPECT_EQ(text, "LBX601 - ERRO NO ENVIO DA MENSAGEM (104)");
      EXPECT_TRUE(net.idle());
      EXPECT_EQ(nextFreeSlot(), 0);
    }
  }
}

TEST(ClientFaults, EveryReceiveEndsOrFailsAtEveryPointOfEveryReply) {
  int total = 0;
  {
    ScriptedNet net;
    net.replies = sessionReplies();
    runSession();
    total = net.receives;
  }
  ASSERT_GE(total, 20);  // seven bytes at most per receive
  for (ScriptedNet::Fault fault : {ScriptedNet::Fault::ReceiveEnds, ScriptedNet::Fault::ReceiveFails}) {
    for (int k = 1; k <= total; ++k) {
      SCOPED_TRACE("receive " + std::to_string(k) +
                   (fault == ScriptedNet::Fault::ReceiveEnds ? " ends" : " fails"));
      ScriptedNet net;
      net.replies = sessionReplies();
      net.fault = fault;
      net.failAt = k;
      const auto [status, text] = runSession();
      EXPECT_EQ(status, -2);
      EXPECT_EQ(text, "LBX602 - ERRO NO RECEBIMENTO DA MENSAGEM (104)");
      EXPECT_TRUE(net.idle());
      EXPECT_EQ(nextFreeSlot(), 0);
    }
  }
}

}  // namespace
