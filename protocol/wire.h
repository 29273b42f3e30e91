// wire.h -- the byte layout of the lumbra protocol, shared by lumbra32 and lumbra-server.
//
// What the server may rely on: every value below is fixed; the client sends and
// expects exactly these bytes. Offsets count from 0; "marker" is the six bytes
// "LBXEOB" (kEndOfBlock), which close every message in either direction except
// the login message.
//
// Greeting (client, right after connecting): "LUMT" + marker, 10 bytes.
//
// Login message (client), kLoginLength = 118 bytes, no marker (writer and
// reader, and the server information below: protocol/login.h):
//   0      4   "ID \""
//   4      110 credential block (protocol/credentials.h): '0', then the 11
//              identification characters and 98 hexadecimal digits, permuted
//   114    3   client version "2.4"
//   117    1   '"'
//
// Reply (server), at least kMinimumReplyLength = 16 bytes:
//   0      6   tag: "LBX000", or the continuation tag of a CONT request
//   6      4   status, four decimal digits ("0000" is success)
//   10     t   text
//   10+t   6   marker
// The login reply's text carries the server information as keywords
// (",NN=" ... ",ML=", below). A reply may take at most the announced message
// length (1900 until ",ML=" says otherwise) less one byte.
//
// SELECT reply on success (status 0000): the text is
//   10     8   row count, decimal digits
//   18     5   row length, decimal digits
//   23     d   column description, ending with its first '.'
//   23+d+1 ... rows in the incoming run-length form (protocol/run_length.h)
// The client hands the bytes from offset 18 through the '.' to the caller as the
// answer of the SELECT.
//
// CONT request (client): "CONT=" + n in decimal + marker, n counting up from
// 100 within a result set. Its reply is headed by the continuation tag "LBX" +
// the first three digits of n, followed directly by rows (no status); a failure
// is an ordinary reply headed "LBX000".
//
// Batch (client): INSERT, UPDATE and DELETE texts in the outgoing run-length
// form, each followed by one blank, sent in one message with the COMMIT text (or
// before any other command) behind them. The command words, the COMMIT reply's
// items and the refusal of a batch: protocol/commands.h.
//
// Binary insert (client): the command text converted to EBCDIC, beginning with
// "INSERT " (kBinaryInsertPrefix); its last '=' replaced by the length clause
// "(nnnnn)='" (five decimal digits of the data length), then the data as it is,
// then 0x7D and the marker (the server also accepts a zero byte before the marker).
//
// Farewell (client, before closing): "FIM,Lumbra" + marker, 16 bytes.
//
// Limits: a row is at most 99999 bytes (five digits), a result at most
// 99999999 rows (eight digits); the exchange buffer is the announced message
// length + 20.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace lumbra {

inline constexpr char kEndOfBlock[] = "LBXEOB";  // closes every message
inline constexpr std::size_t kEndOfBlockLength = 6;
inline constexpr char kHeadTag[] = "LBX000";  // head of every ordinary reply
inline constexpr std::size_t kHeadTagLength = 6;
inline constexpr std::size_t kStatusOffset = 6;  // four decimal digits
inline constexpr std::size_t kStatusLength = 4;
inline constexpr std::size_t kReplyTextOffset = 10;
inline constexpr std::size_t kMinimumReplyLength = 16;  // head, status, marker
inline constexpr char kStatusSuccess[] = "0000";

inline constexpr char kGreeting[] = "LUMT";        // sent with the marker: 10 bytes
inline constexpr char kFarewell[] = "FIM,Lumbra";  // sent with the marker: 16 bytes

// Login message: "ID \"" + credential block + client version + '"', no marker.
inline constexpr char kLoginHead[] = "ID \"";
inline constexpr std::size_t kLoginHeadLength = 4;
inline constexpr std::size_t kCredentialAreaLength = 60;  // identification 11, credentials 24 + 25
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
inline constexpr std::int32_t kInitialReplyLimit = kInitialBufferSize - 1;
inline constexpr std::int32_t kBufferSlack = 20;  // exchange buffer = announced length + 20

inline constexpr std::uint16_t kDefaultPort = 3001;
inline constexpr int kMaxSessions = 500;

// Server information keywords in the login reply text (their widths, writer
// and reader: protocol/login.h).
inline constexpr char kKeyClientAddress[] = ",NN=";
inline constexpr char kKeyServerVersion[] = ",SV=";
inline constexpr char kKeyDatabaseVersion[] = ",BD=";
inline constexpr char kKeyOperatingSystem[] = ",OS=";
inline constexpr char kKeyCommunication[] = ",SK=";
inline constexpr char kKeyMonitor[] = ",MR=";
inline constexpr char kKeyMessageLength[] = ",ML=";  // decimal digits

