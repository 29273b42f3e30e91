// exports.cpp -- the exported entry points: C linkage and the calling
// convention here, the work in the C++ modules behind them. No exception
// leaves this file.
#include <cstddef>

#include "keyring/key_list.h"
#include "keyring/orvak32.h"
#include "keyring/packet_writer.h"
#include "keyring/ring_ops.h"

// The records' layout is part of the interface of the 32-bit library.
static_assert(sizeof(CalendarTime) == 24, "CalendarTime is six 32-bit integers");
static_assert(offsetof(PublicKeyRecord, modulus) == 4);
static_assert(offsetof(PublicKeyRecord, exponentLength) == 132);
static_assert(offsetof(PublicKeyRecord, exponent) == 136);
static_assert(offsetof(PublicKeyRecord, userId) == 140);
static_assert(offsetof(PublicKeyRecord, created) == 172);
static_assert(sizeof(void*) != 4 || offsetof(PublicKeyRecord, next) == 196);
static_assert(sizeof(void*) != 4 || sizeof(PublicKeyRecord) == 200,
              "PublicKeyRecord is 200 bytes in the 32-bit build");

extern "C" {

ORVAK_API KeyList ORVAK_CALL empty_publist(void) { return nullptr; }

ORVAK_API int32_t ORVAK_CALL is_empty_publist(KeyList list) { return list == nullptr ? 1 : 0; }

ORVAK_API PublicKeyRecord* ORVAK_CALL head_publist(KeyList list) { return list; }

ORVAK_API int32_t ORVAK_CALL bhead_publist(KeyList list, PublicKeyRecord* out) {
  if (list == nullptr || out == nullptr) return 1;
  orvak::copyRecordFields(*out, *list);
  return 0;
}

ORVAK_API KeyList ORVAK_CALL tail_publist(KeyList list) { return list == nullptr ? nullptr : list->next; }

ORVAK_API KeyList ORVAK_CALL rm_head_publist(KeyList list) { return orvak::removeHead(list); }

ORVAK_API KeyList ORVAK_CALL cons_publist(const PublicKeyRecord* record, KeyList list) {
  return record == nullptr ? list : orvak::consRecord(*record, list);
}

ORVAK_API KeyList ORVAK_CALL append_publist(KeyList first, KeyList second) {
  return orvak::appendLists(first, second);
}

ORVAK_API void ORVAK_CALL free_publist(KeyList list) { orvak::freeList(list); }

ORVAK_API int32_t ORVAK_CALL length_publist(KeyList list) { return orvak::listLength(list); }

ORVAK_API KeyList ORVAK_CALL LoadPublicKeys(const char* path, int32_t* status) {
  int32_t result = ORVAK_OK;
  KeyList list = orvak::loadRing(path, result);
  if (status != nullptr) *status = result;
  return list;
}

ORVAK_API int32_t ORVAK_CALL SavePublicKeys(KeyList list, const char* path) {
  try {
    return orvak::saveRing(list, path);
  } catch (...) {  // a path too long for memory: nothing was written
    return KEYRING_CREATE_FAILED;
  }
}

ORVAK_API int32_t ORVAK_CALL FindNumberOfKeys(KeyList list) { return orvak::listLength(list); }

ORVAK_API int32_t ORVAK_CALL locate_public_key(KeyList list, const uint8_t* keyId, PublicKeyRecord* out) {
  return orvak::findByKeyId(list, keyId, out);
}

ORVAK_API int32_t ORVAK_CALL locate_public_key_by_id(KeyList list, const char* userId, PublicKeyRecord* out) {
  return orvak::findByUserId(list, userId, out);
}

ORVAK_API KeyList ORVAK_CALL RemovePublicKey(KeyList list, const char* userId) {
  return orvak::removeByUserId(list, userId);
}

ORVAK_API KeyList ORVAK_CALL AddPublicKey(KeyList list, const PublicKeyRecord* record) {
  return record == nullptr ? list : orvak::insertOrdered(list, *record);
}

ORVAK_API int32_t ORVAK_CALL IsPublicKeyInList(KeyList list, const char* userId) {
  return orvak::containsUserId(list, userId) ? 1 : 0;
}

ORVAK_API int32_t ORVAK_CALL GetIdFromPubkey(const PublicKeyRecord* record, char* buffer) {
  if (record != nullptr && buffer != nullptr) orvak::copyUserId(*record, buffer);
  return 0;
}

ORVAK_API int32_t ORVAK_CALL write_public_key_packet(FILE* stream, const PublicKeyRecord* record,
                                                     uint32_t timestamp, uint16_t validity) {
  if (record == nullptr) return PACKET_WRITE_FAILED;
  return orvak::writePublicKeyPacket(stream, *record, timestamp, validity);
}

}  // extern "C"
