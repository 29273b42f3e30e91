// login.h -- the login message and the server information of the login reply,
// each written beside its reader.
//
// Login message (client), kLoginLength bytes, no marker: "ID \"", the
// credential block (protocol/credentials.h) made from the three fields
// blank-padded to 11, 24 and 25 characters, the client version "2.4", '"'.
//
// Server information (the text of the reply that accepts a login): keyword
// values, each found by its first occurrence with its comma and equals sign,
// and each of a fixed width, not delimited (fewer characters where the text
// ends first):
//   ",NN="  8  the client's IPv4 address, two hexadecimal digits a byte,
//              most significant first
//   ",SV="  5  server version
//   ",BD="  5  database version
//   ",OS="  4  operating system
//   ",SK="  3  communication code, then a 5-character version (none after "SNA")
//   ",MR="  4  monitor name, then a 5-character version
//   ",ML="     the message length, decimal digits (protocol/wire.h, messageLengthSpan)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumbra {

inline constexpr std::size_t kClientAddressDigits = 8;
inline constexpr std::size_t kServerVersionWidth = 5;
inline constexpr std::size_t kDatabaseVersionWidth = 5;
inline constexpr std::size_t kOperatingSystemWidth = 4;
inline constexpr std::size_t kCommunicationWidth = 3;
inline constexpr std::size_t kMonitorWidth = 4;
inline constexpr std::size_t kVersionWidth = 5;  // of the communication and of the monitor

// ---- login message

// Writes the login message and a terminator into `out` (kLoginLength + 1
// bytes). Each field is placed into its blank-padded width; longer fields
// are cut (the client refuses them before).
void writeLoginMessage(std::string_view identification, std::string_view firstCredential,
                       std::string_view secondCredential, char* out);

struct LoginMessage {
  std::string identification;    // as sent, trailing blanks removed
  std::string firstCredential;   // upper-case, trailing blanks removed
  std::string secondCredential;  // upper-case, trailing blanks removed
  std::string clientVersion;     // the three characters before the closing quote
};

// Reads a login message; nothing when its length, head, closing quote or
// credential block is malformed.
std::optional<LoginMessage> readLoginMessage(std::string_view message);

// ---- server information

struct ServerInformation {
  std::uint32_t clientAddress = 0;  // host byte order
  std::string serverVersion;
  std::string databaseVersion;
  std::string operatingSystem;
  std::string communication;
  std::string communicationVersion;
  std::string monitor;
  std::string monitorVersion;
  std::int64_t messageLength = 0;
};

// The keyword text of `info`: every value padded with blanks behind or cut to
// its width, the message length in decimal.
std::string formatServerInformation(const ServerInformation& info);

// The values of a server information text, as far as they are present.
struct ServerInformationValues {
  std::optional<std::string_view> clientAddress;  // up to 8 characters
  std::optional<std::string_view> serverVersion;
  std::optional<std::string_view> databaseVersion;
  std::optional<std::string_view> operatingSystem;
  std::optional<std::string_view> communication;
  std::optional<std::string_view> communicationVersion;  // present with the communication
  std::optional<std::string_view> monitor;
  std::optional<std::string_view> monitorVersion;  // present with the monitor
};
ServerInformationValues readServerInformation(std::string_view text);

// The address that a ",NN=" value writes, when it is eight hexadecimal digits.
std::optional<std::uint32_t> readClientAddress(std::string_view value);

}  // namespace lumbra
