// files_windows.cpp -- temporary file beside a target and atomic replacement, Windows.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/files.h"
#include "platform/files_os.h"

namespace platform {

namespace os {

bool createReplacement(const char* target, ReplacementFile& out) {
  if (target == nullptr || *target == '\0') return false;
  const DWORD attributes = GetFileAttributesA(target);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = std::string(target) + ".tmp" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(counter++);
    const int fd = _open(temp.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    std::FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) {
      _close(fd);
      std::remove(temp.c_str());
      return false;
    }
    out.stream = stream;
    out.tempPath = std::move(temp);
    out.targetPath = target;
    return true;
  }
  return false;
}

int flushToDisk(std::FILE* stream) {
  if (std::fflush(stream) != 0) return -1;
  return _commit(_fileno(stream));
}

bool replaceFile(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace os

}  // namespace platform
