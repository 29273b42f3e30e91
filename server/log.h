// One line per event on standard error, whole lines even from several threads.
#pragma once

#include <string_view>

namespace lumbra::server {

// Writes "<UTC time> <text>\n" to standard error, unless logging is off.
void logLine(std::string_view text);

// Turns logging on or off for the whole process (tests keep it quiet).
void setLogging(bool enabled);

}  // namespace lumbra::server
