// orvak32_host.cpp -- orvak32 as a host loads it: every export by name (and on
// Windows by ordinal), real PGP 2.x rings loaded, searched, changed and saved
// to the same bytes as the library saves in the native tests, and records
// passed in and copied out between canary bytes.
//
// Usage: orvak32_host TESTDATA (the folder of the PGP 2.x rings, a path of the
// program's system)
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "keyring/orvak32.h"
#include "tests/hosts/host.h"
#include "tests/keyring/changed_ring.h"
#include "tests/support/files.h"

using host::check;
using host::Export;
using suite_test::readFile;

static_assert(sizeof(void*) != 4 || sizeof(PublicKeyRecord) == 200, "the record a 32-bit host allocates");

namespace {

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

struct Name {
  const char* name;
  int ordinal;
};
const Name kExports[] = {
    {"LoadPublicKeys", 1},    {"SavePublicKeys", 3},          {"FindNumberOfKeys", 4},
    {"locate_public_key", 5}, {"locate_public_key_by_id", 6}, {"RemovePublicKey", 7},
    {"AddPublicKey", 8},      {"IsPublicKeyInList", 9},       {"write_public_key_packet", 10},
    {"empty_publist", 13},    {"is_empty_publist", 14},       {"head_publist", 15},
    {"tail_publist", 16},     {"rm_head_publist", 17},        {"cons_publist", 18},
    {"append_publist", 19},   {"free_publist", 20},           {"length_publist", 21},
    {"GetIdFromPubkey", 22},  {"bhead_publist", 23},
};

std::vector<std::string> userIds(KeyList list) {
  std::vector<std::string> ids;
  for (PublicKeyRecord* r = list; r != nullptr; r = r->next) ids.emplace_back(r->userId);
  return ids;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: orvak32_host TESTDATA\n");
    return 2;
  }
  const std::string data = std::string(argv[1]) + host::kSeparator;
  host::Library library("orvak32");
  check(library.loaded(), "load " + library.file());
  if (!library.loaded()) return host::finish();

  for (const Name& e : kExports) {
    void* byName = library.byName(e.name);
    check(byName != nullptr, std::string(e.name) + " exported");
    if (host::kOrdinals) {
      check(byName == library.byOrdinal(e.ordinal),
            std::string(e.name) + " is ordinal " + std::to_string(e.ordinal));
    }
  }
  if (host::kOrdinals) {
    for (int absent : {2, 11, 12, 24}) {
      check(library.byOrdinal(absent) == nullptr, "no ordinal " + std::to_string(absent));
    }
  }

  const Export<decltype(&LoadPublicKeys)> loadPublicKeys(library, "LoadPublicKeys");
  const Export<decltype(&SavePublicKeys)> savePublicKeys(library, "SavePublicKeys");
  const Export<decltype(&FindNumberOfKeys)> findNumberOfKeys(library, "FindNumberOfKeys");
  const Export<decltype(&locate_public_key)> locatePublicKey(library, "locate_public_key");
  const Export<decltype(&locate_public_key_by_id)> locatePublicKeyById(library, "locate_public_key_by_id");
  const Export<decltype(&RemovePublicKey)> removePublicKey(library, "RemovePublicKey");
  const Export<decltype(&AddPublicKey)> addPublicKey(library, "AddPublicKey");
  const Export<decltype(&IsPublicKeyInList)> isPublicKeyInList(library, "IsPublicKeyInList");
  const Export<decltype(&write_public_key_packet)> writePublicKeyPacket(library, "write_public_key_packet");
  const Export<decltype(&empty_publist)> emptyList(library, "empty_publist");
  const Export<decltype(&is_empty_publist)> isEmptyList(library, "is_empty_publist");
  const Export<decltype(&head_publist)> headOfList(library, "head_publist");
  const Export<decltype(&tail_publist)> tailOfList(library, "tail_publist");
  const Export<decltype(&rm_head_publist)> removeHead(library, "rm_head_publist");
  const Export<decltype(&cons_publist)> consList(library, "cons_publist");
  const Export<decltype(&append_publist)> appendList(library, "append_publist");
  const Export<decltype(&free_publist)> freeList(library, "free_publist");
  const Export<decltype(&length_publist)> listLength(library, "length_publist");
  const Export<decltype(&GetIdFromPubkey)> getIdFromPubkey(library, "GetIdFromPubkey");
  const Export<decltype(&bhead_publist)> copyHead(library, "bhead_publist");

