// files.h -- whole files read and written as bytes, for tests and host programs.
#pragma once

#include <string>

namespace suite_test {

// The file's bytes; "" when it cannot be read (see fileExists).
std::string readFile(const std::string& path);

// Creates or empties the file and writes `bytes`; false when that fails.
bool writeFile(const std::string& path, const std::string& bytes);

// Whether the file can be opened for reading.
bool fileExists(const std::string& path);

}  // namespace suite_test
