// net_table.cpp -- the table of network and memory calls: the system's own, the live one, putting the system's back.
#include "platform/net.h"
#include "platform/net_os.h"

namespace platform {

const NetCalls& systemNetCalls() {
  static constexpr NetCalls kCalls = {os::startup,       os::cleanup,      os::parseAddress, os::openSocket,
                                      os::connectSocket, os::sendBytes,    os::receiveBytes, os::closeSocket,
                                      os::lastError,     os::setLastError, os::allocate,     os::release};
  return kCalls;
}

NetCalls& netCalls() {
  static NetCalls live = systemNetCalls();
  return live;
}

void resetNetCalls() { netCalls() = systemNetCalls(); }

}  // namespace platform
