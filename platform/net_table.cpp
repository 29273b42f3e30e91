// net_table.cpp -- the live table of network and memory calls, and putting the system's back.
#include "platform/net.h"

namespace lumbra::platform {

NetCalls& netCalls() {
  static NetCalls live = systemNetCalls();
  return live;
}

void resetNetCalls() { netCalls() = systemNetCalls(); }

}  // namespace lumbra::platform
