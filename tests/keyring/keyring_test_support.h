// keyring_test_support.h -- records, rings and scratch files for the key ring tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "keyring/orvak32.h"
#include "tests/support/temp_dir.h"

namespace keyring_test {

using Bytes = std::vector<uint8_t>;

// A record with an n-byte modulus whose bytes are seed, seed+1, ... (first byte
// forced non-zero), exponent 17 in one byte.
inline PublicKeyRecord makeRecord(const char* userId, int modulusBytes = 128, uint8_t seed = 1) {
  PublicKeyRecord r{};
  r.modulusLength = modulusBytes;
  for (int i = 0; i < modulusBytes; ++i) r.modulus[i] = static_cast<uint8_t>(seed + i);
  if (modulusBytes > 0) r.modulus[0] |= 0x80;
  r.exponentLength = 1;
  r.exponent[0] = 17;
  std::strncpy(r.userId, userId, sizeof r.userId - 1);
  r.created = CalendarTime{9, 42, 10, 13, 5, 95};
  return r;
}

// Builds a list holding copies of the records in the given order.
inline KeyList listOf(const std::vector<PublicKeyRecord>& records) {
  KeyList list = empty_publist();
  for (auto it = records.rbegin(); it != records.rend(); ++it) list = cons_publist(&*it, list);
  return list;
}

inline std::vector<std::string> userIds(KeyList list) {
  std::vector<std::string> ids;
  for (PublicKeyRecord* r = head_publist(list); r != nullptr; r = head_publist(r->next))
    ids.emplace_back(r->userId);
  return ids;
}

inline Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::filesystem::path testData(const char* name) {
  return std::filesystem::path(SUITE_TESTDATA_DIR) / "pgp2" / name;
}

using suite_test::TempDir;

// Packet builders for hand-made rings.
inline void putWord(Bytes& b, unsigned v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
inline void putLong(Bytes& b, uint32_t v) {
  putWord(b, v >> 16);
  putWord(b, v & 0xFFFF);
}

// A public-key packet: ctb of any length type, n of modBits bits, e given as bytes.
inline Bytes keyPacket(uint8_t ctb, unsigned modBits, const Bytes& exponent, unsigned expBits,
                       uint32_t timestamp = 0x316C2E64, uint8_t seed = 0x11) {
  Bytes body;
  body.push_back(3);  // version
  putLong(body, timestamp);
  putWord(body, 0);   // validity
  body.push_back(1);  // algorithm
  putWord(body, modBits);
  const unsigned modBytes = (modBits + 7) / 8;
  for (unsigned i = 0; i < modBytes; ++i) body.push_back(static_cast<uint8_t>(seed + i));
  if (modBytes > 0) body[10] = 0xFF >> ((8 - modBits % 8) % 8);  // top byte holds exactly the bit count
  putWord(body, expBits);
  body.insert(body.end(), exponent.begin(), exponent.end());
  Bytes p{ctb};
  switch (ctb & 3) {
    case 0:
      p.push_back(static_cast<uint8_t>(body.size()));
      break;
    case 1:
      putWord(p, static_cast<unsigned>(body.size()));
      break;
    case 2:
      putLong(p, static_cast<uint32_t>(body.size()));
      break;
    default:
      break;
  }
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

inline Bytes userIdPacket(const std::string& text, uint8_t ctb = 0xB4) {
  Bytes p{ctb, static_cast<uint8_t>(text.size())};
  p.insert(p.end(), text.begin(), text.end());
  return p;
}

// Any other packet with a one-byte (ctb & 3 == 0) or two-byte length.
inline Bytes otherPacket(uint8_t ctb, std::size_t bodyLength) {
  Bytes p{ctb};
  if ((ctb & 3) == 0) {
    p.push_back(static_cast<uint8_t>(bodyLength));
  } else {
    putWord(p, static_cast<unsigned>(bodyLength));
  }
  p.insert(p.end(), bodyLength, 0x5A);
  return p;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

}  // namespace keyring_test
