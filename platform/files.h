// files.h -- the file operations of the libraries: opening, reading, writing,
// closing and removing files, and writing a file beside its target and putting
// it in place of the old one atomically.
//
// The calls go through a table so that tests can make an open, a read, a
// write, a flush, a close or the replacement fail.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace platform {

// A new file being written in place of target.
struct ReplacementFile {
  std::FILE* stream = nullptr;  // open for writing raw bytes
  std::string tempPath;         // the temporary file, in target's folder
  std::string targetPath;       // the file it will replace (links followed)
};

struct FileCalls {
  // Creates a new, empty temporary file in the folder of target, open for
  // writing raw bytes; an existing target must be writable, and its
  // permissions are given to the new file. False when it cannot be done.
  bool (*createReplacement)(const char* target, ReplacementFile& out);
  // fwrite's contract: the number of bytes written.
  std::size_t (*write)(const void* data, std::size_t size, std::FILE* stream);
  // Writes out the stream's buffer and asks the system to put the data on
  // disk. 0 on success.
  int (*flush)(std::FILE* stream);
  // fclose's contract: 0 on success; the stream is gone either way.
  int (*close)(std::FILE* stream);
  // Puts from in place of to in one step (the old to stays whole if this
  // fails). True on success.
  bool (*replace)(const char* from, const char* to);
  // Deletes a file; 0 on success.
  int (*remove)(const char* path);
  // fopen's contract: the open stream, or null.
  std::FILE* (*open)(const char* path, const char* mode);
  // fread's contract: the number of bytes read.
  std::size_t (*read)(void* data, std::size_t size, std::FILE* stream);
  // ferror's contract: non-zero once a read or write on the stream failed.
  int (*error)(std::FILE* stream);
  // Makes the stream unbuffered (setvbuf, _IONBF): each write goes out as it is made.
  void (*unbuffer)(std::FILE* stream);
};

// The live table; tests may swap entries and put the system's back with resetFileCalls().
FileCalls& fileCalls();
// Puts the system's own calls back into the table.
void resetFileCalls();
// The table as the system provides it.
const FileCalls& systemFileCalls();

}  // namespace platform
