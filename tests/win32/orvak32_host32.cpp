// orvak32_host32.cpp -- the 32-bit orvak32.dll as a host loads it: every export
// by name and ordinal, real PGP 2.x rings loaded, searched, changed and saved
// to the same bytes as the native library saves, and the 200-byte record
// passed in and copied out between canary bytes.
//
// Usage: orvak32_host32 TESTDATA (the folder of the PGP 2.x rings, as a Windows path)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "keyring/orvak32.h"
#include "tests/keyring/changed_ring.h"
#include "tests/win32/host32.h"

using host32::call;
using host32::check;
using host32::pointer;

static_assert(sizeof(PublicKeyRecord) == 200, "the record a 32-bit host allocates");

namespace {

std::string readBytes(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return "<absent " + path + ">";
  std::string bytes;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
  std::fclose(f);
  return bytes;
}

// A record with canary bytes on both sides, as a host's neighbouring data.
struct Guarded {
  static constexpr unsigned char kCanary = 0xA5;
  unsigned char before[32];
  PublicKeyRecord record;
  unsigned char after[32];

  explicit Guarded(unsigned char fill) {
    std::memset(this, kCanary, sizeof *this);
    std::memset(&record, fill, sizeof record);
  }
  bool intact() const {
    for (int i = 0; i < 32; ++i) {
      if (before[i] != kCanary || after[i] != kCanary) return false;
    }
    return true;
  }
};

struct Export {
  const char* name;
  int ordinal;
};
const Export kExports[] = {
    {"LoadPublicKeys", 1},    {"SavePublicKeys", 3},          {"FindNumberOfKeys", 4},
    {"locate_public_key", 5}, {"locate_public_key_by_id", 6}, {"RemovePublicKey", 7},
    {"AddPublicKey", 8},      {"IsPublicKeyInList", 9},       {"write_public_key_packet", 10},
    {"empty_publist", 13},    {"is_empty_publist", 14},       {"head_publist", 15},
    {"tail_publist", 16},     {"rm_head_publist", 17},        {"cons_publist", 18},
    {"append_publist", 19},   {"free_publist", 20},           {"length_publist", 21},
    {"GetIdFromPubkey", 22},  {"bhead_publist", 23},
};

HMODULE dll;

FARPROC fn(const char* name) { return GetProcAddress(dll, name); }

std::vector<std::string> userIds(KeyList list) {
  std::vector<std::string> ids;
  for (PublicKeyRecord* r = list; r != nullptr; r = r->next) ids.emplace_back(r->userId);
  return ids;
}

KeyList load(const std::string& path, int32_t& status) {
  status = -1;
  return pointer<PublicKeyRecord>(call(fn("LoadPublicKeys"), "LoadPublicKeys", path.c_str(), &status));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: orvak32_host32 TESTDATA\n");
    return 2;
  }
  const std::string data = argv[1];
  dll = LoadLibraryA("orvak32.dll");
  check(dll != nullptr, "LoadLibrary orvak32.dll");
  if (dll == nullptr) return host32::finish();

  for (const Export& e : kExports) {
    FARPROC byName = fn(e.name);
    check(byName != nullptr && byName == GetProcAddress(dll, MAKEINTRESOURCEA(e.ordinal)),
          std::string(e.name) + " by name and by ordinal " + std::to_string(e.ordinal));
  }
  for (int absent : {2, 11, 12, 24}) {
    check(GetProcAddress(dll, MAKEINTRESOURCEA(absent)) == nullptr, "no ordinal " + std::to_string(absent));
  }

  char cwd[MAX_PATH];
  GetCurrentDirectoryA(sizeof cwd, cwd);
  const std::string dir = std::string(cwd) + "\\orvak32-host32";
  CreateDirectoryA(dir.c_str(), nullptr);
  const std::string saved = dir + "\\saved.pgp";

