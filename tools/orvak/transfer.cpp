// transfer.cpp -- ASCII armour, CRC-24, and the keys of a key file one by one.
#include "tools/orvak/transfer.h"

#include <cstring>

#include "keyring/calendar.h"
#include "keyring/packet_format.h"
#include "keyring/packet_writer.h"

namespace orvak_tool {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBegin[] = "-----BEGIN PGP PUBLIC KEY BLOCK-----";
constexpr char kEnd[] = "-----END PGP PUBLIC KEY BLOCK-----";

int base64Value(char c) {
  const char* at = c == '\0' ? nullptr : std::strchr(kBase64, c);
  return at == nullptr ? -1 : static_cast<int>(at - kBase64);
}

std::string base64(const std::string& bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = 0;
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    for (std::size_t k = 0; k < 3; ++k) {
      group = group << 8 | (k < n ? static_cast<std::uint8_t>(bytes[i + k]) : 0);
    }
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kBase64[(group >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

// Base64 text to bytes; false at a character that is not base64.
bool unbase64(const std::string& text, std::string& bytes, char& bad) {
  std::uint32_t group = 0;
  int bits = 0;
  for (const char c : text) {
    if (c == '=') break;
    const int value = base64Value(c);
    if (value < 0) {
      bad = c;
      return false;
    }
    group = group << 6 | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += static_cast<char>((group >> bits) & 0xFF);
    }
  }
  return true;
}

}  // namespace

std::uint32_t crc24(const std::string& bytes) {
  std::uint32_t crc = 0xB704CE;
  for (const char c : bytes) {
    crc ^= static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) << 16;
    for (int i = 0; i < 8; ++i) {
      crc <<= 1;
      if ((crc & 0x1000000) != 0) crc ^= 0x1864CFB;
    }
  }
  return crc & 0xFFFFFF;
}

bool dearmor(const std::string& text, std::string& packets, std::string& reason) {
  const auto begin = text.find("-----BEGIN PGP");
  if (begin == std::string::npos) {
    packets = text;
    return true;
  }
  std::size_t at = text.find('\n', begin);
  // Header lines ("Version: ...") up to the first empty line.
  while (at != std::string::npos) {
    const std::size_t next = text.find('\n', at + 1);
    std::string line = text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    at = next;
    if (line.find_first_not_of(" \t") == std::string::npos) break;
  }
  std::string body;
  std::string checksum;
  bool ended = false;
  while (at != std::string::npos) {
    const std::size_t next = text.find('\n', at + 1);
    std::string line = text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
    at = next;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.rfind("-----END PGP", 0) == 0) {
      ended = true;
      break;
    }
    if (!line.empty() && line[0] == '=') {
      checksum = line.substr(1);
    } else {
      body += line;
    }
  }
  if (!ended) {
    reason = "the armour has no \"-----END PGP\" line";
    return false;
  }
  char bad = 0;
  packets.clear();
  if (!unbase64(body, packets, bad)) {
    reason = std::string("the armour holds '") + bad + "', which is not base64";
    return false;
  }
  if (!checksum.empty()) {
    std::string sum;
    if (!unbase64(checksum, sum, bad) || sum.size() != 3) {
      reason = "the armour's checksum line is malformed";
      return false;
    }
    const std::uint32_t given = static_cast<std::uint32_t>(static_cast<std::uint8_t>(sum[0])) << 16 |
                                static_cast<std::uint32_t>(static_cast<std::uint8_t>(sum[1])) << 8 |
                                static_cast<std::uint8_t>(sum[2]);
    if (given != crc24(packets)) {
      reason = "the armour's CRC-24 does not match its contents (damaged in transit)";
      return false;
    }
  }
  return true;
}

std::string armor(const std::string& packets, const std::string& version) {
  std::string out = std::string(kBegin) + "\nVersion: orvak " + version + "\n\n";
  const std::string text = base64(packets);
  for (std::size_t i = 0; i < text.size(); i += 64) out += text.substr(i, 64) + "\n";
  const std::uint32_t crc = crc24(packets);
  std::string sum;
  sum += static_cast<char>(crc >> 16);
  sum += static_cast<char>((crc >> 8) & 0xFF);
  sum += static_cast<char>(crc & 0xFF);
  return out + "=" + base64(sum) + "\n" + kEnd + "\n";
}

