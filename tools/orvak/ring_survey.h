// ring_survey.h -- what a key ring file holds, packet by packet, read by the
// rules the library reads it by: where the library would stop and why, and
// what a save of the list it loads would leave out of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvak_tool {

// One key as the file holds it.
struct SurveyKey {
  std::size_t offset = 0;        // of its public-key packet
  int version = 0;               // the key packet's version byte
  bool rewritten = false;        // a save writes its key packet in other bytes
  std::string rewriteReason;     // why, when rewritten ("version 3 written as version 2")
  std::vector<std::uint8_t> modulus;   // without leading zero bytes, as the record holds it
  std::vector<std::uint8_t> exponent;  // likewise
  std::uint32_t created = 0;     // seconds since 1970
  std::string userId;            // its first user id, whole
};

// What a save of the loaded list would not keep.
struct SurveyLosses {
  std::size_t signatures = 0;      // packet type 2
  std::size_t trust = 0;           // packet type 12
  std::size_t extraUserIds = 0;    // user ids after a key's first
  std::size_t otherPackets = 0;    // any other type
  std::vector<std::size_t> cutUserIds;    // indexes into keys: first user ids over 31 characters
  std::vector<std::size_t> rewrittenKeys;  // indexes into keys

  std::size_t droppedPackets() const { return signatures + trust + extraUserIds + otherPackets; }
  bool any() const { return droppedPackets() > 0 || !cutUserIds.empty() || !rewrittenKeys.empty(); }
};

struct RingSurvey {
  bool readable = true;
  std::size_t failedAt = 0;  // the byte offset of the packet the library cannot take
  std::string reason;        // why, when not readable
  std::vector<SurveyKey> keys;  // in file order
  SurveyLosses losses;
};

// Characters of a user id a record holds.
inline constexpr std::size_t kRecordUserIdChars = 31;

RingSurvey surveyRing(const std::string& bytes);

// The lines that tell what a save would lose ("drop 62 packets: ...").
std::vector<std::string> describeLosses(const RingSurvey& survey);

}  // namespace orvak_tool
