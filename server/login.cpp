// Login message parsing and the server information keywords.
#include "server/login.h"

#include <cstdio>

#include "protocol/credentials.h"
#include "protocol/wire.h"

namespace lumbra::server {

namespace {

std::string trimmed(const char* field, std::size_t width) {
  std::string text(field, width);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

std::optional<LoginRequest> parseLogin(std::string_view message) {
  if (message.size() != kLoginLength || !message.starts_with(kLoginHead) || message.back() != '"') {
    return std::nullopt;
  }
  char area[kCredentialAreaLength];
  if (!unscrambleCredentials(message.data() + kLoginHeadLength, kCredentialBlockLength, area)) {
    return std::nullopt;
  }
  LoginRequest request;
  request.identification = trimmed(area, kIdentificationLength);
  request.firstCredential = trimmed(area + kIdentificationLength, kFirstCredentialLength);
  request.secondCredential =
      trimmed(area + kIdentificationLength + kFirstCredentialLength, kSecondCredentialLength);
  request.clientVersion = std::string(message.substr(kLoginHeadLength + kCredentialBlockLength, 3));
  return request;
}

std::string serverInformation(std::uint32_t clientAddress, int messageLength,
                              const std::string& databaseVersion) {
  // Each value has the fixed width the client reads: SV and BD 5 characters,
  // OS 4, SK a 3-character code and a 5-character version, MR a 4-character
  // name and a 5-character version.
  char database[16];
  std::snprintf(database, sizeof database, "%5.5s", databaseVersion.c_str());
  char text[160];
  std::snprintf(text, sizeof text, ",NN=%08X,SV=%-5.5s,BD=%s,OS=UNIX,SK=TCP1.0.0,MR=LMBR%-5.5s,ML=%d",
                static_cast<unsigned>(clientAddress), kServerVersion, database, kServerVersion,
                messageLength);
  return text;
}

}  // namespace lumbra::server
