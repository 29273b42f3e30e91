// StatusMessageTable and reportStatus, which writes status texts through writeMessage.
#pragma once

#include <cstdint>

namespace lumbra {

// The text of a status 0 .. -15, unfilled ("%d", "%s" as they stand).
const char* statusText(std::int32_t status);

// Writes the text of `status` (0 .. -15) into `message` and returns `status`.
// -1, -2, -3, -5 and -7 get the socket library's last error for their %d, -12
// gets `word` for its %s. A null `message` writes nothing.
std::int32_t reportStatus(std::int32_t status, char* message, const char* word = " ");

}  // namespace lumbra
