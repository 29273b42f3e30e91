// The login message and the server information: writers and readers.
#include "protocol/login.h"

#include <algorithm>
#include <cstring>

#include "protocol/credentials.h"
#include "protocol/hex.h"
#include "protocol/wire.h"

namespace lumbra {
namespace {

constexpr std::size_t kClientVersionOffset = kLoginHeadLength + kCredentialBlockLength;
constexpr std::size_t kClientVersionLength = sizeof kClientVersion - 1;
constexpr char kLoginEnd = '"';

std::string trimmed(const char* field, std::size_t width) {
  std::string text(field, width);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

void placeField(std::string_view field, std::size_t width, char* out) {
  std::memcpy(out, field.data(), std::min(field.size(), width));
}

// `value` blank-padded behind or cut to `width` characters.
void appendValue(std::string& text, std::string_view value, std::size_t width) {
  text += value.substr(0, width);
  if (value.size() < width) text.append(width - value.size(), ' ');
}

// The value after the first `keyword` in `text`: `width` characters after
// `skip` more, fewer where the text ends.
std::optional<std::string_view> valueAfter(std::string_view text, std::string_view keyword, std::size_t width,
                                           std::size_t skip = 0) {
  const std::size_t at = text.find(keyword);
  if (at == std::string_view::npos) return std::nullopt;
  const std::size_t start = std::min(at + keyword.size() + skip, text.size());
  return text.substr(start, width);
}

}  // namespace

void writeLoginMessage(std::string_view identification, std::string_view firstCredential,
                       std::string_view secondCredential, char* out) {
  std::memset(out, ' ', kLoginLength);
  std::memcpy(out, kLoginHead, kLoginHeadLength);
  char area[kCredentialAreaLength];
  std::memset(area, ' ', sizeof area);
  placeField(identification, kIdentificationLength, area);
  placeField(firstCredential, kFirstCredentialLength, area + kIdentificationLength);
  placeField(secondCredential, kSecondCredentialLength,
             area + kIdentificationLength + kFirstCredentialLength);
  scrambleCredentials(area, out + kLoginHeadLength);
  std::memcpy(out + kClientVersionOffset, kClientVersion, kClientVersionLength);
  out[kLoginLength - 1] = kLoginEnd;
  out[kLoginLength] = '\0';
}

std::optional<LoginMessage> readLoginMessage(std::string_view message) {
  if (message.size() != kLoginLength || !message.starts_with(kLoginHead) || message.back() != kLoginEnd) {
    return std::nullopt;
  }
  char area[kCredentialAreaLength];
  if (!unscrambleCredentials(message.data() + kLoginHeadLength, kCredentialBlockLength, area)) {
    return std::nullopt;
  }
  LoginMessage login;
  login.identification = trimmed(area, kIdentificationLength);
  login.firstCredential = trimmed(area + kIdentificationLength, kFirstCredentialLength);
  login.secondCredential =
      trimmed(area + kIdentificationLength + kFirstCredentialLength, kSecondCredentialLength);
  login.clientVersion = std::string(message.substr(kClientVersionOffset, kClientVersionLength));
  return login;
}

std::string formatServerInformation(const ServerInformation& info) {
  std::string text = kKeyClientAddress;
  for (int shift = 28; shift >= 0; shift -= 4) text += hexDigit(info.clientAddress >> shift);
  text += kKeyServerVersion;
  appendValue(text, info.serverVersion, kServerVersionWidth);
  text += kKeyDatabaseVersion;
  appendValue(text, info.databaseVersion, kDatabaseVersionWidth);
  text += kKeyOperatingSystem;
  appendValue(text, info.operatingSystem, kOperatingSystemWidth);
  text += kKeyCommunication;
  appendValue(text, info.communication, kCommunicationWidth);
  appendValue(text, info.communicationVersion, kVersionWidth);
  text += kKeyMonitor;
  appendValue(text, info.monitor, kMonitorWidth);
  appendValue(text, info.monitorVersion, kVersionWidth);
  text += kKeyMessageLength;
  text += std::to_string(info.messageLength);
  return text;
}

ServerInformationValues readServerInformation(std::string_view text) {
  ServerInformationValues values;
  values.clientAddress = valueAfter(text, kKeyClientAddress, kClientAddressDigits);
  values.serverVersion = valueAfter(text, kKeyServerVersion, kServerVersionWidth);
  values.databaseVersion = valueAfter(text, kKeyDatabaseVersion, kDatabaseVersionWidth);
  values.operatingSystem = valueAfter(text, kKeyOperatingSystem, kOperatingSystemWidth);
  values.communication = valueAfter(text, kKeyCommunication, kCommunicationWidth);
  values.communicationVersion = valueAfter(text, kKeyCommunication, kVersionWidth, kCommunicationWidth);
  values.monitor = valueAfter(text, kKeyMonitor, kMonitorWidth);
  values.monitorVersion = valueAfter(text, kKeyMonitor, kVersionWidth, kMonitorWidth);
  return values;
}

std::optional<std::uint32_t> readClientAddress(std::string_view value) {
  unsigned char bytes[kClientAddressDigits / 2];
  if (value.size() != kClientAddressDigits || !readHexText(value, bytes)) return std::nullopt;
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

}  // namespace lumbra
