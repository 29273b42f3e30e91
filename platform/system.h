// system.h -- the reference server's few direct calls to the system: open-file limits, private files, scratch files.
#pragma once

#include <cstddef>
#include <cstdint>
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

// A scratch file of this process alone, made in `directory` and gone from it
// at once (it lives until closed): a descriptor, or -1 with `error` set.
int openScratchFile(const std::string& directory, std::string& error);
// Writes all of `bytes` at the end of the scratch file; false on failure (a full disk).
bool appendScratch(int file, const char* bytes, std::size_t length);
// Reads `length` bytes at `offset`; false when they are not all there.
bool readScratch(int file, std::uint64_t offset, char* into, std::size_t length);
void closeScratch(int file);

}  // namespace platform
