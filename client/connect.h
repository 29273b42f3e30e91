// Session establishment and teardown, and the reading of the login reply.
#pragma once

#include <cstdint>

#include "client/session.h"

namespace lumbra {

std::int32_t connectSession(const char* identification, const char* firstCredential,
                            const char* secondCredential, const char* serverAddress, char* message);

// LBDisconn; a null `message` discards the texts (teardown inside LBConnect).
std::int32_t disconnectSession(std::int32_t handleArgument, char* message);

// Fills clientId (only from ",NN=" and exactly 8 hex digits) and serverInfo.
void parseServerInfo(Session& session, const char* text);

// Resizes ioBuffer from ",ML=" in `text`: 0, or LB_OUT_OF_MEMORY with bufferReady 0.
std::int32_t sizeBuffer(Session& session, const char* text);

}  // namespace lumbra
