// The seven client calls the shell makes, behind an interface so that the
// shell's logic runs against a scripted stand-in in the tests.
#pragma once

#include <cstdint>

namespace lumbra::shell {

class ClientApi {
 public:
  virtual ~ClientApi() = default;
  virtual int32_t connect(const char* identification, const char* firstCredential,
                          const char* secondCredential, const char* serverAddress, char* message) = 0;
  virtual int32_t disconnect(int32_t handle, char* message) = 0;
  virtual int32_t command(int32_t handle, const char* command, char* message) = 0;
  virtual int32_t getNext(int32_t handle, char* message) = 0;
  virtual int32_t crc(int32_t length, const void* data) = 0;
  virtual int32_t asciiToEbcdic(char* text) = 0;
  virtual int32_t insertBin(int32_t handle, char* command, const void* data, int32_t length) = 0;
};

// The real library; defined in lumbra32_api.cpp, which links liblumbra32.
ClientApi& lumbra32Api();

}  // namespace lumbra::shell
