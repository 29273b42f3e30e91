// net_os.h -- the network and memory calls each system's file provides
// (net_posix.cpp, net_windows.cpp); net_table.cpp puts them in the table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::os {

int startup();
void cleanup();
std::uint32_t parseAddress(const char* text);
std::int32_t openSocket();
int connectSocket(std::int32_t socket, std::uint32_t address, std::uint16_t port);
int sendBytes(std::int32_t socket, const char* data, int length);
int receiveBytes(std::int32_t socket, char* data, int length);
void closeSocket(std::int32_t socket);
int lastError();
void setLastError(int code);
void* allocate(std::size_t size);
void release(void* block);

}  // namespace platform::os
