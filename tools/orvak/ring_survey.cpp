// ring_survey.cpp -- a key ring's packets read by the library's rules (see
// keyring/packet_format.h), noting what a save would not keep.
#include "tools/orvak/ring_survey.h"

#include <algorithm>
#include <utility>

#include "keyring/packet_format.h"
#include "tools/common/cp1252.h"

namespace orvak_tool {

namespace {

// The bytes of a file, read front to back.
class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}
  std::size_t at() const { return at_; }
  std::size_t left() const { return bytes_.size() - at_; }
  bool byte(std::uint8_t& b) {
    if (left() < 1) return false;
    b = static_cast<std::uint8_t>(bytes_[at_++]);
    return true;
  }
  bool number(std::size_t width, std::uint64_t& value) {
    if (left() < width) return false;
    value = 0;
    for (std::size_t i = 0; i < width; ++i) value = value << 8 | static_cast<std::uint8_t>(bytes_[at_++]);
    return true;
  }
  bool take(std::size_t count, std::string& out) {
    if (left() < count) return false;
    out = bytes_.substr(at_, count);
    at_ += count;
    return true;
  }
  bool skip(std::uint64_t count) {
    if (left() < count) return false;
    at_ += static_cast<std::size_t>(count);
    return true;
  }
  std::string slice(std::size_t from, std::size_t to) const { return bytes_.substr(from, to - from); }
  void rewind(std::size_t to) { at_ = to; }

 private:
  const std::string& bytes_;
  std::size_t at_ = 0;
};

int packetType(std::uint8_t ctb) { return (ctb & orvak::kTypeMask) >> 2; }

std::string typeName(std::uint8_t ctb) {
  switch (packetType(ctb)) {
    case 2:
      return "a signature";
    case 5:
      return "a secret key";
    case 12:
      return "a trust packet";
    case 13:
      return "a user id";
    case 14:
      return "a public subkey";
    default:
      return "a packet of type " + std::to_string(packetType(ctb));
  }
}

// The length field the CTB selects; -1 for length type 3 (no field).
bool readLength(Reader& in, std::uint8_t ctb, std::int64_t& length) {
  const unsigned type = ctb & orvak::kLengthTypeMask;
  if (type == orvak::kNoLengthField) {
    length = -1;
    return true;
  }
  std::uint64_t value = 0;
  if (!in.number(std::size_t{1} << type, value)) return false;
  length = static_cast<std::int64_t>(value);
  return true;
}

// A failure: the packet at `offset` is where the library stops.
struct Stop {
  std::size_t offset;
  std::string reason;
};

std::uint16_t bitCount(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return 0;
  unsigned bits = static_cast<unsigned>(bytes.size()) * 8;
  for (std::uint8_t top = bytes[0]; (top & 0x80) == 0 && bits > 0; top = static_cast<std::uint8_t>(top << 1)) --bits;
  return static_cast<std::uint16_t>(bits);
}

// One MPI of at most maxBytes bytes, leading zero bytes dropped.
bool readMpi(Reader& in, std::size_t maxBytes, std::vector<std::uint8_t>& out, std::string& problem,
             const char* what) {
  std::uint64_t bits = 0;
  if (!in.number(2, bits)) return false;
  const std::size_t bytes = static_cast<std::size_t>((bits + 7) / 8);
  if (bytes > maxBytes) {
    problem = std::string(what) + " of " + std::to_string(bits) + " bits, over the " +
              std::to_string(maxBytes * 8) + " a record holds";
    return false;
  }
  std::string raw;
  if (!in.take(bytes, raw)) return false;
  std::size_t zeros = 0;
  while (zeros < raw.size() && raw[zeros] == 0) ++zeros;
  out.assign(raw.begin() + static_cast<std::ptrdiff_t>(zeros), raw.end());
  return true;
}

