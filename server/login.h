// The login message and the server information of the login reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumbra::server {

inline constexpr char kServerVersion[] = "1.0.0";

struct LoginRequest {
  std::string identification;    // as sent, trailing blanks removed
  std::string firstCredential;   // upper-case, trailing blanks removed
  std::string secondCredential;  // upper-case, trailing blanks removed; empty: no change
  std::string clientVersion;     // the three characters before the closing quote
};

// Reads the 118-byte login message: "ID \"", the credential block, the client
// version, '"'. Nothing when the head, the closing quote or the block is malformed.
std::optional<LoginRequest> parseLogin(std::string_view message);

// The keyword values of an accepted login: ",NN=" the client's IPv4 address
// (host byte order) in 8 hexadecimal digits, ",SV=", ",BD=", ",OS=", ",SK=",
// ",MR=" and ",ML=" with the message length the server will use; BD is the
// database's major.minor `databaseVersion`.
std::string serverInformation(std::uint32_t clientAddress, int messageLength,
                              const std::string& databaseVersion);

}  // namespace lumbra::server