  host::WorkFolder folder("orvak32-host");
  const std::string saved = folder.file("saved.pgp");

  // Real rings, loaded and saved again (each save replacing the last): the
  // bytes the native tests prove this library saves.
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
  int32_t status = -1;
  for (const Ring& r : rings) {
    KeyList ring = loadPublicKeys((data + r.file).c_str(), &status);
    check(status == ORVAK_OK && findNumberOfKeys(ring) == r.count && listLength(ring) == r.count,
          std::string(r.file) + ": " + std::to_string(r.count) + " keys");
    check(savePublicKeys(ring, saved.c_str()) == ORVAK_OK && readFile(saved) == readFile(data + r.expected),
          std::string(r.file) + ": saved as " + r.expected);
    freeList(ring);
  }
  for (const char* wide : {"ring-2048.pgp", "ring-all.pgp"}) {
    status = -1;
    KeyList none = loadPublicKeys((data + wide).c_str(), &status);
    check(none == nullptr && status == KEYRING_FORMAT_ERROR, std::string(wide) + ": refused with 40997");
  }
  loadPublicKeys(folder.file("absent.pgp").c_str(), &status);
  check(status == KEYRING_OPEN_FAILED, "missing ring: 40994");
  const std::string noFolder = folder.file("no") + host::kSeparator + "ring.pgp";
  check(savePublicKeys(nullptr, noFolder.c_str()) == KEYRING_CREATE_FAILED,
        "save into a missing folder: 40995");

  KeyList ring = loadPublicKeys((data + "ring-fits.pgp").c_str(), &status);
  check(status == ORVAK_OK && userIds(ring) == std::vector<std::string>{"Ben Laurie <ben@algroup.co.uk>",
                                                                        "Doug MacEachern <dougm@osf.org>",
                                                                        "fr.announce.newgroups",
                                                                        "Jim Jagielski <jim@jaguNET.com>",
                                                                        "news.announce.newgroups"},
        "ring-fits.pgp in user-id order");
  if (ring == nullptr) return host::finish();

