// file_reason.cpp -- why a file cannot be read, as the system tells it.
#include "tools/common/file_reason.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tools {

int readError(const std::string& path) {
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return errno != 0 ? errno : ENOENT;
  // Some systems open a directory for reading; the first read then fails.
  errno = 0;
  const int first = std::fgetc(file);
  const int error = first == EOF && std::ferror(file) ? (errno != 0 ? errno : EIO) : 0;
  std::fclose(file);
  return error;
}

std::string readErrorText(const std::string& path) {
  const int error = readError(path);
  return error != 0 ? std::strerror(error) : std::string();
}

}  // namespace tools
