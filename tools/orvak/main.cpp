// main.cpp -- orvak: list, add, remove and find keys in a PGP 2.x public key ring.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "keyring/calendar.h"
#include "keyring/key_list.h"
#include "keyring/orvak32.h"
#include "keyring/packet_writer.h"
#include "keyring/ring_ops.h"
#include "keyring/status.h"
#include "protocol/hex.h"
#include "tools/common/file_reason.h"
#include "tools/orvak/rsa_key.h"

#include "suite_version.h"

namespace {

const char kUsage[] =
    "usage: orvak COMMAND RING [OPTIONS]\n"
    "\n"
    "Manages a key ring file of RSA public keys in PGP 2.x packets (one\n"
    "public-key packet and one user-id packet per key).\n"
    "\n"
    "commands:\n"
    "  orvak list RING\n"
    "      One line per key, in the ring's order (user-id order):\n"
    "      key id (last 8 bytes of the modulus, hex), modulus bits, exponent,\n"
    "      creation time (UTC), user id.\n"
    "  orvak add RING --pem KEY.pem --user ID [--created DATE]\n"
    "      Adds the RSA key of KEY.pem (PEM or DER; a public key, or a private\n"
    "      key whose public half is taken) under user id ID (1 to 31 characters,\n"
    "      not yet in the ring). The modulus may have at most 1024 bits and the\n"
    "      exponent at most 32. A RING that does not exist yet is created. A key\n"
    "      already in the ring under another user id is added all the same, with\n"
    "      a warning.\n"
    "      DATE: YYYY-MM-DD, YYYY-MM-DDTHH:MM:SS or @SECONDS since 1970, UTC,\n"
    "      from 1970-01-01 to 2106-02-07T06:28:15; now when left out.\n"
    "  orvak remove RING ID\n"
    "      Removes the key with user id ID (letter case and trailing blanks do\n"
    "      not matter).\n"
    "  orvak remove RING --key-id HEX\n"
    "      Removes the key with that key id; refused when several keys have it.\n"
    "  orvak find RING --user TEXT\n"
    "      Prints the keys whose user id is TEXT (letter case and trailing\n"
    "      blanks do not matter); when none is, the keys whose user id holds\n"
    "      TEXT anywhere, in any letter case (so 'alice' finds\n"
    "      'Alice <alice@example.org>').\n"
    "  orvak find RING --key-id HEX\n"
    "      Prints the keys with that key id: 16 hex digits, or the last 8 of\n"
    "      them (the short key id), with or without 0x.\n"
    "  orvak --version\n"
    "\n"
    "A ring is written to a temporary file beside it and put in place only when\n"
    "complete: a failed command never leaves it half written.\n"
    "Exit status: 0 done, 1 failed (message on standard error), 2 bad usage.\n"
    "\n"
    "example:\n"
    "  openssl genrsa -out alice.pem 1024\n"
    "  orvak add ring.pgp --pem alice.pem --user 'Alice <alice@example.org>'\n"
    "  orvak list ring.pgp\n"
    "  orvak find ring.pgp --user alice\n"
    "  orvak remove ring.pgp 'alice <alice@example.org>'\n";

int usageError(const std::string& message) {
  std::fprintf(stderr, "orvak: %s\nTry 'orvak --help'.\n", message.c_str());
  return 2;
}

int failure(const std::string& message) {
  std::fprintf(stderr, "orvak: %s\n", message.c_str());
  return 1;
}

std::string describe(const PublicKeyRecord& r) {
  const uint8_t* id = orvak::keyIdOf(r);
  const bool lengthsOk = orvak::hasValidLengths(r);
  const unsigned bits =
      lengthsOk ? orvak::mpiBitCount(r.modulus, static_cast<std::size_t>(r.modulusLength)) : 0;
  uint64_t exponent = 0;
  for (int32_t i = 0; lengthsOk && i < r.exponentLength; ++i) exponent = exponent << 8 | r.exponent[i];
  const CalendarTime& t = r.created;
  char line[160];
  std::snprintf(line, sizeof line, "%-16s  %4u  %8llu  %04d-%02d-%02d %02d:%02d:%02d  ",
                id ? lumbra::hexText(id, 8).c_str() : "-", bits, static_cast<unsigned long long>(exponent),
                t.year + 1900, t.month, t.day, t.hour, t.minute, t.second);
  char userId[32];
  GetIdFromPubkey(&r, userId);
  return line + std::string(userId);
}

// The same RSA key: equal modulus and exponent.
bool sameKey(const PublicKeyRecord& a, const PublicKeyRecord& b) {
  return orvak::hasValidLengths(a) && orvak::hasValidLengths(b) && a.modulusLength == b.modulusLength &&
         a.exponentLength == b.exponentLength &&
         std::memcmp(a.modulus, b.modulus, static_cast<std::size_t>(a.modulusLength)) == 0 &&
         std::memcmp(a.exponent, b.exponent, static_cast<std::size_t>(a.exponentLength)) == 0;
}

const char kHeading[] = "key id            bits  exponent  created (UTC)        user id\n";

// Loads the ring. When allowMissing, a ring that does not exist counts as
// empty and isNew tells so.
bool loadRing(const std::string& path, KeyList& list, bool allowMissing, int& exitCode,
              bool* isNew = nullptr) {
  int32_t status = 0;
  list = LoadPublicKeys(path.c_str(), &status);
  if (isNew != nullptr) *isNew = false;
  if (status == ORVAK_OK) return true;
  if (status == KEYRING_OPEN_FAILED) {
    const int error = tools::readError(path);
    if (allowMissing && error == ENOENT) {
      if (isNew != nullptr) *isNew = true;
      list = empty_publist();
      return true;
    }
    const std::string reason = error != 0 ? std::strerror(error) : orvak::statusInfo(status).text;
    exitCode = failure("cannot open key ring '" + path + "': " + reason);
  } else if (status == KEYRING_FORMAT_ERROR) {
    exitCode = failure("'" + path +
                       "' is not a key ring this tool can read (damaged, or holding a key over 1024 bits or "
                       "an exponent over 32 bits); it was left as it is");
  } else {
    exitCode = failure("cannot load '" + path + "': " + orvak::statusInfo(status).text);
  }
  return false;
}

int saveRing(KeyList list, const std::string& path, bool isNew = false) {
  const int32_t status = SavePublicKeys(list, path.c_str());
  if (status == ORVAK_OK) return 0;
  return failure("cannot save key ring '" + path + "': " + orvak::statusInfo(status).text +
                 (isNew ? " (no ring was created)" : " (the ring on disk is unchanged)"));
}

int listCommand(const std::vector<std::string>& args) {
  if (args.size() != 1) return usageError("list takes one argument: RING");
  KeyList list = nullptr;
  int exitCode = 0;
  if (!loadRing(args[0], list, false, exitCode)) return exitCode;
  std::fputs(kHeading, stdout);
  for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
    std::printf("%s\n", describe(*r).c_str());
  }
  std::printf("%d key%s\n", FindNumberOfKeys(list), FindNumberOfKeys(list) == 1 ? "" : "s");
  free_publist(list);
  return 0;
}

