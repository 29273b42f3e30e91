// system.h -- the reference server's few direct calls to the system: open-file limits, private files.
#pragma once

#include <string>

namespace platform {

// Raises the soft limit of open files up to the hard limit; returns the new soft limit (-1: unknown).
long raiseFileLimit();

// The soft limit of open files now (-1: unknown).
long fileLimit();

// Creates `path` empty with mode 0600 unless it exists. False with `error` set on failure.
bool createPrivateFile(const std::string& path, std::string& error);

bool fileExists(const std::string& path);

// Removes `path`; quiet when it is not there.
void removeFile(const std::string& path);

}  // namespace platform
