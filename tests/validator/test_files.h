// test_files.h -- scratch directories, whole-file reads and writes, and sealed lines for the validator tests.
#ifndef TESTS_VALIDATOR_TEST_FILES_H
#define TESTS_VALIDATOR_TEST_FILES_H

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include <unistd.h>

#include "validator/record.h"

namespace tabrel::test {

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("tabrel-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }

inline std::string crcDigits(std::uint32_t value) {
  char digits[kFieldLength];
  formatCrcField(value, digits);
  return std::string(digits, kFieldLength);
}

// The record text with its own CRC field (no line end).
inline std::string sealed(const std::string& text) { return text + crcDigits(recordCrc(text.c_str())); }

}  // namespace tabrel::test

#endif
