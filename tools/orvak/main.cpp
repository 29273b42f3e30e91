// main.cpp -- orvak: list, add, remove and find keys in a PGP 2.x public key ring.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "cli/command_line.h"
#include "keyring/calendar.h"
#include "keyring/key_list.h"
#include "keyring/orvak32.h"
#include "keyring/packet_writer.h"
#include "keyring/ring_ops.h"
#include "keyring/status.h"
#include "tools/common/cp1252.h"
#include "protocol/hex.h"
#include "tools/common/file_reason.h"
#include "tools/orvak/ring_survey.h"
#include "tools/orvak/rsa_key.h"
#include "tools/orvak/transfer.h"

#include "suite_version.h"
#include "tools/common/json.h"

namespace {


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
  return line + tools::windows1252ToUtf8(userId);
}

// The same RSA key: equal modulus and exponent.
bool sameKey(const PublicKeyRecord& a, const PublicKeyRecord& b) {
  return orvak::hasValidLengths(a) && orvak::hasValidLengths(b) && a.modulusLength == b.modulusLength &&
         a.exponentLength == b.exponentLength &&
         std::memcmp(a.modulus, b.modulus, static_cast<std::size_t>(a.modulusLength)) == 0 &&
         std::memcmp(a.exponent, b.exponent, static_cast<std::size_t>(a.exponentLength)) == 0;
}

using orvak::tool::RingSurvey;
using tools::jsonString;
using orvak::tool::surveyRing;

// The whole file; false with the system's reason.
bool readRingBytes(const std::string& path, std::string& bytes, std::string& reason) {
  if (const std::string why = tools::readErrorText(path); !why.empty()) {
    reason = why;
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    reason = std::strerror(errno);
    return false;
  }
  return true;
}

// Before a ring is saved over: a ring this library did not write may hold
// what a save leaves out (signatures, further user ids, trust packets), user
// ids longer than a record holds, and key packets of other versions. Such a
// ring is refused unless `force`; then the old ring is kept as RING~. 0 to go
// on, else the exit status.
int guardRing(const std::string& path, bool force) {
  std::string bytes, reason;
  if (!readRingBytes(path, bytes, reason)) return failure("cannot read key ring '" + path + "': " + reason);
  const RingSurvey survey = surveyRing(bytes);
  if (!survey.losses.any()) return 0;
  const std::vector<std::string> losses = orvak::tool::describeLosses(survey);
  const std::string backup = path + "~";
  if (!force) {
    std::string text = "'" + path + "' was not written by this tool; saving it would:";
    for (const std::string& line : losses) text += "\n  " + line;
    text += "\nnothing was changed; --force saves it all the same and keeps the old ring as '" + backup + "'";
    return failure(text);
  }
  std::ofstream out(backup, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    return failure("cannot keep the old ring as '" + backup + "': " + std::strerror(errno) +
                   "; nothing was changed");
  }
  for (const std::string& line : losses) std::fprintf(stderr, "orvak: --force: %s\n", line.c_str());
  std::fprintf(stderr, "orvak: the old ring is kept as '%s'\n", backup.c_str());
  return 0;
}

// The whole user id of a record whose id the library cut, from the file's survey; empty when not cut.
std::string wholeUserId(const PublicKeyRecord& r, const RingSurvey& survey) {
  if (!orvak::hasValidLengths(r)) return {};
  const uint32_t created = orvak::calendarToTime(r.created);
  for (const std::size_t i : survey.losses.cutUserIds) {
    const orvak::tool::SurveyKey& key = survey.keys[i];
    if (key.created == created && key.userId.compare(0, orvak::tool::kRecordUserIdChars, r.userId) == 0 &&
        key.modulus.size() == static_cast<std::size_t>(r.modulusLength) &&
        std::equal(key.modulus.begin(), key.modulus.end(), r.modulus) &&
        key.exponent.size() == static_cast<std::size_t>(r.exponentLength) &&
        std::equal(key.exponent.begin(), key.exponent.end(), r.exponent)) {
      return key.userId;
    }
  }
  return {};
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
    std::string bytes, reason;
    const RingSurvey survey = readRingBytes(path, bytes, reason) ? surveyRing(bytes) : RingSurvey{};
    if (!survey.readable) {
      exitCode = failure("'" + path + "' is not a key ring this tool can read: at byte " +
                         std::to_string(survey.failedAt) + ", " + survey.reason);
    } else {
      exitCode = failure("'" + path + "' is not a key ring this tool can read");
    }
  } else {
    exitCode = failure("cannot load '" + path + "': " + orvak::statusInfo(status).text);
  }
  return false;
}

