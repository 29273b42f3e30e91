// Fuzz target: LoadPublicKeys on arbitrary bytes.
//
// Invariants: the status is 0 or KEYRING_FORMAT_ERROR, with the empty list on
// error; a loaded ring saves with status 0, and loading the saved file gives
// the same records in the same order (keys with equal user ids, which a load
// puts in the reverse of their file order, in reverse).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/scratch_dir.h"
#include "keyring/key_list.h"
#include "keyring/orvak32.h"

namespace {

bool sameRecord(const PublicKeyRecord& a, const PublicKeyRecord& b) {
  return a.modulusLength == b.modulusLength &&
         std::memcmp(a.modulus, b.modulus, static_cast<std::size_t>(a.modulusLength)) == 0 &&
         a.exponentLength == b.exponentLength &&
         std::memcmp(a.exponent, b.exponent, static_cast<std::size_t>(a.exponentLength)) == 0 &&
         std::strcmp(a.userId, b.userId) == 0 && a.created.second == b.created.second &&
         a.created.minute == b.created.minute && a.created.hour == b.created.hour &&
         a.created.day == b.created.day && a.created.month == b.created.month &&
         a.created.year == b.created.year;
}

void checkRecord(const PublicKeyRecord& r) {
  fuzzing::check(r.modulusLength >= 0 && r.modulusLength <= 128, "modulus length out of range");
  fuzzing::check(r.exponentLength >= 0 && r.exponentLength <= 4, "exponent length out of range");
  fuzzing::check(std::memchr(r.userId, 0, sizeof r.userId) != nullptr, "user id without its NUL");
  fuzzing::check(r.modulusLength == 0 || r.modulus[0] != 0, "modulus with a leading zero byte");
  fuzzing::check(r.exponentLength == 0 || r.exponent[0] != 0, "exponent with a leading zero byte");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzzing::ScratchDir dir("keyring-fuzz");
  const std::string ring = dir.file("ring.pgp"), saved = dir.file("saved.pgp");
  {
    std::ofstream out(ring, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::int32_t status = -1;
  KeyList list = LoadPublicKeys(ring.c_str(), &status);
  fuzzing::check(status == 0 || status == KEYRING_FORMAT_ERROR, "status neither 0 nor a format error");
  if (status != 0) {
    fuzzing::check(list == nullptr, "a failed load returned records");
    return 0;
  }
  for (PublicKeyRecord* r = list; r != nullptr; r = r->next) checkRecord(*r);

  fuzzing::check(SavePublicKeys(list, saved.c_str()) == 0, "a loaded ring does not save");
  std::int32_t again = -1;
  KeyList reloaded = LoadPublicKeys(saved.c_str(), &again);
  fuzzing::check(again == 0, "a saved ring does not load");
  fuzzing::check(length_publist(list) == length_publist(reloaded), "saved ring holds another count");
  // Keys with equal user ids come back in the reverse of their file order, so
  // each run of equal ids is compared with the same run reversed.
  std::vector<PublicKeyRecord*> before, after;
  for (PublicKeyRecord* r = list; r != nullptr; r = r->next) before.push_back(r);
  for (PublicKeyRecord* r = reloaded; r != nullptr; r = r->next) after.push_back(r);
  for (std::size_t start = 0; start < before.size() && before.size() == after.size();) {
    std::size_t end = start + 1;
    while (end < before.size() && orvak::compareUserIds(before[start]->userId, before[end]->userId) == 0)
      ++end;
    for (std::size_t i = start; i < end; ++i) {
      const PublicKeyRecord* a = before[i];
      const PublicKeyRecord* b = after[start + (end - 1 - i)];
      if (!sameRecord(*a, *b)) {
        std::fprintf(stderr,
                     "loaded: %s n=%d e=%d %d-%d-%d %d:%d:%d\nsaved:  %s n=%d e=%d %d-%d-%d %d:%d:%d\n",
                     a->userId, a->modulusLength, a->exponentLength, a->created.year, a->created.month,
                     a->created.day, a->created.hour, a->created.minute, a->created.second, b->userId,
                     b->modulusLength, b->exponentLength, b->created.year, b->created.month, b->created.day,
                     b->created.hour, b->created.minute, b->created.second);
        fuzzing::fail("a record changed through save and load");
      }
    }
    start = end;
  }
  free_publist(list);
  free_publist(reloaded);
  return 0;
}
