// The network and memory table on Windows: Winsock 1.1 (wsock32) and global memory.
#include "platform/net.h"
#include "platform/net_os.h"

#include <winsock.h>
#include <windows.h>

namespace platform::os {
namespace {

constexpr std::int32_t kLargestSocket = 32767;

}  // namespace

int startup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(1, 1), &data);
}

void cleanup() { WSACleanup(); }

std::uint32_t parseAddress(const char* text) { return inet_addr(text); }

std::int32_t openSocket() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return -1;
  if (s > static_cast<SOCKET>(kLargestSocket)) {
    ::closesocket(s);
    WSASetLastError(WSAEMFILE);
    return -1;
  }
  return static_cast<std::int32_t>(s);
}

int connectSocket(std::int32_t socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = address;
  return ::connect(static_cast<SOCKET>(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0
                                                                                                        : -1;
}

int sendBytes(std::int32_t socket, const char* data, int length) {
  const int n = ::send(static_cast<SOCKET>(socket), data, length, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int receiveBytes(std::int32_t socket, char* data, int length) {
  const int n = ::recv(static_cast<SOCKET>(socket), data, length, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

void closeSocket(std::int32_t socket) { ::closesocket(static_cast<SOCKET>(socket)); }
int lastError() { return WSAGetLastError(); }
void setLastError(int code) { WSASetLastError(code); }

void* allocate(std::size_t size) {
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size == 0 ? 1 : size);
  if (handle == nullptr) return nullptr;
  void* block = GlobalLock(handle);
  if (block == nullptr) GlobalFree(handle);
  return block;
}

void release(void* block) {
  if (block == nullptr) return;
  HGLOBAL handle = GlobalHandle(block);
  if (handle == nullptr) return;
  GlobalUnlock(handle);
  GlobalFree(handle);
}

}  // namespace platform::os
