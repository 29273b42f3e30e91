// Replacement platform calls for the client tests: canned replies, counted resources, injected faults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "platform/net.h"

namespace lumbra::testing {

// While alive, the platform tables answer every exchange in memory: each
// receive hands out `nextReply` (the greeting and login are answered with
// status 0000), sockets are numbered, and starts, releases, open sockets and
// blocks are counted. Individual entries can be overridden afterwards.
class FakeNet {
 public:
  FakeNet();
  ~FakeNet();

  static FakeNet& current();

  std::string nextReply = "LBX0000000LBXEOB";
  int starts = 0, cleanups = 0, openSockets = 0, blocks = 0;
  int connectCalls = 0;
  std::uint16_t lastPort = 0;
  std::uint32_t lastAddress = 0;
  int failAllocationNumber = 0;  // the n-th allocation from now fails (0: none)
  int allocations = 0;
  std::vector<std::string> sent;
};

}  // namespace lumbra::testing
