// The login message and the server information of the login reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/login.h"

namespace lumbra::server {

inline constexpr char kServerVersion[] = "1.0.0";

// The login message's fields; an empty second credential: no change of password.
using LoginRequest = LoginMessage;

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
