// file_reason.h -- why a file cannot be read, as the system tells it, for the
// tools' messages.
#pragma once

#include <string>

namespace tools {

// The system's error number when the file at path cannot be opened and read
// (ENOENT, EACCES, EISDIR, ...); 0 when it can.
int readError(const std::string& path);

// The system's text for readError(path) ("No such file or directory",
// "Permission denied", "Is a directory", ...); empty when the file reads.
std::string readErrorText(const std::string& path);

}  // namespace tools
