// temp_dir.h -- a fresh folder for one test, benchmark or fuzzing process, removed with everything in it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace suite_test {

class TempDir {
 public:
  // A new, empty folder named after `prefix` (and unique to this process and
  // object) below `under`, by default the system's temporary folder.
  explicit TempDir(const std::string& prefix = "suite-test", const std::filesystem::path& under = {});
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of `name` inside the folder, as text and as a path.
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  // The names of what the folder holds now, sorted.
  std::vector<std::string> entries() const;

 private:
  std::filesystem::path path_;
};

}  // namespace suite_test