// The public-key packet as the library's writer makes it for this key.
std::string writtenForm(const SurveyKey& key) {
  std::string out;
  auto put = [&out](std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put(orvak::kPublicKeyCtb, 1);
  put((key.modulus.size() + key.exponent.size() + orvak::kKeyBodyOverhead) & 0xFFFF, 2);
  put(orvak::kKeyVersion, 1);
  put(key.created, 4);
  put(0, 2);
  put(orvak::kRsaAlgorithm, 1);
  put(bitCount(key.modulus), 2);
  out.append(key.modulus.begin(), key.modulus.end());
  put(bitCount(key.exponent), 2);
  out.append(key.exponent.begin(), key.exponent.end());
  return out;
}

// Reads the public-key packet at the reader's position; a Stop when the library cannot take it.
bool readKey(Reader& in, SurveyKey& key, Stop& stop) {
  key.offset = in.at();
  std::uint8_t ctb = 0;
  std::int64_t length = 0;
  std::uint64_t version = 0, created = 0, validity = 0, algorithm = 0;
  std::string problem;
  const bool whole = in.byte(ctb) && readLength(in, ctb, length) && in.number(1, version) &&
                     in.number(4, created) && in.number(2, validity) && in.number(1, algorithm) &&
                     readMpi(in, orvak::kMaxModulusBytes, key.modulus, problem, "a modulus") &&
                     readMpi(in, orvak::kMaxExponentBytes, key.exponent, problem, "an exponent");
  if (!whole) {
    stop = {key.offset, problem.empty() ? "the file ends inside this public-key packet" : problem};
    return false;
  }
  key.version = static_cast<int>(version);
  key.created = static_cast<std::uint32_t>(created);
  if (in.slice(key.offset, in.at()) != writtenForm(key)) {
    key.rewritten = true;
    if (version != orvak::kKeyVersion) {
      key.rewriteReason = "version " + std::to_string(version) + " written as version 2";
    } else if (validity != 0) {
      key.rewriteReason = "its validity of " + std::to_string(validity) + " days dropped";
    } else if (algorithm != orvak::kRsaAlgorithm) {
      key.rewriteReason = "algorithm " + std::to_string(algorithm) + " written as 1 (RSA)";
    } else {
      key.rewriteReason = "its packet written in the form this library writes";
    }
  }
  return true;
}

void countDropped(SurveyLosses& losses, std::uint8_t ctb) {
  switch (packetType(ctb)) {
    case 2:
      ++losses.signatures;
      break;
    case 12:
      ++losses.trust;
      break;
    case 13:
      ++losses.extraUserIds;
      break;
    default:
      ++losses.otherPackets;
  }
}

// Skips the packet whose CTB was just read at `offset`.
bool skipPacket(Reader& in, std::uint8_t ctb, std::size_t offset, Stop& stop) {
  std::int64_t length = 0;
  if (!readLength(in, ctb, length)) {
    stop = {offset, "the file ends inside the length of " + typeName(ctb)};
    return false;
  }
  if (length < 0) {
    stop = {offset, typeName(ctb) + " without a length field, which cannot be skipped"};
    return false;
  }
  // A body the file ends inside is passed over to the end, as the library
  // does: the walk then ends at its next CTB.
  if (!in.skip(static_cast<std::uint64_t>(length))) in.skip(in.left());
  return true;
}

bool walk(Reader& in, RingSurvey& survey, Stop& stop) {
  bool seenKey = false;
  for (;;) {
    std::size_t offset = in.at();
    std::uint8_t ctb = 0;
    if (!in.byte(ctb)) return true;
    if (!orvak::isPublicKeyCtb(ctb)) {
      if (!seenKey) {
        stop = {offset, "the first packet is " + typeName(ctb) + ", not a public key"};
        return false;
      }
      if (!skipPacket(in, ctb, offset, stop)) return false;
      countDropped(survey.losses, ctb);
      continue;
    }
    seenKey = true;
    in.rewind(offset);
    SurveyKey key;
    if (!readKey(in, key, stop)) return false;
    // Packets between a key and its user id are passed over, but never the next key.
    for (;;) {
      offset = in.at();
      if (!in.byte(ctb)) {
        stop = {key.offset, "the file ends before this key's user id"};
        return false;
      }
      if (orvak::isUserIdCtb(ctb)) break;
      if (orvak::isPublicKeyCtb(ctb)) {
        stop = {key.offset, "this key has no user id: the next key's packet follows at offset " +
                                std::to_string(offset)};
        return false;
      }
      if (!skipPacket(in, ctb, offset, stop)) return false;
      countDropped(survey.losses, ctb);
    }
    // A user-id packet has one length byte, whatever its CTB says.
    std::uint64_t length = 0;
    if (!in.number(1, length) || !in.take(static_cast<std::size_t>(length), key.userId)) {
      stop = {offset, "the file ends inside this user id"};
      return false;
    }
    const std::size_t index = survey.keys.size();
    if (key.userId.size() > kRecordUserIdChars) survey.losses.cutUserIds.push_back(index);
    if (key.rewritten) survey.losses.rewrittenKeys.push_back(index);
    survey.keys.push_back(std::move(key));
  }
}

std::string plural(std::size_t count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

RingSurvey surveyRing(const std::string& bytes) {
  RingSurvey survey;
  Reader in(bytes);
  Stop stop{0, {}};
  if (!walk(in, survey, stop)) {
    survey.readable = false;
    survey.failedAt = stop.offset;
    survey.reason = stop.reason;
  }
  return survey;
}

std::vector<std::string> describeLosses(const RingSurvey& survey) {
  const SurveyLosses& l = survey.losses;
  std::vector<std::string> lines;
  if (l.droppedPackets() > 0) {
    std::string kinds;
    auto kind = [&kinds](std::size_t count, const char* one, const char* many) {
      if (count == 0) return;
      kinds += (kinds.empty() ? "" : ", ") + plural(count, one, many);
    };
    kind(l.signatures, "signature", "signatures");
    kind(l.extraUserIds, "further user id", "further user ids");
    kind(l.trust, "trust packet", "trust packets");
    kind(l.otherPackets, "other packet", "other packets");
    lines.push_back("drop " + plural(l.droppedPackets(), "packet", "packets") + " (" + kinds +
                    "): a ring holds one key packet and one user id a key");
  }
  if (!l.cutUserIds.empty()) {
    std::string ids;
    for (const std::size_t i : l.cutUserIds) {
      ids += (ids.empty() ? "" : ", ") + std::string("'") + tools::windows1252ToUtf8(survey.keys[i].userId) + "' (" +
             std::to_string(survey.keys[i].userId.size()) + ")";
    }
    lines.push_back("cut " + plural(l.cutUserIds.size(), "user id", "user ids") + " to " +
                    std::to_string(kRecordUserIdChars) + " characters: " + ids);
  }
  if (!l.rewrittenKeys.empty()) {
    // Reasons in the order first met, each with its count.
    std::vector<std::pair<std::string, std::size_t>> reasons;
    for (const std::size_t i : l.rewrittenKeys) {
      const std::string& reason = survey.keys[i].rewriteReason;
      auto it = std::find_if(reasons.begin(), reasons.end(), [&](const auto& r) { return r.first == reason; });
      if (it == reasons.end()) {
        reasons.emplace_back(reason, 1);
      } else {
        ++it->second;
      }
    }
    std::string line = "rewrite " + plural(l.rewrittenKeys.size(), "key packet", "key packets") + ":";
    for (std::size_t k = 0; k < reasons.size(); ++k) {
      line += (k == 0 ? " " : "; ") + std::to_string(reasons[k].second) + " " + reasons[k].first;
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace orvak_tool
