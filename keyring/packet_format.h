// packet_format.h -- the key ring file's byte layout, shared by reader and writer.
//
// All integers are unsigned and big-endian. Every packet begins with a cipher
// type byte (CTB):
//   bit 7      1 when written, ignored when read
//   bit 6      0 when written, ignored when read
//   bits 5-2   packet type: 6 public key (ctb & 0x3C == 0x18), 13 user id (0x34)
//   bits 1-0   length type: 0 one-byte length, 1 two-byte, 2 four-byte, 3 none
// The length counts the body bytes after the length field.
//
// MPI: 2-byte bit count, then (bits + 7) / 8 bytes of the number, big-endian.
//
// Public-key packet as written (a 1024-bit modulus with a 1-byte exponent is
// 144 bytes, body length 141):
//   0      1   CTB 0x99
//   1      2   body length: modulusLength + exponentLength + 12 (mod 65536)
//   3      1   version 2
//   4      4   time stamp, seconds since 1970-01-01 00:00:00 UTC
//   8      2   validity in days
//   10     1   algorithm 1 (RSA)
//   11     2+m MPI n: bit count of the modulus bytes, all modulusLength bytes
//   13+m   2+e MPI e: bit count b of the exponent bytes, the last (b+7)/8 of them
//
// User-id packet as written: CTB 0xB4, one length byte n (text length mod 256),
// n bytes of text without NUL.
//
// As read: a public-key packet of any length type; its length field is read
// and not used; version, validity and algorithm are passed over; the packet is
// taken to end after the exponent's bytes. A user-id packet always has one
// length byte, whatever its CTB's length type. Any other packet is skipped by
// its length field, except between a key and its user id: a public-key packet
// met there ends the read with a format error.
#pragma once

#include <cstdint>

namespace orvak {

inline constexpr uint8_t kTypeMask = 0x3C;
inline constexpr uint8_t kPublicKeyType = 0x18;  // packet type 6
inline constexpr uint8_t kUserIdType = 0x34;     // packet type 13
inline constexpr uint8_t kLengthTypeMask = 0x03;
inline constexpr uint8_t kNoLengthField = 3;

inline constexpr uint8_t kPublicKeyCtb = 0x99;  // type 6, 2-byte length
inline constexpr uint8_t kUserIdCtb = 0xB4;     // type 13, 1-byte length
inline constexpr uint8_t kKeyVersion = 2;
inline constexpr uint8_t kRsaAlgorithm = 1;
inline constexpr int kKeyBodyOverhead = 12;  // body bytes besides the MPIs' number bytes

inline constexpr int kMaxModulusBytes = 128;  // 1024 bits, what a record holds
inline constexpr int kMaxExponentBytes = 4;   // 32 bits

inline bool isPublicKeyCtb(uint8_t ctb) { return (ctb & kTypeMask) == kPublicKeyType; }
inline bool isUserIdCtb(uint8_t ctb) { return (ctb & kTypeMask) == kUserIdType; }

}  // namespace orvak
