// packet_writer.h -- writing a key ring: MPI bit counts, the public-key packet
// and the user-id packet as written (layout in packet_format.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "keyring/orvak32.h"

namespace orvak {

// 8 times the length minus the zero bits before the first 1 bit; 0 for an
// empty string or one of zero bytes.
uint16_t mpiBitCount(const uint8_t* bytes, std::size_t length);

// A packet being assembled before it goes to the stream in one write.
struct PacketBuffer {
  uint8_t bytes[160];
  std::size_t size = 0;
  void put(uint8_t b) { bytes[size++] = b; }
};
void writeWord(PacketBuffer& out, uint16_t value);
void writeLong(PacketBuffer& out, uint32_t value);

// True when a record's lengths lie in the ranges its fields can hold.
bool hasValidLengths(const PublicKeyRecord& record);

// Writes the public-key packet through the platform's file calls. 0, or
// PACKET_WRITE_FAILED when any write fails (nothing after a failed first
// byte) or the record's lengths are out of range (nothing written).
// A modulus or exponent that starts with zero bytes is written without them,
// so the packet always holds well-formed MPIs and the length it announces.
int32_t writePublicKeyPacket(std::FILE* stream, const PublicKeyRecord& record, uint32_t timestamp,
                             uint16_t validity);

// Writes the user-id packet of text (at most 31 characters of it). 0, or
// PACKET_WRITE_FAILED when the write fails.
int32_t writeUserIdPacket(std::FILE* stream, const char* text);

}  // namespace orvak
