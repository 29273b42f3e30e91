// In-memory platform calls for the client tests.
#include "tests/client/fake_net.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace lumbra::testing {
namespace {

FakeNet* active = nullptr;
int nextSocket = 10;

}  // namespace

FakeNet& FakeNet::current() { return *active; }

FakeNet::FakeNet() {
  active = this;
  auto& n = platform::netCalls();
  n.startup = [] {
    ++active->starts;
    return 0;
  };
  n.cleanup = [] { ++active->cleanups; };
  n.openSocket = []() -> std::int32_t {
    ++active->openSockets;
    return nextSocket++;
  };
  n.connectSocket = [](std::int32_t, std::uint32_t address, std::uint16_t port) {
    ++active->connectCalls;
    active->lastAddress = address;
    active->lastPort = port;
    return 0;
  };
  n.sendBytes = [](std::int32_t, const char* data, int length) {
    active->sent.emplace_back(data, static_cast<std::size_t>(length));
    return length;
  };
  n.receiveBytes = [](std::int32_t, char* data, int length) {
    const std::string& r = active->nextReply;
    const int n = static_cast<int>(r.size()) < length ? static_cast<int>(r.size()) : length;
    std::memcpy(data, r.data(), static_cast<std::size_t>(n));
    return n;
  };
  n.closeSocket = [](std::int32_t) { --active->openSockets; };
  auto& m = platform::memoryCalls();
  m.allocateSession = [](std::size_t size) -> void* {
    ++active->allocations;
    if (active->failAllocationNumber != 0 && active->allocations == active->failAllocationNumber)
      return nullptr;
    ++active->blocks;
    return std::calloc(1, size);
  };
  m.releaseSession = [](void* block) {
    if (block == nullptr) return;
    --active->blocks;
    std::free(block);
  };
}

FakeNet::~FakeNet() {
  platform::resetNetCalls();
  platform::resetMemoryCalls();
  active = nullptr;
}

}  // namespace lumbra::testing
