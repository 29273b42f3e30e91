// The fuzz targets' scratch folder (in memory where it can be) and invariant checks.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tests/support/temp_dir.h"

namespace fuzzing {

// A private scratch folder for one fuzzing process, in memory where it can be.
class ScratchDir : public suite_test::TempDir {
 public:
  explicit ScratchDir(const char* prefix)
      : TempDir(prefix, std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "") {}
};

// Fails the run with a message libFuzzer shows beside the crashing input.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

}  // namespace fuzzing