  // Real rings, loaded and saved again: the native library's bytes.
  struct Ring {
    const char* file;
    int count;
    const char* expected;
  };
  const Ring rings[] = {
      {"ring-fits.pgp", 5, "ring-fits.expected-save.pgp"},
      {"ring-fits-trust.pgp", 5, "ring-fits.expected-save.pgp"},
      {"ring-1024.pgp", 10, "ring-1024.expected-save.pgp"},
  };
  for (const Ring& r : rings) {
    int32_t status;
    KeyList ring = load(data + "\\" + r.file, status);
    check(status == 0 && call(fn("FindNumberOfKeys"), "FindNumberOfKeys", ring) == r.count &&
              call(fn("length_publist"), "length_publist", ring) == r.count,
          std::string(r.file) + ": " + std::to_string(r.count) + " keys");
    check(call(fn("SavePublicKeys"), "SavePublicKeys", ring, saved.c_str()) == 0 &&
              readBytes(saved) == readBytes(data + "\\" + r.expected),
          std::string(r.file) + ": saved as " + r.expected);
    call(fn("free_publist"), "free_publist", ring);
  }
  int32_t status;
  for (const char* wide : {"ring-2048.pgp", "ring-all.pgp"}) {
    KeyList none = load(data + "\\" + wide, status);
    check(none == nullptr && status == KEYRING_FORMAT_ERROR, std::string(wide) + ": refused with 40997");
  }
  load(dir + "\\absent.pgp", status);
  check(status == KEYRING_OPEN_FAILED, "missing ring: 40994");
  check(call(fn("SavePublicKeys"), "SavePublicKeys", nullptr, (dir + "\\no\\such\\ring.pgp").c_str()) ==
            KEYRING_CREATE_FAILED,
        "save into a missing folder: 40995");

  KeyList ring = load(data + "\\ring-fits.pgp", status);
  check(status == 0 && userIds(ring) == std::vector<std::string>{"Ben Laurie <ben@algroup.co.uk>",
                                                                 "Doug MacEachern <dougm@osf.org>",
                                                                 "fr.announce.newgroups",
                                                                 "Jim Jagielski <jim@jaguNET.com>",
                                                                 "news.announce.newgroups"},
        "ring-fits.pgp in user-id order");

