// Wire constants of the client-server protocol, shared by lumbra32 and lumbra-server.
//
// What the server may rely on: every value below is fixed; the client sends and
// expects exactly these bytes. A message in either direction ends with
// kEndOfBlock, except the login message (kLoginLength bytes, no marker). A reply
// is kHeadTag (or a continuation tag), four status digits, a text, kEndOfBlock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumbra {

inline constexpr char kEndOfBlock[] = "LBXEOB";       // closes every message
inline constexpr std::size_t kEndOfBlockLength = 6;
inline constexpr char kHeadTag[] = "LBX000";          // head of every ordinary reply
inline constexpr std::size_t kHeadTagLength = 6;
inline constexpr std::size_t kStatusOffset = 6;       // four decimal digits
inline constexpr std::size_t kStatusLength = 4;
inline constexpr std::size_t kReplyTextOffset = 10;
inline constexpr std::size_t kMinimumReplyLength = 16;  // head, status, marker
inline constexpr char kStatusSuccess[] = "0000";

inline constexpr char kGreeting[] = "LUMT";           // sent with the marker: 10 bytes
inline constexpr char kFarewell[] = "FIM,Lumbra";     // sent with the marker: 16 bytes

// Login message: "ID \"" + credential block + client version + '"', no marker.
inline constexpr char kLoginHead[] = "ID \"";
inline constexpr std::size_t kLoginHeadLength = 4;
inline constexpr std::size_t kCredentialAreaLength = 60;   // identification 11, credentials 24 + 25
inline constexpr std::size_t kIdentificationLength = 11;
inline constexpr std::size_t kFirstCredentialLength = 24;
inline constexpr std::size_t kSecondCredentialLength = 25;
inline constexpr std::size_t kCredentialBlockLength = 110;
inline constexpr char kClientVersion[] = "2.4";
inline constexpr std::size_t kLoginLength = 118;

// Message sizes: a session starts with a 1901-byte exchange buffer, so a reply
// may take at most 1900 bytes until the server announces another length with
// ",ML=" (in the login reply or a SET reply).
inline constexpr std::int32_t kInitialBufferSize = 1901;
inline constexpr std::int32_t kDefaultMessageLength = 1900;
inline constexpr std::int32_t kBufferSlack = 20;   // exchange buffer = announced length + 20

inline constexpr std::uint16_t kDefaultPort = 3001;
inline constexpr int kMaxSessions = 500;

// Server information keywords in the login reply text.
inline constexpr char kKeyClientAddress[] = ",NN=";   // 8 hex digits, the client's IPv4 address
inline constexpr char kKeyServerVersion[] = ",SV=";   // 5 characters
inline constexpr char kKeyDatabaseVersion[] = ",BD=";  // 5 characters
inline constexpr char kKeyOperatingSystem[] = ",OS=";
inline constexpr char kKeyCommunication[] = ",SK=";   // 3-character code + 5-character version
inline constexpr char kKeyMonitor[] = ",MR=";         // 4-character name + 5-character version
inline constexpr char kKeyMessageLength[] = ",ML=";   // decimal digits

// Continuation request "CONT=<n>"; its reply is headed "LBX" + first three digits of n.
inline constexpr char kContinuationPrefix[] = "CONT=";
inline constexpr std::int32_t kFirstContinuation = 100;

// A binary insert begins with "INSERT " in EBCDIC; after the data comes 0x7D, then the marker.
inline constexpr unsigned char kBinaryInsertPrefix[7] = {0xC9, 0xD5, 0xE2, 0xC5, 0xD9, 0xE3, 0x40};
inline constexpr unsigned char kEbcdicApostrophe = 0x7D;

// Every COMMIT reply carries one item of this many characters per update.
inline constexpr std::size_t kCommitItemLength = 11;

// The command words the client accepts, each followed by a blank.
inline constexpr char kCommandWords[] = "COMMIT DELETE EXEC INSERT ROLLBACK SELECT UPDATE PARM SET GETSET ";

// Run-length escape: one escape character and a 36-digit alphabet.
inline constexpr char kRunEscape = '@';
inline constexpr char kRunDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

}  // namespace lumbra
