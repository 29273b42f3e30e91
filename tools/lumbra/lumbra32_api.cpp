// ClientApi over the real client library.
#include "tools/lumbra/client_api.h"

#include "client/lumbra32.h"

namespace lumbra::shell {

namespace {

class Lumbra32Api final : public ClientApi {
 public:
  int32_t connect(const char* identification, const char* firstCredential, const char* secondCredential,
                  const char* serverAddress, char* message) override {
    return LBConnect(identification, firstCredential, secondCredential, serverAddress, message);
  }
  int32_t disconnect(int32_t handle, char* message) override { return LBDisconn(handle, message); }
  int32_t command(int32_t handle, const char* command, char* message) override {
    return LBCommand(handle, command, message);
  }
  int32_t getNext(int32_t handle, char* message) override { return LBGetNext(handle, message); }
  int32_t crc(int32_t length, const void* data) override { return LBCRC(length, data); }
  int32_t asciiToEbcdic(char* text) override { return LBAsciiToEbcdic(text); }
  int32_t insertBin(int32_t handle, char* command, const void* data, int32_t length) override {
    return LBInsertBin(handle, command, data, length);
  }
};

}  // namespace

ClientApi& lumbra32Api() {
  static Lumbra32Api api;
  return api;
}

}  // namespace lumbra::shell