// Why a file cannot be made in the folder of path: the system's reason for a
// trial file made there and removed at once; empty when one can be made.
std::string folderReason(const std::string& path) {
  const auto slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string trial = folder + "/.orvak-XXXXXX";
  const int fd = ::mkstemp(trial.data());
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  ::unlink(trial.c_str());
  return {};
}

int saveRing(KeyList list, const std::string& path, bool isNew = false) {
  errno = 0;
  const int32_t status = SavePublicKeys(list, path.c_str());
  if (status == ORVAK_OK) return 0;
  const int error = errno;
  // The system's reason: the folder's, when a file cannot be made there, else
  // the last one the save met.
  std::string reason = folderReason(path);
  if (reason.empty() && error != 0) reason = std::strerror(error);
  return failure("cannot save key ring '" + path + "': " + orvak::statusInfo(status).text +
                 (reason.empty() ? "" : " (" + reason + ")") +
                 (isNew ? "; no ring was created" : "; the ring on disk is unchanged"));
}

// One key as a JSON object.
std::string jsonKey(const PublicKeyRecord& r, const std::string& whole) {
  const uint8_t* id = orvak::keyIdOf(r);
  const bool lengthsOk = orvak::hasValidLengths(r);
  const unsigned bits = lengthsOk ? orvak::mpiBitCount(r.modulus, static_cast<std::size_t>(r.modulusLength)) : 0;
  uint64_t exponent = 0;
  for (int32_t i = 0; lengthsOk && i < r.exponentLength; ++i) exponent = exponent << 8 | r.exponent[i];
  const CalendarTime& t = r.created;
  char created[32];
  std::snprintf(created, sizeof created, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year + 1900, t.month, t.day, t.hour,
                t.minute, t.second);
  std::string out = "{\"keyId\": " + (id ? jsonString(lumbra::hexText(id, 8)) : std::string("null")) +
                    ", \"bits\": " + std::to_string(bits) + ", \"exponent\": " + std::to_string(exponent) +
                    ", \"created\": " + jsonString(created) +
                    ", \"userId\": " + jsonString(tools::windows1252ToUtf8(r.userId));
  if (!whole.empty()) out += ", \"userIdInRing\": " + jsonString(tools::windows1252ToUtf8(whole));
  return out + "}";
}

int listCommand(const std::string& ring, bool json) {
  KeyList list = nullptr;
  int exitCode = 0;
  if (!loadRing(ring, list, false, exitCode)) return exitCode;
  std::string bytes, reason;
  const RingSurvey survey = readRingBytes(ring, bytes, reason) ? surveyRing(bytes) : RingSurvey{};
  if (json) {
    std::string out = "[";
    for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
      out += std::string(r == list ? "\n  " : ",\n  ") + jsonKey(*r, wholeUserId(*r, survey));
    }
    out += list == nullptr ? "]\n" : "\n]\n";
    std::fputs(out.c_str(), stdout);
    free_publist(list);
    return 0;
  }
  std::fputs(kHeading, stdout);
  std::size_t cut = 0;
  for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
    const std::string whole = wholeUserId(*r, survey);
    std::string line = describe(*r);
    if (!whole.empty()) {
      line += "+  (cut: " + std::to_string(whole.size()) + " characters in the ring)";
      ++cut;
    }
    std::printf("%s\n", line.c_str());
  }
  std::printf("%d key%s\n", FindNumberOfKeys(list), FindNumberOfKeys(list) == 1 ? "" : "s");
  if (cut > 0) {
    std::printf("+ %zu user id%s cut to %zu characters, what a record holds; a save keeps only the cut form\n",
                cut, cut == 1 ? "" : "s", orvak::tool::kRecordUserIdChars);
  }
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

