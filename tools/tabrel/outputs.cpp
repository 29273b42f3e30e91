// outputs.cpp -- temporary output files beside their real paths, put in place on success.
#include "tools/tabrel/outputs.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "platform/files.h"

namespace tabrel::tool {

StagedOutput::~StagedOutput() {
  const platform::FileCalls& calls = platform::fileCalls();
  if (stream_) calls.close(stream_);
  if (!temporary_.empty() && !committed_) calls.remove(temporary_.c_str());
}

bool StagedOutput::create(const std::string& target, std::string& reason) {
  target_ = target;
  std::error_code ec;
  if (std::filesystem::is_directory(target, ec)) {
    reason = std::strerror(EISDIR);
    return false;
  }
  platform::ReplacementFile file;
  errno = 0;
  if (!platform::fileCalls().createReplacement(target.c_str(), file)) {
    reason = systemReason(errno);
    return false;
  }
  stream_ = file.stream;
  temporary_ = file.tempPath;
  target_ = file.targetPath;
  return true;
}

bool StagedOutput::write(const void* data, std::size_t size) {
  return stream_ && (size == 0 || platform::fileCalls().write(data, size, stream_) == size);
}

bool StagedOutput::close() {
  if (!stream_) return true;
  const platform::FileCalls& calls = platform::fileCalls();
  const bool flushed = calls.flush(stream_) == 0;
  const bool closed = calls.close(stream_) == 0;
  stream_ = nullptr;
  return flushed && closed;
}

bool StagedOutput::temporaryExists() const {
  std::error_code ec;
  return !temporary_.empty() && std::filesystem::exists(temporary_, ec);
}

bool StagedOutput::commit(std::string& reason) {
  if (!close()) {
    reason = systemReason(errno);
    return false;
  }
  errno = 0;
  if (!platform::fileCalls().replace(temporary_.c_str(), target_.c_str())) {
    reason = systemReason(errno);
    return false;
  }
  committed_ = true;
  return true;
}

void StagedOutput::removeTarget() {
  close();
  const platform::FileCalls& calls = platform::fileCalls();
  if (!target_.empty()) calls.remove(target_.c_str());
  if (!temporary_.empty()) calls.remove(temporary_.c_str());
  committed_ = true;
}

NamedCopy::~NamedCopy() {
  std::error_code ec;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
}

bool NamedCopy::create(const std::string& source, const std::string& name, std::string& reason) {
  if (!makeFolder(reason)) return false;
  std::error_code ec;
  const std::filesystem::path copy = std::filesystem::path(folder_) / name;
  if (!std::filesystem::copy_file(source, copy, ec)) {
    reason = ec ? ec.message() : "the copy failed";
    return false;
  }
  path_ = copy.string();
  return true;
}

bool NamedCopy::makeFolder(std::string& reason) {
  if (!folder_.empty()) return true;
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) {
    reason = ec.message();
    return false;
  }
  std::random_device random;
  for (int attempt = 0; attempt < 100 && folder_.empty(); ++attempt) {
    const std::filesystem::path folder = base / ("tabrel-" + std::to_string(random()));
    if (std::filesystem::create_directory(folder, ec))
      folder_ = folder.string();
    else if (ec) {
      reason = ec.message();
      return false;
    }
  }
  if (folder_.empty()) {
    reason = "no temporary folder could be made";
    return false;
  }
  return true;
}

bool sameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code ec;
  if (std::filesystem::equivalent(a, b, ec) && !ec) return true;
  const auto ca = std::filesystem::weakly_canonical(a, ec);
  if (ec) return false;
  const auto cb = std::filesystem::weakly_canonical(b, ec);
  return !ec && ca == cb;
}

std::string systemReason(int error) { return error != 0 ? std::strerror(error) : "cannot be written there"; }

}  // namespace tabrel::tool
