// transfer.h -- keys into and out of a ring: ASCII armour (RFC 1991 6.6:
// base64 lines and a CRC-24) both ways, and the keys of a key file read one
// by one, each taken whole or refused with its reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "keyring/orvak32.h"

namespace orvak_tool {

// The packets inside an armoured block, or the bytes as they are when they
// hold no "-----BEGIN PGP" line. False with the reason when the armour is
// broken (a bad base64 character, a CRC-24 that does not match, no end line).
bool dearmor(const std::string& text, std::string& packets, std::string& reason);

// The armoured form of packets: a public key block with its CRC-24.
std::string armor(const std::string& packets, const std::string& version);

std::uint32_t crc24(const std::string& bytes);

// One key of a key file: the record to add, or why it cannot be one.
struct ImportedKey {
  std::size_t offset = 0;  // of its public-key packet
  bool taken = false;
  PublicKeyRecord record{};  // when taken; userId is the whole first user id
  std::string userId;        // its first user id as the file holds it (may be empty)
  std::string reason;        // when not taken
};

// Every public-key packet of `packets`, walked by the packets' length fields.
// A key is taken when a record can hold it: an RSA key (algorithm 1, 2 or 3)
// of version 2 or 3 with a modulus of at most 1024 bits and an exponent of at
// most 32, followed by a user id of 1 to 31 characters before the next key.
// False with the reason and offset when the packets themselves cannot be
// walked (a length that runs past the end, a packet without a length field).
bool readKeyFile(const std::string& packets, std::vector<ImportedKey>& keys, std::string& reason,
                 std::size_t& offset);

// The key's packets as the library writes them: a version-2 public-key packet
// and a user-id packet.
std::string keyPackets(const PublicKeyRecord& record);

}  // namespace orvak_tool
