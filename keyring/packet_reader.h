// packet_reader.h -- reading a key ring: the stream routines, the public-key
// packet, and the walk that turns a ring's packets into a list in user-id order.
#pragma once

#include <cstdint>

#include "keyring/byte_source.h"
#include "keyring/orvak32.h"

namespace orvak {

// Each returns false when the data ends first.
bool readWord(ByteSource& in, uint16_t& value);
bool readLong(ByteSource& in, uint32_t& value);

// The length field that the CTB's length type selects; -1 for length type 3
// (nothing read).
bool readPacketLength(ByteSource& in, uint8_t ctb, int64_t& length);

// Moves past a packet's body, or to the end of the data when the body runs
// past it. KEYRING_FORMAT_ERROR when the packet has no length field or the
// data ends inside the length field.
int32_t skipPacket(ByteSource& in, uint8_t ctb);

// Reads the public-key packet at the current position into modulusLength,
// modulus, exponentLength, exponent and created. 0, or KEYRING_FORMAT_ERROR
// for another packet type, a modulus over 1024 bits, an exponent over 32 bits
// or data that ends inside the packet.
int32_t readPublicKeyPacket(ByteSource& in, PublicKeyRecord& record);

struct RingReadResult {
  int32_t status;  // 0, KEYRING_FORMAT_ERROR, or KEYRING_OPEN_FAILED when memory ran out
  KeyList list;    // empty unless status is 0
};

// The walk over a whole ring. The list comes out exactly as inserting each key
// in file order by the ordered insertion would leave it (equal user ids in
// reverse file order), reached by one sort instead of a walk per key.
RingReadResult readKeyRing(ByteSource& in);

}  // namespace orvak
