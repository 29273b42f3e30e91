// files_posix.cpp -- temporary file beside a target and atomic replacement, POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/files.h"
#include "platform/files_os.h"

namespace platform {

namespace {

// Follows a symbolic link, so the ring file is replaced and not the link.
std::string resolveTarget(const char* target) {
  struct stat st {};
  if (::lstat(target, &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(target, nullptr)) {
      std::string resolved = real;
      std::free(real);
      return resolved;
    }
  }
  return target;
}

}  // namespace

namespace os {

bool createReplacement(const char* target, ReplacementFile& out) {
  if (target == nullptr || *target == '\0') return false;
  const std::string path = resolveTarget(target);
  struct stat old {};
  const bool exists = ::stat(path.c_str(), &old) == 0;
  if (exists && (!S_ISREG(old.st_mode) || ::access(path.c_str(), W_OK) != 0)) return false;

  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    if (exists) {
      // Keep the old file's owner where allowed, and its permissions.
      if (::fchown(fd, old.st_uid, old.st_gid) != 0) { /* not ours to change: keep ours */
      }
      if (::fchmod(fd, old.st_mode & 07777) != 0) {
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
      }
    }
    std::FILE* stream = ::fdopen(fd, "wb");
    if (stream == nullptr) {
      ::close(fd);
      ::unlink(temp.c_str());
      return false;
    }
    out.stream = stream;
    out.tempPath = std::move(temp);
    out.targetPath = path;
    return true;
  }
  return false;
}

int flushToDisk(std::FILE* stream) {
  if (std::fflush(stream) != 0) return -1;
  return ::fsync(::fileno(stream));
}

bool replaceFile(const char* from, const char* to) { return std::rename(from, to) == 0; }

}  // namespace os

}  // namespace platform
