// ring_ops.cpp -- loading and saving key ring files, searches, removal by user id.
#include "keyring/ring_ops.h"

#include <cstdio>
#include <cstring>

#include "keyring/byte_source.h"
#include "keyring/calendar.h"
#include "keyring/key_list.h"
#include "keyring/packet_reader.h"
#include "keyring/packet_writer.h"
#include "platform/files.h"

namespace orvak {

KeyList loadRing(const char* path, int32_t& status) {
  std::FILE* file = path != nullptr ? platform::fileCalls().open(path, "rb") : nullptr;
  if (file == nullptr) {
    status = KEYRING_OPEN_FAILED;
    return nullptr;
  }
  RingReadResult result{};
  {
    ByteSource in(file);
    result = readKeyRing(in);
  }
  // A read error of the stream itself is not a clean end of the ring.
  if (result.status == ORVAK_OK && platform::fileCalls().error(file)) {
    freeList(result.list);
    result = {KEYRING_OPEN_FAILED, nullptr};
  }
  platform::fileCalls().close(file);
  status = result.status;
  return result.list;
}

namespace {

int32_t writeRecords(KeyList list, std::FILE* stream) {
  for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
    if (writePublicKeyPacket(stream, *r, calendarToTime(r->created), 0) != ORVAK_OK ||
        writeUserIdPacket(stream, r->userId) != ORVAK_OK) {
      return PACKET_WRITE_FAILED;
    }
  }
  return ORVAK_OK;
}

}  // namespace

int32_t saveRing(KeyList list, const char* path) {
  const platform::FileCalls& calls = platform::fileCalls();
  platform::ReplacementFile file;
  if (path == nullptr || !calls.createReplacement(path, file)) return KEYRING_CREATE_FAILED;

  int32_t status = writeRecords(list, file.stream);
  if (status == ORVAK_OK && calls.flush(file.stream) != 0) status = KEYRING_CLOSE_FAILED;
  if (calls.close(file.stream) != 0 && status == ORVAK_OK) status = KEYRING_CLOSE_FAILED;
  if (status == ORVAK_OK && !calls.replace(file.tempPath.c_str(), file.targetPath.c_str())) {
    status = KEYRING_CLOSE_FAILED;
  }
  if (status != ORVAK_OK) calls.remove(file.tempPath.c_str());
  return status;
}

const uint8_t* keyIdOf(const PublicKeyRecord& record) {
  if (record.modulusLength < 8 || record.modulusLength > static_cast<int32_t>(sizeof record.modulus)) {
    return nullptr;
  }
  return record.modulus + (record.modulusLength - 8);
}

namespace {

void copyKey(PublicKeyRecord& to, const PublicKeyRecord& from) {
  to.modulusLength = from.modulusLength;
  std::memcpy(to.modulus, from.modulus, sizeof to.modulus);
  to.exponentLength = from.exponentLength;
  std::memcpy(to.exponent, from.exponent, sizeof to.exponent);
}

}  // namespace

void copyUserId(const PublicKeyRecord& record, char* buffer) {
  std::size_t n = 0;
  while (n < kUserIdChars && record.userId[n] != '\0') {
    buffer[n] = record.userId[n];
    ++n;
  }
  buffer[n] = '\0';
}

int32_t findByKeyId(KeyList list, const uint8_t* keyId, PublicKeyRecord* out) {
  if (keyId == nullptr || out == nullptr) return KEY_NOT_FOUND;
  for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
    const uint8_t* id = keyIdOf(*r);
    if (id != nullptr && std::memcmp(id, keyId, 8) == 0) {
      copyKey(*out, *r);
      copyUserId(*r, out->userId);
      return ORVAK_OK;
    }
  }
  return KEY_NOT_FOUND;
}

namespace {

const PublicKeyRecord* firstWithUserId(KeyList list, const char* userId) {
  if (userId == nullptr) return nullptr;
  const NormalizedId wanted = normalizeUserId(userId);
  for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
    if (sameUserId(normalizeUserId(r->userId), wanted)) return r;
  }
  return nullptr;
}

}  // namespace

int32_t findByUserId(KeyList list, const char* userId, PublicKeyRecord* out) {
  const PublicKeyRecord* r = firstWithUserId(list, userId);
  if (r == nullptr || out == nullptr) return KEY_NOT_FOUND;
  copyKey(*out, *r);
  return ORVAK_OK;
}

bool containsUserId(KeyList list, const char* userId) { return firstWithUserId(list, userId) != nullptr; }

KeyList removeByUserId(KeyList list, const char* userId) {
  const NormalizedId wanted = normalizeUserId(userId);
  // The records passed before a match move to the front of the result one by
  // one (so they come back reversed); they are relinked rather than copied,
  // which gives the same list without needing memory.
  KeyList result = nullptr;
  PublicKeyRecord* resultTail = nullptr;
  while (list != nullptr) {
    PublicKeyRecord* first = list;
    list = first->next;
    if (userId != nullptr && sameUserId(normalizeUserId(first->userId), wanted)) {
      releaseRecord(first);
      if (result == nullptr) return list;
      resultTail->next = list;
      return result;
    }
    if (result == nullptr) resultTail = first;
    first->next = result;
    result = first;
  }
  return result;
}

}  // namespace orvak
