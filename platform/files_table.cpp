// files_table.cpp -- the table of file calls: the system's own, plain stdio for the rest.
#include <cstdio>

#include "platform/files.h"
#include "platform/files_os.h"

namespace platform {

namespace {

std::size_t writeBytes(const void* data, std::size_t size, std::FILE* stream) {
  return std::fwrite(data, 1, size, stream);
}

int closeStream(std::FILE* stream) { return std::fclose(stream); }

int removeFile(const char* path) { return std::remove(path); }

std::FILE* openFile(const char* path, const char* mode) { return std::fopen(path, mode); }

std::size_t readBytes(void* data, std::size_t size, std::FILE* stream) {
  return std::fread(data, 1, size, stream);
}

int streamError(std::FILE* stream) { return std::ferror(stream); }

void unbufferStream(std::FILE* stream) { std::setvbuf(stream, nullptr, _IONBF, 0); }

}  // namespace

const FileCalls& systemFileCalls() {
  static const FileCalls calls{os::createReplacement, writeBytes,    os::flushToDisk, closeStream,
                               os::replaceFile,       removeFile,    openFile,        readBytes,
                               streamError,           unbufferStream};
  return calls;
}

FileCalls& fileCalls() {
  static FileCalls live = systemFileCalls();
  return live;
}

void resetFileCalls() { fileCalls() = systemFileCalls(); }

}  // namespace platform
