// status.cpp -- the status table and its lookup.
#include "keyring/status.h"

#include "keyring/orvak32.h"

namespace orvak {

namespace {

constexpr StatusInfo kStatusTable[] = {
    {ORVAK_OK, "success", "the operation did what was asked"},
    {PACKET_WRITE_FAILED, "PACKET_WRITE_FAILED", "writing the key ring failed"},
    {KEYRING_OPEN_FAILED, "KEYRING_OPEN_FAILED", "the key ring file could not be opened for reading"},
    {KEYRING_CREATE_FAILED, "KEYRING_CREATE_FAILED", "the key ring file could not be created"},
    {KEY_NOT_FOUND, "KEY_NOT_FOUND", "no key matches the key id or user id"},
    {KEYRING_FORMAT_ERROR, "KEYRING_FORMAT_ERROR", "the file is not a key ring of the form read here"},
    {KEYRING_CLOSE_FAILED, "KEYRING_CLOSE_FAILED", "closing the written key ring file failed"},
};

constexpr StatusInfo kUnknownStatus{-1, "UNKNOWN", "unknown status"};

}  // namespace

const StatusInfo& statusInfo(int32_t code) {
  for (const StatusInfo& entry : kStatusTable) {
    if (entry.code == code) return entry;
  }
  return kUnknownStatus;
}

}  // namespace orvak