int addCommand(const std::string& ring, const std::string& pem, const std::string& user,
               const std::string& created, bool force) {
  if (user.empty() || user.size() > orvak::kUserIdChars) {
    return failure("a user id has 1 to 31 characters; '" + user + "' has " + std::to_string(user.size()));
  }
  uint32_t stamp = static_cast<uint32_t>(std::time(nullptr));
  if (!created.empty() && !parseDate(created, stamp)) {
    return usageError("--created: bad date '" + created +
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
  if (!loadRing(ring, list, true, exitCode, &isNew)) return exitCode;
  if (IsPublicKeyInList(list, user.c_str())) {
    free_publist(list);
    return failure("a key with user id '" + user + "' is already in '" + ring + "'");
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
      char ownerBytes[32];
      GetIdFromPubkey(r, ownerBytes);
      const std::string owner = tools::windows1252ToUtf8(ownerBytes);
      std::fprintf(stderr, "orvak: warning: this key is already in '%s' under user id '%s'\n",
                   ring.c_str(), owner.c_str());
    }
  }
  const int32_t before = FindNumberOfKeys(list);
  list = AddPublicKey(list, &record);
  if (FindNumberOfKeys(list) != before + 1) {
    free_publist(list);
    return failure("out of memory");
  }
  if (!isNew) {
    if (const int refused = guardRing(ring, force); refused != 0) {
      free_publist(list);
      return refused;
    }
  }
  exitCode = saveRing(list, ring, isNew);
  if (exitCode == 0 && isNew) std::fprintf(stderr, "orvak: created new key ring '%s'\n", ring.c_str());
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

int removeCommand(const std::string& ring, std::string userId, const std::string& typedUserId,
                  const std::string& keyIdText, bool force) {
  const bool byKeyId = !keyIdText.empty();
  uint8_t id[8] = {};
  const std::size_t idBytes = byKeyId ? parseKeyId(keyIdText, id) : 0;
  if (byKeyId && idBytes == 0) {
    return badKeyId(keyIdText);
  }
  KeyList list = nullptr;
  int exitCode = 0;
  if (!loadRing(ring, list, false, exitCode)) return exitCode;
  std::string removed;
  if (byKeyId) {
    const std::vector<const PublicKeyRecord*> found = keysWithId(list, id, idBytes);
    if (found.size() != 1) {
      std::string owners;
      for (const PublicKeyRecord* r : found)
        owners += std::string(owners.empty() ? "" : ", ") + "'" + tools::windows1252ToUtf8(r->userId) + "'";
      free_publist(list);
      if (found.empty()) return failure("no key with key id " + keyIdText + " in '" + ring + "'");
      return failure(std::to_string(found.size()) + " keys have key id " + keyIdText + " (" + owners +
                     "); remove one by its user id");
    }
    // Unlink exactly that record: another one may carry an equal user id.
    removed = tools::windows1252ToUtf8(found[0]->userId);
    if (found[0] == list) {
      list = rm_head_publist(list);
    } else {
      PublicKeyRecord* before = list;
      while (before->next != found[0]) before = before->next;
      before->next = rm_head_publist(before->next);
    }
  } else {
    // A ring written before user ids were kept in Windows-1252 may hold the typed bytes.
    if (!IsPublicKeyInList(list, userId.c_str()) && IsPublicKeyInList(list, typedUserId.c_str())) {
      userId = typedUserId;
    }
    if (!IsPublicKeyInList(list, userId.c_str())) {
      free_publist(list);
      return failure("no key with user id '" + typedUserId + "' in '" + ring + "'");
    }
    for (const PublicKeyRecord* r = list; r != nullptr && removed.empty(); r = r->next) {
      if (orvak::sameUserId(orvak::normalizeUserId(r->userId), orvak::normalizeUserId(userId.c_str()))) {
        removed = tools::windows1252ToUtf8(r->userId);
      }
    }
    list = RemovePublicKey(list, userId.c_str());
  }
  if (const int refused = guardRing(ring, force); refused != 0) {
    free_publist(list);
    return refused;
  }
  exitCode = saveRing(list, ring);
  if (exitCode == 0) {
    std::printf("removed '%s'; %d key%s left\n", removed.c_str(), FindNumberOfKeys(list),
                FindNumberOfKeys(list) == 1 ? "" : "s");
  }
  free_publist(list);
  return exitCode;
}

int findCommand(const std::string& ring, const std::string& text, const std::string& typedText, bool byKeyId) {
  uint8_t id[8] = {};
  const std::size_t idBytes = byKeyId ? parseKeyId(text, id) : 0;
  if (byKeyId && idBytes == 0) {
    return badKeyId(text);
  }
  KeyList list = nullptr;
  int exitCode = 0;
  if (!loadRing(ring, list, false, exitCode)) return exitCode;
  std::vector<const PublicKeyRecord*> found;
  if (byKeyId) {
    found = keysWithId(list, id, idBytes);
  } else {
    // The user id itself first; only when no key has it, any that holds the
    // text. The typed bytes too, for a ring written before user ids were
    // kept in Windows-1252.
    for (const std::string& candidate : {text, typedText}) {
      const orvak::NormalizedId wanted = orvak::normalizeUserId(candidate.c_str());
      for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
        if (orvak::sameUserId(orvak::normalizeUserId(r->userId), wanted)) found.push_back(r);
      }
      if (found.empty() && !candidate.empty()) {
        for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
          if (containsFolded(r->userId, candidate)) found.push_back(r);
        }
      }
      if (!found.empty()) break;
    }
  }
  if (found.empty()) {
    free_publist(list);
    return failure(std::string("no key with ") + (byKeyId ? "key id " : "a user id like '") +
                   (byKeyId ? text : typedText) + (byKeyId ? "" : "'") + " in '" + ring + "'");
  }
  std::fputs(kHeading, stdout);
  for (const PublicKeyRecord* r : found) std::printf("%s\n", describe(*r).c_str());
  free_publist(list);
  return 0;
}

