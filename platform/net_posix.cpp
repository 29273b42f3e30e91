// The network and memory table on Linux: BSD sockets, calloc, errno as the last error.
#include "platform/net.h"
#include "platform/net_os.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::os {
namespace {

constexpr std::int32_t kLargestSocket = 32767;

}  // namespace

int startup() { return 0; }
void cleanup() {}

std::uint32_t parseAddress(const char* text) { return inet_addr(text); }

std::int32_t openSocket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (fd > kLargestSocket) {
    ::close(fd);
    errno = EMFILE;
    return -1;
  }
  return fd;
}

int connectSocket(std::int32_t socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = address;
  int rc;
  do {
    rc = ::connect(socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  } while (rc < 0 && errno == EINTR);
  return rc < 0 ? -1 : 0;
}

int sendBytes(std::int32_t socket, const char* data, int length) {
  ssize_t n;
  do {
    n = ::send(socket, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int receiveBytes(std::int32_t socket, char* data, int length) {
  ssize_t n;
  do {
    n = ::recv(socket, data, static_cast<std::size_t>(length), 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

void closeSocket(std::int32_t socket) { ::close(socket); }
int lastError() { return errno; }
void setLastError(int code) { errno = code; }
void* allocate(std::size_t size) { return std::calloc(1, size == 0 ? 1 : size); }
void release(void* block) { std::free(block); }

}  // namespace platform::os
