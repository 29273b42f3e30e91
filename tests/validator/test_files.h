// test_files.h -- scratch directories, whole-file reads and writes, and sealed lines for the validator tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "tests/support/temp_dir.h"
#include "tests/support/worked_declaration.h"
#include "validator/record.h"

namespace tabrel::test {

using suite_test::TempDir;

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