bool parseNumber(const std::string& text, std::size_t at, std::size_t n, int& out) {
  if (at + n > text.size()) return false;
  out = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

// DATE as YYYY-MM-DD, YYYY-MM-DDTHH:MM:SS (or a blank for T), or @SECONDS.
bool parseDate(const std::string& text, uint32_t& stamp) {
  if (!text.empty() && text[0] == '@') {
    if (text.size() < 2 || text.size() > 11) return false;
    uint64_t v = 0;
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (v > 0xFFFFFFFFu) return false;
    stamp = static_cast<uint32_t>(v);
    return true;
  }
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!parseNumber(text, 0, 4, year) || text.size() < 10 || text[4] != '-' ||
      !parseNumber(text, 5, 2, month) || text[7] != '-' || !parseNumber(text, 8, 2, day)) {
    return false;
  }
  if (text.size() != 10) {
    if (text.size() != 19 || (text[10] != 'T' && text[10] != ' ') || !parseNumber(text, 11, 2, hour) ||
        text[13] != ':' || !parseNumber(text, 14, 2, minute) || text[16] != ':' ||
        !parseNumber(text, 17, 2, second)) {
      return false;
    }
  }
  static const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1970 || year > 2106 || month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] ||
      hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  const CalendarTime t{second, minute, hour, day, month, year - 1900};
  stamp = orvak::calendarToTime(t);
  // Dates past the last time stamp wrap around: refuse them.
  return orvak::timeToCalendar(stamp).year == t.year && orvak::timeToCalendar(stamp).day == day;
}

