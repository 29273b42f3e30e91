// orvak32_host_test.cpp -- loads orvak32.dll, finds exports by name and by
// ordinal, and round-trips a key ring through it, replacing an existing file.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "keyring/orvak32.h"

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  (ok ? passed : failed)++;
}

using LoadFn = KeyList(ORVAK_CALL*)(const char*, int32_t*);
using SaveFn = int32_t(ORVAK_CALL*)(KeyList, const char*);
using CountFn = int32_t(ORVAK_CALL*)(KeyList);
using AddFn = KeyList(ORVAK_CALL*)(KeyList, const PublicKeyRecord*);
using IsInFn = int32_t(ORVAK_CALL*)(KeyList, const char*);
using LocateFn = int32_t(ORVAK_CALL*)(KeyList, const uint8_t*, PublicKeyRecord*);
using RemoveFn = KeyList(ORVAK_CALL*)(KeyList, const char*);
using FreeFn = void(ORVAK_CALL*)(KeyList);

template <typename Fn>
Fn byOrdinal(HMODULE dll, int ordinal) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, MAKEINTRESOURCEA(ordinal))));
}

PublicKeyRecord makeRecord(const char* id, uint8_t seed) {
  PublicKeyRecord r{};
  r.modulusLength = 128;
  for (int i = 0; i < 128; ++i) r.modulus[i] = static_cast<uint8_t>(seed + i);
  r.modulus[0] |= 0x80;
  r.exponentLength = 3;
  r.exponent[0] = 1;
  r.exponent[2] = 1;
  std::strcpy(r.userId, id);
  r.created = CalendarTime{15, 28, 6, 6, 2, 206};
  return r;
}

}  // namespace

int main() {
  HMODULE dll = LoadLibraryA("orvak32.dll");
  check(dll != nullptr, "LoadLibrary orvak32.dll");
  if (dll == nullptr) {
    std::printf("%d passed, %d failed\n", passed, failed);
    return 1;
  }

  struct Export {
    const char* name;
    int ordinal;
  };
  const Export exports[] = {{"LoadPublicKeys", 1},    {"SavePublicKeys", 3},  {"FindNumberOfKeys", 4},
                            {"locate_public_key", 5}, {"RemovePublicKey", 7}, {"AddPublicKey", 8},
                            {"IsPublicKeyInList", 9}, {"free_publist", 20},   {"bhead_publist", 23}};
  bool allSame = true;
  for (const Export& e : exports) {
    FARPROC byName = GetProcAddress(dll, e.name);
    FARPROC byNumber = GetProcAddress(dll, MAKEINTRESOURCEA(e.ordinal));
    if (byName == nullptr || byName != byNumber) {
      std::printf("     %s @%d differs\n", e.name, e.ordinal);
      allSame = false;
    }
  }
  check(allSame, "exports found by name and by ordinal are the same functions");
  check(GetProcAddress(dll, MAKEINTRESOURCEA(2)) == nullptr &&
            GetProcAddress(dll, MAKEINTRESOURCEA(11)) == nullptr &&
            GetProcAddress(dll, MAKEINTRESOURCEA(12)) == nullptr,
        "ordinals 2, 11 and 12 are unassigned");

  auto load = byOrdinal<LoadFn>(dll, 1);
  auto save = byOrdinal<SaveFn>(dll, 3);
  auto count = byOrdinal<CountFn>(dll, 4);
  auto locate = byOrdinal<LocateFn>(dll, 5);
  auto remove = byOrdinal<RemoveFn>(dll, 7);
  auto add = byOrdinal<AddFn>(dll, 8);
  auto isIn = byOrdinal<IsInFn>(dll, 9);
  auto release = byOrdinal<FreeFn>(dll, 20);

  char folder[MAX_PATH];
  GetTempPathA(sizeof folder, folder);
  const std::string path =
      std::string(folder) + "orvak32-host-test-" + std::to_string(GetCurrentProcessId()) + ".pgp";
  const PublicKeyRecord clark = makeRecord("Clark", 3);
  const PublicKeyRecord adams = makeRecord("Adams", 1);
  KeyList ring = add(add(nullptr, &clark), &adams);
  check(count(ring) == 2, "two keys added");
  check(save(ring, path.c_str()) == 0, "ring saved");
  release(ring);

  int32_t status = -1;
  ring = load(path.c_str(), &status);
  check(status == 0 && count(ring) == 2, "ring loaded back");
  check(ring != nullptr && std::strcmp(ring->userId, "Adams") == 0, "in user-id order");
  check(isIn(ring, "CLARK  ") == 1, "user id found after normalization");
  PublicKeyRecord out{};
  check(locate(ring, clark.modulus + 120, &out) == 0 && std::strcmp(out.userId, "Clark") == 0,
        "key found by key id");
  check(ring != nullptr && ring->created.year == 206 && ring->created.second == 15, "creation time kept");

  ring = remove(ring, "adams");
  check(count(ring) == 1, "key removed");
  check(save(ring, path.c_str()) == 0, "existing ring replaced");
  release(ring);
  ring = load(path.c_str(), &status);
  check(status == 0 && count(ring) == 1 && std::strcmp(ring->userId, "Clark") == 0, "replaced ring loaded");
  release(ring);

  const std::string missing = std::string(folder) + "no-such-folder-orvak\\ring.pgp";
  check(save(nullptr, missing.c_str()) == KEYRING_CREATE_FAILED, "missing folder: 40995");
  load(missing.c_str(), &status);
  check(status == KEYRING_OPEN_FAILED, "missing ring: 40994");

  DeleteFileA(path.c_str());
  FreeLibrary(dll);
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
