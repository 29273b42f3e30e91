// outputs.h -- output files written under temporary names beside their real
// paths and put in place only when the work that writes them is done, so that
// a run that stops early leaves earlier outputs as they were.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace tabrel::tool {

// One output: its real path and the temporary file that stands in for it.
class StagedOutput {
 public:
  StagedOutput() = default;
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;
  // Removes the temporary file if it is still there.
  ~StagedOutput();

  // Creates an empty temporary file in target's folder (an existing target
  // must be a writable file; its permissions carry over). False with the
  // system's reason when that cannot be done.
  bool create(const std::string& target, std::string& reason);

  // The temporary file, open for writing raw bytes until close() (created
  // by create(); null once closed).
  std::FILE* stream() const { return stream_; }
  // Writes size bytes to the stream; false when not all were written.
  bool write(const void* data, std::size_t size);
  // Writes out and closes the stream; false when that fails.
  bool close();

  const std::string& target() const { return target_; }
  const std::string& temporary() const { return temporary_; }
  // True when the temporary file exists (another writer may have removed it).
  bool temporaryExists() const;

  // Puts the temporary file in place of the target in one step; false with
  // the system's reason (the target is then as it was).
  bool commit(std::string& reason);
  // Removes the target, an earlier output that this run leaves none of, and
  // the temporary file.
  void removeTarget();

 private:
  std::FILE* stream_ = nullptr;
  std::string target_;
  std::string temporary_;
  bool committed_ = false;
};

// A copy of a file under another file name, in a fresh temporary folder that
// goes with the object.
class NamedCopy {
 public:
  NamedCopy() = default;
  NamedCopy(const NamedCopy&) = delete;
  NamedCopy& operator=(const NamedCopy&) = delete;
  ~NamedCopy();

  // Copies source to a file called name; false with the system's reason.
  bool create(const std::string& source, const std::string& name, std::string& reason);
  // Makes the temporary folder alone (create makes it too); false with the system's reason.
  bool makeFolder(std::string& reason);
  const std::string& folder() const { return folder_; }
  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
};

// True when a and b name the same file: the same path, or, when both exist,
// the same file reached by other names.
bool sameFile(const std::string& a, const std::string& b);

// The system's text for why a file at path cannot be removed or replaced
// after errno was set; "cannot be written there" when the system gave none.
std::string systemReason(int error);

}  // namespace tabrel::tool
