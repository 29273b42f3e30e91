// Open-file limits, private file creation and scratch files on POSIX systems.
#include "platform/system.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

long raiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<long>(limit.rlim_cur);
}

long fileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur == RLIM_INFINITY) return 1L << 20;
  return static_cast<long>(limit.rlim_cur);
}

bool createPrivateFile(const std::string& path, std::string& error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return true;
    error = std::strerror(errno);
    return false;
  }
  ::close(fd);
  return true;
}

bool fileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

void removeFile(const std::string& path) { ::unlink(path.c_str()); }

int openScratchFile(const std::string& directory, std::string& error) {
  // Without a name where the file system allows it; else named, and unlinked at once.
  int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string path = directory + "/.lumbra-scratch-XXXXXX";
  fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return -1;
  }
  ::unlink(path.c_str());
  return fd;
}

bool appendScratch(int file, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(file, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

bool readScratch(int file, std::uint64_t offset, char* into, std::size_t length) {
  while (length > 0) {
    const ssize_t got = ::pread(file, into, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into += got;
    length -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

void closeScratch(int file) {
  if (file >= 0) ::close(file);
}

}  // namespace platform