  // Searches, each copying into a record between canaries.
  const uint8_t macId[8] = {0xBE, 0xE7, 0x96, 0x6C, 0x45, 0xB9, 0x1D, 0xF1};
  Guarded byKey(0x11);
  check(locatePublicKey(ring, macId, &byKey.record) == ORVAK_OK &&
            std::strcmp(byKey.record.userId, "Doug MacEachern <dougm@osf.org>") == 0 &&
            byKey.record.exponentLength == 1 && byKey.record.exponent[0] == 23 &&
            std::memcmp(byKey.record.modulus + 120, macId, 8) == 0,
        "locate_public_key finds MacEachern by key id");
  check(byKey.intact() && byKey.record.created.year == 0x11111111 &&
            byKey.record.next == host::filledPointer<PublicKeyRecord>(0x11),
        "locate_public_key: created and next kept, canaries whole");
  const uint8_t frId[8] = {0xC9, 0x97, 0x1A, 0x15, 0x38, 0x2B, 0x64, 0xFD};
  Guarded shortId(0x66);
  check(locatePublicKey(ring, frId, &shortId.record) == ORVAK_OK &&
            std::strcmp(shortId.record.userId, "fr.announce.newgroups") == 0 &&
            static_cast<unsigned char>(shortId.record.userId[22]) == 0x66 &&
            static_cast<unsigned char>(shortId.record.userId[31]) == 0x66 && shortId.intact(),
        "locate_public_key: the user id bytes after its NUL kept");
  const uint8_t noId[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  Guarded untouched(0x22);
  check(locatePublicKey(ring, noId, &untouched.record) == KEY_NOT_FOUND && untouched.intact() &&
            untouched.record.modulusLength == 0x22222222,
        "locate_public_key: unknown key id 40996, record untouched");

  Guarded byUser(0x33);
  check(locatePublicKeyById(ring, "jim jagielski <JIM@jagunet.com>  ", &byUser.record) == ORVAK_OK &&
            byUser.record.modulusLength == 96 && byUser.record.exponent[0] == 17 &&
            static_cast<unsigned char>(byUser.record.userId[0]) == 0x33 && byUser.intact(),
        "locate_public_key_by_id: key copied, user id and canaries untouched");
  check(isPublicKeyInList(ring, "FR.ANNOUNCE.NEWGROUPS ") == 1 && isPublicKeyInList(ring, "nobody") == 0,
        "IsPublicKeyInList after normalization");

  Guarded head(0x44);
  check(copyHead(ring, &head.record) == 0 && head.intact() &&
            std::strcmp(head.record.userId, "Ben Laurie <ben@algroup.co.uk>") == 0 &&
            head.record.created.year == 95 && head.record.created.month == 5 &&
            head.record.next == host::filledPointer<PublicKeyRecord>(0x44),
        "bhead_publist copies every field but next, canaries whole");
  struct {
    unsigned char before[8];
    char id[32];
    unsigned char after[8];
  } idOut;
  std::memset(&idOut, 0xA5, sizeof idOut);
  check(getIdFromPubkey(ring->next, idOut.id) == 0 &&
            std::strcmp(idOut.id, "Doug MacEachern <dougm@osf.org>") == 0 && idOut.before[7] == 0xA5 &&
            idOut.after[0] == 0xA5,
        "GetIdFromPubkey: 31 characters and the NUL in 32 bytes");

  // A record passed in between canaries: copied, not kept, not changed.
  Guarded incoming(0);
  incoming.record = changed_ring::addedKey();
  incoming.record.next = host::filledPointer<PublicKeyRecord>(0x55);
  const Guarded original = incoming;
  ring = addPublicKey(ring, &incoming.record);
  check(std::memcmp(&incoming, &original, sizeof incoming) == 0,
        "AddPublicKey leaves the host's record as it was");
  check(findNumberOfKeys(ring) == 6 && ring->next != &incoming.record &&
            std::strcmp(ring->next->userId, "Carol <carol@example.org>") == 0,
        "AddPublicKey inserts a copy in user-id order");
  ring = removePublicKey(ring, changed_ring::kRemoved);
  check(userIds(ring) ==
            std::vector<std::string>(std::begin(changed_ring::kOrder), std::end(changed_ring::kOrder)),
        "RemovePublicKey: the records before it reversed");
  check(savePublicKeys(ring, saved.c_str()) == ORVAK_OK &&
            readFile(saved) == readFile(data + "ring-fits-changed.expected-save.pgp"),
        "changed ring saved as ring-fits-changed.expected-save.pgp (LF, CR, Ctrl-Z bytes kept)");

  // The packet writer on a stream of the same C runtime, opened for raw bytes.
  const std::string packet = folder.file("packet.bin");
  std::FILE* stream = std::fopen(packet.c_str(), "wb");
  const PublicKeyRecord carol = changed_ring::addedKey();
  check(stream != nullptr && writePublicKeyPacket(stream, &carol, 0x382935F7u, static_cast<uint16_t>(0)) == 0,
        "write_public_key_packet");
  if (stream != nullptr) std::fclose(stream);
  const std::string changed = readFile(data + "ring-fits-changed.expected-save.pgp");
  check(changed.size() > 489 && readFile(packet) == changed.substr(489, 146),
        "write_public_key_packet: the key packet of the saved ring");

  // The list primitives.
  KeyList empty = emptyList();
  check(empty == nullptr && isEmptyList(empty) == 1 && isEmptyList(ring) == 0,
        "empty_publist, is_empty_publist");
  check(headOfList(ring) == ring && tailOfList(ring) == ring->next, "head_publist, tail_publist");
  KeyList one = consList(&carol, empty);
  KeyList both = appendList(one, ring);
  check(listLength(both) == 6 && both != one && both->next == ring,
        "cons_publist, append_publist share the second list");
  both = removeHead(both);
  check(both == ring, "rm_head_publist returns the rest");
  freeList(one);
  freeList(ring);

  host::removeFile(saved);
  host::removeFile(packet);
  return host::finish();
}
