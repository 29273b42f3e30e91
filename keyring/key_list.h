// key_list.h -- key records and the key list: user-id order, normalization,
// ordered insertion, record allocation and the list primitives behind the exports.
#pragma once

#include <cstddef>

#include "keyring/orvak32.h"

namespace orvak {

// Characters of a user id that count; a record's userId holds them and a NUL.
inline constexpr std::size_t kUserIdChars = 31;

// A new record block holding a copy of fields 1 to 6 of *source (userId cut to
// 31 characters and terminated), next set to null; null when no memory is left.
// Record blocks come from the heap calls of the platform's memory table
// (platform/memory.h), which tests swap to inject a failed allocation.
PublicKeyRecord* newRecordCopy(const PublicKeyRecord& source);
void releaseRecord(PublicKeyRecord* record);

// Copies fields 1 to 6 (never next); the copy's userId is always terminated.
void copyRecordFields(PublicKeyRecord& to, const PublicKeyRecord& from);

// The user-id order: <0, 0 or >0. Reads at most 32 bytes of either text.
int compareUserIds(const char* a, const char* b);

// A normalized user id: at most 31 characters, trailing blanks dropped
// except a first character.
struct NormalizedId {
  char text[kUserIdChars + 1];
};
NormalizedId normalizeUserId(const char* text);
bool sameUserId(const NormalizedId& a, const NormalizedId& b);

// The ordered insertion: a copy of *record goes in front of the first record
// whose userId is equal to or after its own. Returns the list to use; the list
// itself when no memory is left.
KeyList insertOrdered(KeyList list, const PublicKeyRecord& record);

KeyList consRecord(const PublicKeyRecord& record, KeyList list);
KeyList appendLists(KeyList first, KeyList second);
KeyList removeHead(KeyList list);
void freeList(KeyList list);
int32_t listLength(KeyList list);

}  // namespace orvak