namespace {

std::uint64_t bigEndian(const std::string& bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
  return value;
}

// A key packet's body into the record, or why a record cannot hold it.
bool takeKeyBody(const std::string& body, PublicKeyRecord& record, std::string& reason) {
  if (body.size() < 8) {
    reason = "the key packet is too short";
    return false;
  }
  const unsigned version = static_cast<std::uint8_t>(body[0]);
  if (version != 2 && version != 3) {
    reason = "a version-" + std::to_string(version) + " key; a ring holds version 2 and 3 keys";
    return false;
  }
  const unsigned algorithm = static_cast<std::uint8_t>(body[7]);
  if (algorithm < 1 || algorithm > 3) {
    reason = "not an RSA key (algorithm " + std::to_string(algorithm) + ")";
    return false;
  }
  record.created = orvak::timeToCalendar(static_cast<std::uint32_t>(bigEndian(body, 1, 4)));
  std::size_t at = 8;
  auto mpi = [&](std::uint8_t* out, std::size_t most, std::int32_t& length, const char* what) {
    if (at + 2 > body.size()) {
      reason = std::string("the key packet ends inside its ") + what;
      return false;
    }
    const std::size_t bits = bigEndian(body, at, 2);
    std::size_t bytes = (bits + 7) / 8;
    at += 2;
    if (at + bytes > body.size()) {
      reason = std::string("the key packet ends inside its ") + what;
      return false;
    }
    std::size_t first = at;
    while (bytes > 0 && body[first] == 0) ++first, --bytes;
    if (bytes > most) {
      reason = std::string("a ") + what + " of " + std::to_string(bits) + " bits, over the " +
               std::to_string(most * 8) + " a record holds";
      return false;
    }
    std::memcpy(out, body.data() + first, bytes);
    length = static_cast<std::int32_t>(bytes);
    at = first + bytes;
    return true;
  };
  return mpi(record.modulus, orvak::kMaxModulusBytes, record.modulusLength, "modulus") &&
         mpi(record.exponent, orvak::kMaxExponentBytes, record.exponentLength, "exponent");
}

}  // namespace

bool readKeyFile(const std::string& packets, std::vector<ImportedKey>& keys, std::string& reason,
                 std::size_t& offset) {
  std::size_t at = 0;
  ImportedKey* current = nullptr;
  while (at < packets.size()) {
    offset = at;
    const auto ctb = static_cast<std::uint8_t>(packets[at]);
    if ((ctb & 0x80) == 0) {
      reason = "a byte that begins no packet (0x" + std::string(1, "0123456789ABCDEF"[ctb >> 4]) +
               "0123456789ABCDEF"[ctb & 15] + ")";
      return false;
    }
    const unsigned lengthType = ctb & orvak::kLengthTypeMask;
    if (lengthType == orvak::kNoLengthField) {
      reason = "a packet without a length field";
      return false;
    }
    const std::size_t width = std::size_t{1} << lengthType;
    if (at + 1 + width > packets.size()) {
      reason = "the file ends inside a packet's length";
      return false;
    }
    const std::uint64_t length = bigEndian(packets, at + 1, width);
    const std::size_t bodyAt = at + 1 + width;
    if (length > packets.size() - bodyAt) {
      reason = "the file ends inside a packet (" + std::to_string(length) + " bytes announced, " +
               std::to_string(packets.size() - bodyAt) + " left)";
      return false;
    }
    const std::string body = packets.substr(bodyAt, static_cast<std::size_t>(length));
    if (orvak::isPublicKeyCtb(ctb)) {
      keys.push_back({});
      current = &keys.back();
      current->offset = at;
      current->taken = takeKeyBody(body, current->record, current->reason);
    } else if (orvak::isUserIdCtb(ctb) && current != nullptr && current->userId.empty()) {
      current->userId = body.empty() ? std::string(" ") : body;
    }
    at = bodyAt + static_cast<std::size_t>(length);
  }
  for (ImportedKey& key : keys) {
    if (!key.taken) continue;
    if (key.userId.empty()) {
      key.taken = false;
      key.reason = "a key without a user id";
    } else if (key.userId.size() > 31) {
      key.taken = false;
      key.reason = "a user id of " + std::to_string(key.userId.size()) + " characters, over the 31 a record holds";
    } else {
      std::memset(key.record.userId, 0, sizeof key.record.userId);
      std::memcpy(key.record.userId, key.userId.data(), key.userId.size());
    }
  }
  return true;
}

std::string keyPackets(const PublicKeyRecord& record) {
  std::string out;
  auto put = [&out](std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  const auto m = static_cast<std::size_t>(record.modulusLength);
  const auto e = static_cast<std::size_t>(record.exponentLength);
  put(orvak::kPublicKeyCtb, 1);
  put((m + e + orvak::kKeyBodyOverhead) & 0xFFFF, 2);
  put(orvak::kKeyVersion, 1);
  put(orvak::calendarToTime(record.created), 4);
  put(0, 2);
  put(orvak::kRsaAlgorithm, 1);
  put(orvak::mpiBitCount(record.modulus, m), 2);
  out.append(reinterpret_cast<const char*>(record.modulus), m);
  put(orvak::mpiBitCount(record.exponent, e), 2);
  out.append(reinterpret_cast<const char*>(record.exponent), e);
  const std::size_t idLength = strnlen(record.userId, sizeof record.userId);
  put(orvak::kUserIdCtb, 1);
  put(idLength, 1);
  out.append(record.userId, idLength);
  return out;
}

}  // namespace orvak_tool
