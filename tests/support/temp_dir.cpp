// The temporary folder of a test.
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <system_error>

#if defined(_WIN32)
#  include <process.h>
#  define SUITE_PROCESS_ID _getpid
#else
#  include <unistd.h>
#  define SUITE_PROCESS_ID getpid
#endif

namespace suite_test {

TempDir::TempDir(const std::string& prefix, const std::filesystem::path& under) {
  static std::atomic<unsigned> serial{0};
  const std::filesystem::path base = under.empty() ? std::filesystem::temp_directory_path() : under;
  // A name of this process and object; a leftover of a killed earlier process
  // with the same number is taken over.
  path_ = base / (prefix + "-" + std::to_string(SUITE_PROCESS_ID()) + "-" + std::to_string(serial++));
  std::error_code error;
  std::filesystem::remove_all(path_, error);
  if (!std::filesystem::create_directories(path_, error)) {
    throw std::runtime_error("cannot create the temporary folder " + path_.string() + ": " + error.message());
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace suite_test