int addCommand(const std::vector<std::string>& args) {
  if (args.empty()) return usageError("add needs RING --pem KEY.pem --user ID");
  std::string pem, user, created;
  bool haveUser = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i + 1 >= args.size()) return usageError("option '" + a + "' needs a value");
    if (a == "--pem") {
      pem = args[++i];
    } else if (a == "--user") {
      user = args[++i];
      haveUser = true;
    } else if (a == "--created") {
      created = args[++i];
    } else {
      return usageError("unknown option '" + a + "'");
    }
  }
  if (pem.empty() || !haveUser) return usageError("add needs --pem KEY.pem and --user ID");
  if (user.empty() || user.size() > orvak::kUserIdChars) {
    return failure("a user id has 1 to 31 characters; '" + user + "' has " + std::to_string(user.size()));
  }
  uint32_t stamp = static_cast<uint32_t>(std::time(nullptr));
  if (!created.empty() && !parseDate(created, stamp)) {
    return usageError("bad --created date '" + created +
                      "' (YYYY-MM-DD, YYYY-MM-DDTHH:MM:SS or @SECONDS, UTC, from 1970-01-01 to "
                      "2106-02-07T06:28:15)");
  }

  RsaPublicKey key;
  std::string error;
  if (!readRsaPublicKey(pem, key, error)) return failure(error);
  if (key.modulus.size() > sizeof(PublicKeyRecord::modulus)) {
    return failure("the modulus of '" + pem + "' has " + std::to_string(key.modulus.size() * 8) +
                   " bits; a key ring record holds at most 1024");
  }
  if (key.exponent.size() > sizeof(PublicKeyRecord::exponent)) {
    return failure("the exponent of '" + pem + "' has more than 32 bits");
  }

  KeyList list = nullptr;
  int exitCode = 0;
  bool isNew = false;
  if (!loadRing(args[0], list, true, exitCode, &isNew)) return exitCode;
  if (IsPublicKeyInList(list, user.c_str())) {
    free_publist(list);
    return failure("a key with user id '" + user + "' is already in '" + args[0] + "'");
  }
  PublicKeyRecord record{};
  record.modulusLength = static_cast<int32_t>(key.modulus.size());
  std::memcpy(record.modulus, key.modulus.data(), key.modulus.size());
  record.exponentLength = static_cast<int32_t>(key.exponent.size());
  if (!key.exponent.empty()) std::memcpy(record.exponent, key.exponent.data(), key.exponent.size());
  std::memcpy(record.userId, user.data(), user.size());
  record.created = orvak::timeToCalendar(stamp);
  for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
    if (sameKey(*r, record)) {
      char owner[32];
      GetIdFromPubkey(r, owner);
      std::fprintf(stderr, "orvak: warning: this key is already in '%s' under user id '%s'\n",
                   args[0].c_str(), owner);
    }
  }
  const int32_t before = FindNumberOfKeys(list);
  list = AddPublicKey(list, &record);
  if (FindNumberOfKeys(list) != before + 1) {
    free_publist(list);
    return failure("out of memory");
  }
  exitCode = saveRing(list, args[0], isNew);
  if (exitCode == 0 && isNew) std::fprintf(stderr, "orvak: created new key ring '%s'\n", args[0].c_str());
  if (exitCode == 0) std::printf("added  %s\n", describe(record).c_str());
  free_publist(list);
  return exitCode;
}

// A key id as 16 hex digits, or the short form of its last 8, with or without
// 0x: the number of bytes given (8 or 4, at the end of id), or 0 when the text
// is neither.
std::size_t parseKeyId(std::string text, uint8_t id[8]) {
  if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) text = text.substr(2);
  if (text.size() != 16 && text.size() != 8) return 0;
  const std::size_t bytes = text.size() / 2;
  if (!lumbra::readHexText(text, id + (8 - bytes))) return 0;
  return bytes;
}

bool hasKeyId(const PublicKeyRecord& r, const uint8_t id[8], std::size_t bytes) {
  const uint8_t* keyId = orvak::keyIdOf(r);
  return keyId != nullptr && std::memcmp(keyId + (8 - bytes), id + (8 - bytes), bytes) == 0;
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// True when text holds part anywhere, letters A-Z and a-z taken as equal.
bool containsFolded(const char* text, const std::string& part) {
  std::string folded(text), wanted(part);
  for (char& c : folded) c = lowerAscii(c);
  for (char& c : wanted) c = lowerAscii(c);
  return folded.find(wanted) != std::string::npos;
}

// The usage error of a --key-id argument that parseKeyId does not take.
int badKeyId(const std::string& text) {
  return usageError("a key id is 16 hex digits, or the last 8 of them; not '" + text + "'");
}

std::vector<const PublicKeyRecord*> keysWithId(KeyList list, const uint8_t id[8], std::size_t bytes) {
  std::vector<const PublicKeyRecord*> found;
  for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
    if (hasKeyId(*r, id, bytes)) found.push_back(r);
  }
  return found;
}

