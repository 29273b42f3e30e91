// packet_writer.cpp -- public-key and user-id packets as written.
#include "keyring/packet_writer.h"

#include <cstring>

#include "keyring/key_list.h"
#include "keyring/packet_format.h"
#include "platform/files.h"

namespace orvak {

uint16_t mpiBitCount(const uint8_t* bytes, std::size_t length) {
  std::size_t i = 0;
  while (i < length && bytes[i] == 0) ++i;
  if (i == length) return 0;
  unsigned bits = static_cast<unsigned>((length - i) * 8);
  for (uint8_t top = bytes[i]; (top & 0x80) == 0; top = static_cast<uint8_t>(top << 1)) --bits;
  return static_cast<uint16_t>(bits);
}

void writeWord(PacketBuffer& out, uint16_t value) {
  out.put(static_cast<uint8_t>(value >> 8));
  out.put(static_cast<uint8_t>(value & 0xFF));
}

void writeLong(PacketBuffer& out, uint32_t value) {
  writeWord(out, static_cast<uint16_t>(value >> 16));
  writeWord(out, static_cast<uint16_t>(value & 0xFFFF));
}

bool hasValidLengths(const PublicKeyRecord& record) {
  return record.modulusLength >= 0 && record.modulusLength <= kMaxModulusBytes &&
         record.exponentLength >= 0 && record.exponentLength <= kMaxExponentBytes;
}

namespace {

bool writeAll(std::FILE* stream, const uint8_t* data, std::size_t size) {
  return size == 0 || platform::fileCalls().write(data, size, stream) == size;
}

// The MPI's number bytes: the last (bits + 7) / 8 of the bytes in use.
void putMpi(PacketBuffer& out, const uint8_t* bytes, std::size_t length) {
  const uint16_t bits = mpiBitCount(bytes, length);
  const std::size_t used = (bits + 7u) / 8u;
  writeWord(out, bits);
  std::memcpy(out.bytes + out.size, bytes + (length - used), used);
  out.size += used;
}

}  // namespace

int32_t writePublicKeyPacket(std::FILE* stream, const PublicKeyRecord& record, uint32_t timestamp,
                             uint16_t validity) {
  if (stream == nullptr || !hasValidLengths(record)) return PACKET_WRITE_FAILED;
  const auto modulusLength = static_cast<std::size_t>(record.modulusLength);
  const auto exponentLength = static_cast<std::size_t>(record.exponentLength);

  PacketBuffer body;
  body.put(kKeyVersion);
  writeLong(body, timestamp);
  writeWord(body, validity);
  body.put(kRsaAlgorithm);
  putMpi(body, record.modulus, modulusLength);
  putMpi(body, record.exponent, exponentLength);

  PacketBuffer head;
  writeWord(head, static_cast<uint16_t>(body.size));  // = lengths + 12 for well-formed MPIs

  const uint8_t ctb = kPublicKeyCtb;
  if (!writeAll(stream, &ctb, 1)) return PACKET_WRITE_FAILED;
  if (!writeAll(stream, head.bytes, head.size) || !writeAll(stream, body.bytes, body.size)) {
    return PACKET_WRITE_FAILED;
  }
  return ORVAK_OK;
}

int32_t writeUserIdPacket(std::FILE* stream, const char* text) {
  std::size_t length = 0;
  while (length < kUserIdChars && text[length] != '\0') ++length;
  PacketBuffer packet;
  packet.put(kUserIdCtb);
  packet.put(static_cast<uint8_t>(length));
  std::memcpy(packet.bytes + packet.size, text, length);
  packet.size += length;
  return writeAll(stream, packet.bytes, packet.size) ? ORVAK_OK : PACKET_WRITE_FAILED;
}

}  // namespace orvak