  // Searches, each copying into a record between canaries.
  const uint8_t macId[8] = {0xBE, 0xE7, 0x96, 0x6C, 0x45, 0xB9, 0x1D, 0xF1};
  Guarded byKey(0x11);
  check(call(fn("locate_public_key"), "locate_public_key", ring, macId, &byKey.record) == 0 &&
            std::strcmp(byKey.record.userId, "Doug MacEachern <dougm@osf.org>") == 0 &&
            byKey.record.exponentLength == 1 && byKey.record.exponent[0] == 23 &&
            std::memcmp(byKey.record.modulus + 120, macId, 8) == 0,
        "locate_public_key finds MacEachern by key id");
  check(byKey.intact() && byKey.record.created.year == 0x11111111 &&
            byKey.record.next == reinterpret_cast<PublicKeyRecord*>(0x11111111),
        "locate_public_key: created and next kept, canaries whole");
  const uint8_t frId[8] = {0xC9, 0x97, 0x1A, 0x15, 0x38, 0x2B, 0x64, 0xFD};
  Guarded shortId(0x66);
  check(call(fn("locate_public_key"), "locate_public_key", ring, frId, &shortId.record) == 0 &&
            std::strcmp(shortId.record.userId, "fr.announce.newgroups") == 0 &&
            static_cast<unsigned char>(shortId.record.userId[22]) == 0x66 &&
            static_cast<unsigned char>(shortId.record.userId[31]) == 0x66 && shortId.intact(),
        "locate_public_key: the user id bytes after its NUL kept");
  const uint8_t noId[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  Guarded untouched(0x22);
  check(call(fn("locate_public_key"), "locate_public_key", ring, noId, &untouched.record) == KEY_NOT_FOUND &&
            untouched.intact() && untouched.record.modulusLength == 0x22222222,
        "locate_public_key: unknown key id 40996, record untouched");

  Guarded byUser(0x33);
  check(call(fn("locate_public_key_by_id"), "locate_public_key_by_id", ring,
             "jim jagielski <JIM@jagunet.com>  ", &byUser.record) == 0 &&
            byUser.record.modulusLength == 96 && byUser.record.exponent[0] == 17 &&
            static_cast<unsigned char>(byUser.record.userId[0]) == 0x33 && byUser.intact(),
        "locate_public_key_by_id: key copied, user id and canaries untouched");
  check(call(fn("IsPublicKeyInList"), "IsPublicKeyInList", ring, "FR.ANNOUNCE.NEWGROUPS ") == 1 &&
            call(fn("IsPublicKeyInList"), "IsPublicKeyInList", ring, "nobody") == 0,
        "IsPublicKeyInList after normalization");

  Guarded head(0x44);
  check(call(fn("bhead_publist"), "bhead_publist", ring, &head.record) == 0 && head.intact() &&
            std::strcmp(head.record.userId, "Ben Laurie <ben@algroup.co.uk>") == 0 &&
            head.record.created.year == 95 && head.record.created.month == 5 &&
            head.record.next == reinterpret_cast<PublicKeyRecord*>(0x44444444),
        "bhead_publist copies every field but next, canaries whole");
  struct {
    unsigned char before[8];
    char id[32];
    unsigned char after[8];
  } idOut;
  std::memset(&idOut, 0xA5, sizeof idOut);
  check(call(fn("GetIdFromPubkey"), "GetIdFromPubkey", ring->next, idOut.id) == 0 &&
            std::strcmp(idOut.id, "Doug MacEachern <dougm@osf.org>") == 0 && idOut.before[7] == 0xA5 &&
            idOut.after[0] == 0xA5,
        "GetIdFromPubkey: 31 characters and the NUL in 32 bytes");

  // A record passed in between canaries: copied, not kept, not changed.
  Guarded incoming(0);
  incoming.record = changed_ring::addedKey();
  incoming.record.next = reinterpret_cast<PublicKeyRecord*>(0x55555555);
  const Guarded original = incoming;
  ring = pointer<PublicKeyRecord>(call(fn("AddPublicKey"), "AddPublicKey", ring, &incoming.record));
  check(std::memcmp(&incoming, &original, sizeof incoming) == 0,
        "AddPublicKey leaves the host's record as it was");
  check(call(fn("FindNumberOfKeys"), "FindNumberOfKeys", ring) == 6 && ring->next != &incoming.record &&
            std::strcmp(ring->next->userId, "Carol <carol@example.org>") == 0,
        "AddPublicKey inserts a copy in user-id order");
  ring =
      pointer<PublicKeyRecord>(call(fn("RemovePublicKey"), "RemovePublicKey", ring, changed_ring::kRemoved));
  check(userIds(ring) ==
            std::vector<std::string>(std::begin(changed_ring::kOrder), std::end(changed_ring::kOrder)),
        "RemovePublicKey: the records before it reversed");
  check(call(fn("SavePublicKeys"), "SavePublicKeys", ring, saved.c_str()) == 0 &&
            readBytes(saved) == readBytes(data + "\\ring-fits-changed.expected-save.pgp"),
        "changed ring saved as ring-fits-changed.expected-save.pgp (LF, CR, Ctrl-Z bytes kept)");

  // The packet writer on a stream of the same C runtime, opened for raw bytes.
  const std::string packet = dir + "\\packet.bin";
  std::FILE* stream = std::fopen(packet.c_str(), "wb");
  const PublicKeyRecord carol = changed_ring::addedKey();
  check(stream != nullptr && call(fn("write_public_key_packet"), "write_public_key_packet", stream, &carol,
                                  0x382935F7u, static_cast<uint16_t>(0)) == 0,
        "write_public_key_packet");
  if (stream != nullptr) std::fclose(stream);
  const std::string changed = readBytes(data + "\\ring-fits-changed.expected-save.pgp");
  check(readBytes(packet) == changed.substr(489, 146),
        "write_public_key_packet: the key packet of the saved ring");

  // The list primitives.
  KeyList empty = pointer<PublicKeyRecord>(call(fn("empty_publist"), "empty_publist"));
  check(empty == nullptr && call(fn("is_empty_publist"), "is_empty_publist", empty) == 1 &&
            call(fn("is_empty_publist"), "is_empty_publist", ring) == 0,
        "empty_publist, is_empty_publist");
  check(pointer<PublicKeyRecord>(call(fn("head_publist"), "head_publist", ring)) == ring &&
            pointer<PublicKeyRecord>(call(fn("tail_publist"), "tail_publist", ring)) == ring->next,
        "head_publist, tail_publist");
  KeyList one = pointer<PublicKeyRecord>(call(fn("cons_publist"), "cons_publist", &carol, empty));
  KeyList both = pointer<PublicKeyRecord>(call(fn("append_publist"), "append_publist", one, ring));
  check(call(fn("length_publist"), "length_publist", both) == 6 && both != one && both->next == ring,
        "cons_publist, append_publist share the second list");
  both = pointer<PublicKeyRecord>(call(fn("rm_head_publist"), "rm_head_publist", both));
  check(both == ring, "rm_head_publist returns the rest");
  call(fn("free_publist"), "free_publist", one);
  call(fn("free_publist"), "free_publist", ring);

  DeleteFileA(saved.c_str());
  DeleteFileA(packet.c_str());
  RemoveDirectoryA(dir.c_str());
  FreeLibrary(dll);
  return host32::finish();
}
