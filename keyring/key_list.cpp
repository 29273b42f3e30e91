// key_list.cpp -- key records and the key list: user-id order, normalization,
// ordered insertion and the list primitives.
#include "keyring/key_list.h"

#include <cstring>

#include "platform/memory.h"

namespace orvak {

namespace {

unsigned char foldCase(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

}  // namespace

void copyRecordFields(PublicKeyRecord& to, const PublicKeyRecord& from) {
  to.modulusLength = from.modulusLength;
  std::memcpy(to.modulus, from.modulus, sizeof to.modulus);
  to.exponentLength = from.exponentLength;
  std::memcpy(to.exponent, from.exponent, sizeof to.exponent);
  std::memcpy(to.userId, from.userId, sizeof to.userId);
  to.userId[kUserIdChars] = '\0';
  to.created = from.created;
}

PublicKeyRecord* newRecordCopy(const PublicKeyRecord& source) {
  auto* record = static_cast<PublicKeyRecord*>(platform::memoryCalls().allocate(sizeof(PublicKeyRecord)));
  if (record == nullptr) return nullptr;
  std::memset(record, 0, sizeof *record);
  copyRecordFields(*record, source);
  record->next = nullptr;
  return record;
}

void releaseRecord(PublicKeyRecord* record) {
  if (record != nullptr) platform::memoryCalls().release(record);
}

int compareUserIds(const char* a, const char* b) {
  for (std::size_t i = 0; i <= kUserIdChars; ++i) {
    const unsigned char ca = foldCase(static_cast<unsigned char>(a[i]));
    const unsigned char cb = foldCase(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;  // 32 equal bytes without a terminator: equal as far as a record holds
}

NormalizedId normalizeUserId(const char* text) {
  NormalizedId id{};
  std::size_t n = 0;
  if (text != nullptr) {
    while (n < kUserIdChars && text[n] != '\0') {
      id.text[n] = text[n];
      ++n;
    }
  }
  id.text[n] = '\0';
  while (n > 1 && id.text[n - 1] == ' ') id.text[--n] = '\0';
  return id;
}

bool sameUserId(const NormalizedId& a, const NormalizedId& b) { return compareUserIds(a.text, b.text) == 0; }

KeyList consRecord(const PublicKeyRecord& record, KeyList list) {
  PublicKeyRecord* copy = newRecordCopy(record);
  if (copy == nullptr) return list;
  copy->next = list;
  return copy;
}

KeyList insertOrdered(KeyList list, const PublicKeyRecord& record) {
  PublicKeyRecord* copy = newRecordCopy(record);
  if (copy == nullptr) return list;
  if (list == nullptr || compareUserIds(list->userId, copy->userId) >= 0) {
    copy->next = list;
    return copy;
  }
  PublicKeyRecord* before = list;
  while (before->next != nullptr && compareUserIds(before->next->userId, copy->userId) < 0) {
    before = before->next;
  }
  copy->next = before->next;
  before->next = copy;
  return list;
}

KeyList appendLists(KeyList first, KeyList second) {
  if (first == nullptr) return second;
  KeyList result = nullptr;
  PublicKeyRecord* last = nullptr;
  for (const PublicKeyRecord* r = first; r != nullptr; r = r->next) {
    PublicKeyRecord* copy = newRecordCopy(*r);
    if (copy == nullptr) {
      freeList(result);
      return second;
    }
    if (last == nullptr) {
      result = copy;
    } else {
      last->next = copy;
    }
    last = copy;
  }
  last->next = second;
  return result;
}

KeyList removeHead(KeyList list) {
  if (list == nullptr) return nullptr;
  KeyList rest = list->next;
  releaseRecord(list);
  return rest;
}

void freeList(KeyList list) {
  while (list != nullptr) list = removeHead(list);
}

int32_t listLength(KeyList list) {
  int32_t n = 0;
  for (; list != nullptr; list = list->next) ++n;
  return n;
}

}  // namespace orvak
