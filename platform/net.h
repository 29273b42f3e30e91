// Sockets and session memory for the client library: the only door to the OS.
//
// One table of function pointers with the meaning of the Windows calls it
// stands for (Winsock 1.1 and movable, zero-filled global memory). Windows
// fills it with the real calls, Linux with BSD sockets and calloc; tests
// replace single entries to inject a short send, a failed receive or a failed
// allocation, and put them back with resetNetCalls().
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

struct NetCalls {
  // WSAStartup for version 1.1: 0 on success, else an error code.
  int (*startup)();
  // WSACleanup: releases one start.
  void (*cleanup)();
  // inet_addr: the address in network byte order; 0xFFFFFFFF when not accepted.
  std::uint32_t (*parseAddress)(const char* text);
  // socket(AF_INET, SOCK_STREAM, 0): a value 0..32767, or -1.
  std::int32_t (*openSocket)();
  // connect to an IPv4 address (network byte order) and port (host order): 0 or -1.
  int (*connectSocket)(std::int32_t socket, std::uint32_t address, std::uint16_t port);
  // send once, no flags: bytes sent or -1.
  int (*sendBytes)(std::int32_t socket, const char* data, int length);
  // recv once, no flags: bytes received, 0 at end of stream, or -1.
  int (*receiveBytes)(std::int32_t socket, char* data, int length);
  // closesocket.
  void (*closeSocket)(std::int32_t socket);
  // WSAGetLastError / WSASetLastError (errno on Linux).
  int (*lastError)();
  void (*setLastError)(int code);
  // GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT) then GlobalLock: a zero-filled
  // block, or nullptr.
  void* (*allocate)(std::size_t size);
  // GlobalHandle, GlobalUnlock, GlobalFree of a block from allocate; nullptr is ignored.
  void (*release)(void* block);
};

// The table in use; entries may be replaced by tests.
NetCalls& netCalls();

// Puts the platform's own calls back into the table.
void resetNetCalls();

// The table as the system provides it (net_posix.cpp or net_windows.cpp through net_os.h).
const NetCalls& systemNetCalls();

}  // namespace platform