// The keys of a key file (binary packets or ASCII armour) added to the ring,
// each that a record can hold; every other refused with its reason.
int importCommand(const std::string& ring, const std::string& file, bool force) {
  std::string text, reason;
  if (!readRingBytes(file, text, reason)) return failure("cannot read key file '" + file + "': " + reason);
  std::string packets;
  if (!orvak::tool::dearmor(text, packets, reason)) return failure("'" + file + "': " + reason + "; nothing imported");
  std::vector<orvak::tool::ImportedKey> keys;
  std::size_t offset = 0;
  if (!orvak::tool::readKeyFile(packets, keys, reason, offset)) {
    return failure("'" + file + "' cannot be read: at byte " + std::to_string(offset) + " of its packets, " +
                   reason + "; nothing imported");
  }
  if (keys.empty()) return failure("'" + file + "' holds no public key; nothing imported");
  KeyList list = nullptr;
  int exitCode = 0;
  bool isNew = false;
  if (!loadRing(ring, list, true, exitCode, &isNew)) return exitCode;
  std::vector<const orvak::tool::ImportedKey*> taken;
  std::size_t refused = 0;
  for (orvak::tool::ImportedKey& key : keys) {
    if (key.taken && IsPublicKeyInList(list, key.record.userId)) {
      key.taken = false;
      key.reason = "a key with this user id is already in '" + ring + "'";
    }
    if (!key.taken) {
      std::fprintf(stderr, "orvak: not imported: the key at byte %zu%s: %s\n", key.offset,
                   key.userId.empty() ? "" : (" ('" + tools::windows1252ToUtf8(key.userId) + "')").c_str(),
                   key.reason.c_str());
      ++refused;
      continue;
    }
    const int32_t before = FindNumberOfKeys(list);
    list = AddPublicKey(list, &key.record);
    if (FindNumberOfKeys(list) != before + 1) {
      free_publist(list);
      return failure("out of memory; nothing imported");
    }
    taken.push_back(&key);
  }
  if (taken.empty()) {
    free_publist(list);
    return failure("nothing imported from '" + file + "'");
  }
  if (!isNew) {
    if (const int status = guardRing(ring, force); status != 0) {
      free_publist(list);
      return status;
    }
  }
  exitCode = saveRing(list, ring, isNew);
  free_publist(list);
  if (exitCode != 0) return exitCode;
  for (const auto* key : taken) std::printf("imported  %s\n", describe(key->record).c_str());
  std::printf("%zu key%s imported, %zu refused\n", taken.size(), taken.size() == 1 ? "" : "s", refused);
  return refused == 0 ? 0 : 1;
}

