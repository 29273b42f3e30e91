// Login message parsing and the server information keywords.
#include "server/login.h"

#include <cstdio>

namespace lumbra::server {

std::optional<LoginRequest> parseLogin(std::string_view message) { return readLoginMessage(message); }

std::string serverInformation(std::uint32_t clientAddress, int messageLength,
                              const std::string& databaseVersion) {
  // The database version stands right-aligned in its field.
  char database[kDatabaseVersionWidth + 1];
  std::snprintf(database, sizeof database, "%*.*s", static_cast<int>(kDatabaseVersionWidth),
                static_cast<int>(kDatabaseVersionWidth), databaseVersion.c_str());
  ServerInformation info;
  info.clientAddress = clientAddress;
  info.serverVersion = kServerVersion;
  info.databaseVersion = database;
  info.operatingSystem = "UNIX";
  info.communication = "TCP";
  info.communicationVersion = "1.0.0";
  info.monitor = "LMBR";
  info.monitorVersion = kServerVersion;
  info.messageLength = messageLength;
  return formatServerInformation(info);
}

}  // namespace lumbra::server
