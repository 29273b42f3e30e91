// rsa_key.h -- reading an RSA public key (PEM or DER, public or private key
// file) into the byte strings of its modulus and exponent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RsaPublicKey {
  std::vector<uint8_t> modulus;   // big-endian, no leading zero byte
  std::vector<uint8_t> exponent;  // big-endian, no leading zero byte
};

// Fills key from the file at path; on failure returns false and says why in error.
bool readRsaPublicKey(const std::string& path, RsaPublicKey& key, std::string& error);