// Continuation request "CONT=<n>"; its reply is headed "LBX" + first three digits of n.
inline constexpr char kContinuationPrefix[] = "CONT=";
inline constexpr std::size_t kContinuationPrefixLength = 5;
inline constexpr std::int32_t kFirstContinuation = 100;
inline constexpr std::size_t kContinuationDigits = 3;  // digits of n that go into the tag

// The head of a successful SELECT reply.
inline constexpr std::size_t kRowCountOffset = 10;
inline constexpr std::size_t kRowCountWidth = 8;
inline constexpr std::size_t kRowLengthOffset = 18;
inline constexpr std::size_t kRowLengthWidth = 5;
inline constexpr std::size_t kSelectHeadLength = 23;  // up to the column description
inline constexpr char kDescriptionEnd = '.';
inline constexpr std::size_t kMaxRowLength = 99999;
inline constexpr long long kMaxRowCount = 99999999;

// A binary insert begins with "INSERT " in EBCDIC; after the data comes 0x7D, then the marker.
inline constexpr unsigned char kBinaryInsertPrefix[7] = {0xC9, 0xD5, 0xE2, 0xC5, 0xD9, 0xE3, 0x40};
inline constexpr unsigned char kEbcdicApostrophe = 0x7D;
// "(nnnnn)='": the data length in front of the data.
inline constexpr std::size_t kLengthClauseLength = 9;

// Run-length escape: one escape character and a 36-digit alphabet.
inline constexpr char kRunEscape = '@';
inline constexpr char kRunDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// ---- Readers and writers of the pieces above. None reads past the length it is given.

// Whether `length` bytes begin with the login message's "ID " (its first three bytes).
bool startsLogin(const char* bytes, std::size_t length);

// Whether `length` bytes could still become the start of a login message.
bool mayStartLogin(const char* bytes, std::size_t length);

// Whether a reply that has `length` bytes so far is headed by kHeadTag or by
// `tag` (six bytes); false while fewer than six bytes are there.
bool hasReplyHead(const char* reply, std::size_t length, const char* tag);

// The four status digits of a whole reply of `length` bytes, or -1 when the
// reply is shorter than kMinimumReplyLength or a status byte is not a digit.
std::int32_t replyStatusOf(const char* reply, std::size_t length);

// Whether `length` bytes end with the marker.
bool endsWithMarker(const char* bytes, std::size_t length);

// The number at the start of `text`, read the way the client reads every number
// on the wire: blanks and control blanks skipped, an optional sign, then decimal
// digits up to the first other character, at most `width` characters (a negative
// width: up to the terminator). Saturates at 2^47 - 1; no digit gives 0.
std::int64_t readDecimal(const char* text, int width = -1);

// The head of a successful SELECT reply up to its column description:
// "LBX0000000" + row count in 8 digits + row length in 5 digits, into `head`
// (kSelectHeadLength bytes and a terminator). `rows` and `rowLength` lie within
// kMaxRowCount and kMaxRowLength.
void formatSelectHead(long long rows, std::size_t rowLength, char* head);

struct SelectHead {
  std::int64_t rows = 0;
  std::int64_t rowLength = 0;
  std::size_t answerLength = 0;  // bytes from kRowLengthOffset through the '.'
};

// Reads the head of a successful SELECT reply whose text ends at `textEnd`
// bytes (the reply's length less the marker). False when the text does not
// reach the row length, holds no '.' after it, or a count is negative or does
// not fit 31 bits.
bool parseSelectHead(const char* reply, std::size_t textEnd, SelectHead& head);

// The tag that heads the reply to a CONT request whose number is written by
// `digits` (at least three decimal digits): "LBX" + their first three.
std::array<char, kHeadTagLength> continuationTag(std::string_view digits);

// Writes "CONT=<n>" and a terminator into `out` (`capacity` bytes); returns its length.
int formatContinuationRequest(std::int32_t n, char* out, std::size_t capacity);

// The characters of the announced message length in a reply text: from the
// first digit after the first ",ML=" up to the first of " ,).=;" or the end.
// No value when the text holds no ",ML=".
std::optional<std::string_view> messageLengthSpan(std::string_view text);

// Writes the length clause "(nnnnn)='" and a terminator (ASCII) into `clause`
// (kLengthClauseLength + 1 bytes); `length` is 0..32767.
void formatLengthClause(int length, char* clause);

// Whether the kLengthClauseLength bytes at `bytes` are a length clause in
// EBCDIC; its value in `length`.
bool readEbcdicLengthClause(const unsigned char* bytes, std::size_t& length);

}  // namespace lumbra
