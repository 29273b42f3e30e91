// packet_reader.cpp -- the stream routines, public-key packets, and the key ring walk.
#include "keyring/packet_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "keyring/calendar.h"
#include "keyring/key_list.h"
#include "keyring/packet_format.h"

namespace orvak {

bool readWord(ByteSource& in, uint16_t& value) {
  uint8_t b[2];
  if (!in.read(b, 2)) return false;
  value = static_cast<uint16_t>(b[0] << 8 | b[1]);
  return true;
}

bool readLong(ByteSource& in, uint32_t& value) {
  uint16_t high = 0;
  uint16_t low = 0;
  if (!readWord(in, high) || !readWord(in, low)) return false;
  value = static_cast<uint32_t>(high) << 16 | low;
  return true;
}

bool readPacketLength(ByteSource& in, uint8_t ctb, int64_t& length) {
  switch (ctb & kLengthTypeMask) {
    case 0: {
      uint8_t b = 0;
      if (!in.readByte(b)) return false;
      length = b;
      return true;
    }
    case 1: {
      uint16_t w = 0;
      if (!readWord(in, w)) return false;
      length = w;
      return true;
    }
    case 2: {
      uint32_t l = 0;
      if (!readLong(in, l)) return false;
      length = l;
      return true;
    }
    default:
      length = -1;
      return true;
  }
}

int32_t skipPacket(ByteSource& in, uint8_t ctb) {
  int64_t length = 0;
  if (!readPacketLength(in, ctb, length) || length < 0) return KEYRING_FORMAT_ERROR;
  // A body that the data ends inside is passed over all the same: the walk
  // meets the end at its next CTB, where it decides whether that is an error.
  in.skip(static_cast<uint64_t>(length));
  return ORVAK_OK;
}

namespace {

// Reads one MPI of at most maxBytes number bytes into out; its byte count into length.
// Leading zero bytes (a bit count larger than the number needs) are dropped, so
// the record starts with a non-zero byte and saves back to the same bytes.
bool readMpi(ByteSource& in, uint8_t* out, int maxBytes, int32_t& length) {
  uint16_t bits = 0;
  if (!readWord(in, bits)) return false;
  const int bytes = (bits + 7) / 8;
  if (bytes > maxBytes) return false;
  if (!in.read(out, static_cast<std::size_t>(bytes))) return false;
  int zeros = 0;
  while (zeros < bytes && out[zeros] == 0) ++zeros;
  std::memmove(out, out + zeros, static_cast<std::size_t>(bytes - zeros));
  std::memset(out + (bytes - zeros), 0, static_cast<std::size_t>(zeros));
  length = bytes - zeros;
  return true;
}

}  // namespace

int32_t readPublicKeyPacket(ByteSource& in, PublicKeyRecord& record) {
  uint8_t ctb = 0;
  if (!in.readByte(ctb) || !isPublicKeyCtb(ctb)) return KEYRING_FORMAT_ERROR;
  int64_t unusedLength = 0;
  uint8_t version = 0;
  uint32_t timestamp = 0;
  uint8_t validityAndAlgorithm[3];
  if (!readPacketLength(in, ctb, unusedLength) || !in.readByte(version) || !readLong(in, timestamp) ||
      !in.read(validityAndAlgorithm, sizeof validityAndAlgorithm)) {
    return KEYRING_FORMAT_ERROR;
  }
  record.created = timeToCalendar(timestamp);
  if (!readMpi(in, record.modulus, kMaxModulusBytes, record.modulusLength) ||
      !readMpi(in, record.exponent, kMaxExponentBytes, record.exponentLength)) {
    return KEYRING_FORMAT_ERROR;
  }
  return ORVAK_OK;
}

namespace {

// Reads the user-id packet's length byte and text (the CTB already read); keeps
// the first 31 characters.
bool readUserId(ByteSource& in, PublicKeyRecord& record) {
  uint8_t length = 0;
  if (!in.readByte(length)) return false;
  uint8_t text[256];
  if (!in.read(text, length)) return false;
  const std::size_t kept = std::min<std::size_t>(length, kUserIdChars);
  std::memset(record.userId, 0, sizeof record.userId);
  std::memcpy(record.userId, text, kept);
  return true;
}

void releaseAll(std::vector<PublicKeyRecord*>& records) {
  for (PublicKeyRecord* r : records) releaseRecord(r);
  records.clear();
}

// The walk's steps 1 to 5; the records come out in file order.
int32_t walkRing(ByteSource& in, std::vector<PublicKeyRecord*>& records) {
  bool seenKey = false;
  PublicKeyRecord working{};
  for (;;) {
    uint8_t ctb = 0;
    if (!in.readByte(ctb)) return ORVAK_OK;
    if (!isPublicKeyCtb(ctb)) {
      if (!seenKey) return KEYRING_FORMAT_ERROR;
      if (const int32_t s = skipPacket(in, ctb); s != ORVAK_OK) return s;
      continue;
    }
    seenKey = true;
    in.unread();
    working = PublicKeyRecord{};
    if (const int32_t s = readPublicKeyPacket(in, working); s != ORVAK_OK) return s;
    // Packets between a key and its user id are passed over, but never the
    // next key's: its user id would be taken for this key and that key lost.
    for (;;) {
      if (!in.readByte(ctb)) return KEYRING_FORMAT_ERROR;
      if (isUserIdCtb(ctb)) break;
      if (isPublicKeyCtb(ctb)) return KEYRING_FORMAT_ERROR;
      if (const int32_t s = skipPacket(in, ctb); s != ORVAK_OK) return s;
    }
    if (!readUserId(in, working)) return KEYRING_FORMAT_ERROR;
    records.push_back(nullptr);  // room first, so a failed growth leaks no record
    records.back() = newRecordCopy(working);
    if (records.back() == nullptr) {
      records.pop_back();
      return KEYRING_OPEN_FAILED;
    }
  }
}

}  // namespace

namespace {

// A record with the first 16 case-folded bytes of its user id packed
// big-endian, so most comparisons of the sort never touch the record itself.
struct SortEntry {
  uint64_t prefix[2];
  PublicKeyRecord* record;
};

SortEntry sortEntryFor(PublicKeyRecord* record) {
  SortEntry e{{0, 0}, record};
  bool ended = false;
  for (std::size_t i = 0; i < 16; ++i) {
    auto c = static_cast<unsigned char>(record->userId[i]);
    if (c == 0) ended = true;
    if (ended) c = 0;
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    e.prefix[i / 8] = e.prefix[i / 8] << 8 | c;
  }
  return e;
}

bool comesBefore(const SortEntry& a, const SortEntry& b) {
  if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0];
  if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1];
  return compareUserIds(a.record->userId, b.record->userId) < 0;
}

}  // namespace

RingReadResult readKeyRing(ByteSource& in) {
  std::vector<PublicKeyRecord*> records;
  try {
    const int32_t status = walkRing(in, records);
    if (status != ORVAK_OK) {
      releaseAll(records);
      return {status, nullptr};
    }
    // Inserting in file order puts a key in front of every equal one already
    // there: a stable sort of the reversed file order gives the same list.
    std::vector<SortEntry> order;
    order.reserve(records.size());
    for (auto it = records.rbegin(); it != records.rend(); ++it) order.push_back(sortEntryFor(*it));
    std::stable_sort(order.begin(), order.end(), comesBefore);
    for (std::size_t i = 0; i < order.size(); ++i) records[i] = order[i].record;
  } catch (const std::bad_alloc&) {
    releaseAll(records);
    return {KEYRING_OPEN_FAILED, nullptr};
  }
  KeyList list = nullptr;
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    (*it)->next = list;
    list = *it;
  }
  return {ORVAK_OK, list};
}

}  // namespace orvak