// The keys with a key id or a user id, as packets or ASCII armour, on standard output.
int exportCommand(const std::string& ring, const std::string& which, const std::string& typedWhich, bool armored) {
  KeyList list = nullptr;
  int exitCode = 0;
  if (!loadRing(ring, list, false, exitCode)) return exitCode;
  std::vector<const PublicKeyRecord*> found;
  uint8_t id[8] = {};
  if (const std::size_t bytes = parseKeyId(typedWhich, id); bytes != 0) found = keysWithId(list, id, bytes);
  for (const std::string& candidate : {which, typedWhich}) {
    if (!found.empty()) break;
    const orvak::NormalizedId wanted = orvak::normalizeUserId(candidate.c_str());
    for (const PublicKeyRecord* r = list; r != nullptr; r = r->next) {
      if (orvak::sameUserId(orvak::normalizeUserId(r->userId), wanted)) found.push_back(r);
    }
  }
  std::string packets;
  for (const PublicKeyRecord* r : found) packets += orvak::tool::keyPackets(*r);
  free_publist(list);
  if (found.empty()) return failure("no key with key id or user id '" + typedWhich + "' in '" + ring + "'");
  if (!armored && isatty(STDOUT_FILENO)) {
    return failure("the key is binary packets: send them to a file (> FILE), or ask for --armor");
  }
  const std::string out = armored ? orvak::tool::armor(packets, SUITE_VERSION) : packets;
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
    return failure(std::string("cannot write the key: ") + std::strerror(errno));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Manages a key ring file of RSA public keys in PGP 2.x packets (one public-key packet and one "
               "user-id packet a key).",
               "orvak"};
  app.require_subcommand(1);
  std::string ring, pem, user, created, keyId;
  bool force = false;
  const char* const forceText = "save over what the ring holds beyond one key packet and one user id a key; "
                                "the old ring is kept as RING~";
  const char* const keyIdText = "16 hex digits, or the last 8 of them (the short key id), with or without 0x";

  CLI::App* list = app.add_subcommand("list", "One line a key, in the ring's order (user-id order): key id "
                                              "(last 8 bytes of the modulus, hex), modulus bits, exponent, "
                                              "creation time (UTC), user id.");
  list->add_option("RING", ring, "the key ring file")->required();
  bool json = false;
  list->add_flag("--json", json,
                 "one JSON array: an object a key with keyId, bits, exponent, created (UTC), userId (as the "
                 "record holds it) and userIdInRing (whole, when the ring holds a longer one)");

  CLI::App* add = app.add_subcommand(
      "add", "Adds the RSA key of KEY.pem (PEM or DER; a public key, or a private key whose public half is "
             "taken) under a user id not yet in the ring. The modulus may have at most 1024 bits and the "
             "exponent at most 32. A RING that does not exist yet is created. A key already in the ring "
             "under another user id is added all the same, with a warning.");
  add->add_option("RING", ring, "the key ring file")->required();
  add->add_option("--pem", pem, "the key file")->required();
  add->add_option("--user", user, "the user id, 1 to 31 characters")->required();
  add->add_option("--created", created,
                  "creation time, UTC: YYYY-MM-DD, YYYY-MM-DDTHH:MM:SS or @SECONDS since 1970, from "
                  "1970-01-01 to 2106-02-07T06:28:15; now when left out");
  add->add_flag("--force", force, forceText);

  CLI::App* remove = app.add_subcommand(
      "remove", "Removes the key with user id ID (letter case A to Z and trailing blanks do not matter), or "
                "the key with a key id (refused when several keys have it).");
  remove->add_option("RING", ring, "the key ring file")->required();
  CLI::Option* removeUser = remove->add_option("ID", user, "the user id of the key to remove");
  CLI::Option* removeKey = remove->add_option("--key-id", keyId, keyIdText);
  removeUser->excludes(removeKey);
  remove->add_flag("--force", force, forceText);

  CLI::App* find = app.add_subcommand(
      "find", "Prints the keys whose user id is TEXT (letter case A to Z and trailing blanks do not matter); "
              "when none is, the keys whose user id holds TEXT anywhere, in any letter case A to Z (so 'alice' "
              "finds 'Alice <alice@example.org>'); or the keys with a key id.");
  find->add_option("RING", ring, "the key ring file")->required();
  CLI::Option* findUser = find->add_option("--user", user, "the user id, or a part of it");
  CLI::Option* findKey = find->add_option("--key-id", keyId, keyIdText);
  findUser->excludes(findKey);

  std::string keyFile, which;
  bool armored = false;
  CLI::App* import = app.add_subcommand(
      "import", "Adds the keys of FILE (binary packets, or ASCII armour) that a record can hold: an RSA key "
                "of version 2 or 3, a modulus of at most 1024 bits, an exponent of at most 32, a first user id "
                "of 1 to 31 characters not yet in the ring. Every other key is refused with its reason; "
                "signatures and further user ids are not kept. A RING that does not exist yet is created.");
  import->add_option("RING", ring, "the key ring file")->required();
  import->add_option("FILE", keyFile, "the key file")->required();
  import->add_flag("--force", force, forceText);
  CLI::App* exportKeys = app.add_subcommand(
      "export", "Writes the keys with a key id (16 hex digits, or the last 8) or a user id to standard "
                "output: a version-2 key packet and a user-id packet a key, or ASCII armour.");
  exportKeys->add_option("RING", ring, "the key ring file")->required();
  exportKeys->add_option("KEY", which, "KEYID or USER")->required();
  exportKeys->add_flag("--armor", armored, "ASCII armour (base64 lines and a CRC-24) instead of binary packets");

  app.footer(
      "A ring is written to a temporary file beside it and put in place only when complete: a failed "
      "command never leaves it half written. A ring holds one version-2 key packet and one user id of at "
      "most 31 characters a key: add and remove refuse a ring that holds more (signatures, further user "
      "ids, trust packets, longer user ids, other key versions: a ring this tool did not write), saying "
      "what a save would lose; with --force they save all the same and keep the old ring as RING~. list "
      "marks with '+' a user id that was cut. User ids are kept in Windows-1252, one byte a character (the "
      "terminal's UTF-8 is converted both ways): at most 31 characters; when ids are compared, letter case "
      "is folded for A to Z only, as the library compares them.\n"
      "Exit status: 0 done, 1 failed (the reason on standard error), 2 wrong command line.\n\n"
      "Example:\n"
      "  openssl genrsa -out alice.pem 1024\n"
      "  orvak add ring.pgp --pem alice.pem --user 'Alice <alice@example.org>'\n"
      "  orvak list ring.pgp\n"
      "  orvak find ring.pgp --user alice\n"
      "  orvak remove ring.pgp 'alice <alice@example.org>'");
  cli::applyConventions(app, SUITE_VERSION);
  if (const cli::Outcome outcome = cli::parse(app, argc, argv); !outcome.proceed) return outcome.exitStatus;

  // User ids are kept in Windows-1252, one byte a character, as the library
  // counts and compares them; a typed text that is not UTF-8 goes as it is.
  std::string typedUser = user;
  if (!user.empty()) {
    std::string error;
    const auto converted = tools::utf8ToWindows1252(user, error);
    if (!converted) return failure("user id '" + user + "': " + error + "; a user id is kept in Windows-1252");
    user = *converted;
  }
  if (list->parsed()) return listCommand(ring, json);
  if (import->parsed()) return importCommand(ring, keyFile, force);
  if (exportKeys->parsed()) {
    std::string error;
    const auto converted = tools::utf8ToWindows1252(which, error);
    return exportCommand(ring, converted ? *converted : which, which, armored);
  }
  if (add->parsed()) return addCommand(ring, pem, user, created, force);
  if (remove->parsed()) {
    if (removeUser->count() == 0 && removeKey->count() == 0) return usageError("remove: give ID or --key-id");
    return removeCommand(ring, user, typedUser, keyId, force);
  }
  if (findUser->count() == 0 && findKey->count() == 0) return usageError("find: give --user or --key-id");
  return findCommand(ring, findKey->count() > 0 ? keyId : user, typedUser, findKey->count() > 0);
}