int removeCommand(const std::vector<std::string>& args) {
  const bool byKeyId = args.size() == 3 && args[1] == "--key-id";
  if (args.size() != 2 && !byKeyId) return usageError("remove takes RING and then ID or --key-id HEX");
  uint8_t id[8] = {};
  const std::size_t idBytes = byKeyId ? parseKeyId(args[2], id) : 0;
  if (byKeyId && idBytes == 0) {
    return badKeyId(args[2]);
  }
  KeyList list = nullptr;
  int exitCode = 0;
  if (!loadRing(args[0], list, false, exitCode)) return exitCode;
  std::string removed;
  if (byKeyId) {
    const std::vector<const PublicKeyRecord*> found = keysWithId(list, id, idBytes);
    if (found.size() != 1) {
      std::string owners;
      for (const PublicKeyRecord* r : found)
        owners += std::string(owners.empty() ? "" : ", ") + "'" + r->userId + "'";
      free_publist(list);
      if (found.empty()) return failure("no key with key id " + args[2] + " in '" + args[0] + "'");
      return failure(std::to_string(found.size()) + " keys have key id " + args[2] + " (" + owners +
                     "); remove one by its user id");
    }
    // Unlink exactly that record: another one may carry an equal user id.
    removed = found[0]->userId;
    if (found[0] == list) {
      list = rm_head_publist(list);
    } else {
      PublicKeyRecord* before = list;
      while (before->next != found[0]) before = before->next;
      before->next = rm_head_publist(before->next);
    }
  } else {
    if (!IsPublicKeyInList(list, args[1].c_str())) {
      free_publist(list);
      return failure("no key with user id '" + args[1] + "' in '" + args[0] + "'");
    }
    removed = args[1];
    list = RemovePublicKey(list, args[1].c_str());
  }
  exitCode = saveRing(list, args[0]);
  if (exitCode == 0) {
    std::printf("removed '%s'; %d key%s left\n", removed.c_str(), FindNumberOfKeys(list),
                FindNumberOfKeys(list) == 1 ? "" : "s");
  }
  free_publist(list);
  return exitCode;
}

int findCommand(const std::vector<std::string>& args) {
  if (args.size() != 3 || (args[1] != "--key-id" && args[1] != "--user")) {
    return usageError("find takes RING and then --key-id HEX or --user TEXT");
  }
  uint8_t id[8] = {};
  const bool byKeyId = args[1] == "--key-id";
  const std::size_t idBytes = byKeyId ? parseKeyId(args[2], id) : 0;
  if (byKeyId && idBytes == 0) {
    return badKeyId(args[2]);
  }
  KeyList list = nullptr;
  int exitCode = 0;
  if (!loadRing(args[0], list, false, exitCode)) return exitCode;
  std::vector<const PublicKeyRecord*> found;
  if (byKeyId) {
    found = keysWithId(list, id, idBytes);
  } else {
    // The user id itself first; only when no key has it, any that holds the text.
    const orvak::NormalizedId wanted = orvak::normalizeUserId(args[2].c_str());
    for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
      if (orvak::sameUserId(orvak::normalizeUserId(r->userId), wanted)) found.push_back(r);
    }
    if (found.empty() && !args[2].empty()) {
      for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
        if (containsFolded(r->userId, args[2])) found.push_back(r);
      }
    }
  }
  if (found.empty()) {
    free_publist(list);
    return failure(std::string("no key with ") + (byKeyId ? "key id " : "a user id like '") + args[2] +
                   (byKeyId ? "" : "'") + " in '" + args[0] + "'");
  }
  std::fputs(kHeading, stdout);
  for (const PublicKeyRecord* r : found) std::printf("%s\n", describe(*r).c_str());
  free_publist(list);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usageError("no command given");
  const std::string command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version") {
    std::fputs("orvak " SUITE_VERSION "\n", stdout);
    return 0;
  }
  args.erase(args.begin());
  if (command == "list") return listCommand(args);
  if (command == "add") return addCommand(args);
  if (command == "remove") return removeCommand(args);
  if (command == "find") return findCommand(args);
  return usageError("unknown command '" + command + "'");
}
