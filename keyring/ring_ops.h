// ring_ops.h -- the key ring operations: load, save, find, remove, user-id queries.
#pragma once

#include <cstdint>

#include "keyring/orvak32.h"

namespace orvak {

KeyList loadRing(const char* path, int32_t& status);
int32_t saveRing(KeyList list, const char* path);

// The key id of a record: the last 8 bytes of its modulus in use; null when
// the modulus is shorter than 8 bytes (or its length is out of range).
const uint8_t* keyIdOf(const PublicKeyRecord& record);

int32_t findByKeyId(KeyList list, const uint8_t* keyId, PublicKeyRecord* out);
int32_t findByUserId(KeyList list, const char* userId, PublicKeyRecord* out);
bool containsUserId(KeyList list, const char* userId);
KeyList removeByUserId(KeyList list, const char* userId);
void copyUserId(const PublicKeyRecord& record, char* buffer);

}  // namespace orvak
