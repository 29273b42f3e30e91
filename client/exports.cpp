// The exports of lumbra32: C linkage and the calling convention here, C++ behind.
#include "client/lumbra32.h"

#include "client/command.h"
#include "client/connect.h"
#include "client/utilities.h"

extern "C" {

int32_t LUMBRA_CALL LBConnect(const char* identification, const char* firstCredential,
                              const char* secondCredential, const char* serverAddress, char* message) {
  return lumbra::connectSession(identification, firstCredential, secondCredential, serverAddress, message);
}

int32_t LUMBRA_CALL LBDisconn(int32_t handle, char* message) {
  if (message == nullptr) return LB_INVALID_PARAMETERS;
  return lumbra::disconnectSession(handle, message);
}

int32_t LUMBRA_CALL LBCommand(int32_t handle, const char* command, char* message) {
  return lumbra::executeCommand(handle, command, message);
}

int32_t LUMBRA_CALL LBGetNext(int32_t handle, char* message) { return lumbra::nextRow(handle, message); }

int32_t LUMBRA_CALL LBCRC(int32_t length, const void* data) {
  const int32_t n = static_cast<int16_t>(static_cast<uint16_t>(length & 0xFFFF));
  if (n <= 0 || data == nullptr) return 0;
  return lumbra::crc16(static_cast<const unsigned char*>(data), n);
}

int32_t LUMBRA_CALL LBAsciiToEbcdic(char* text) {
  if (text != nullptr) lumbra::asciiToEbcdicText(text);
  return 0;
}

int32_t LUMBRA_CALL LBInsertBin(int32_t handle, char* command, const void* data, int32_t length) {
  return lumbra::prepareBinaryInsert(handle, command, data, length);
}

}  // extern "C"
