// Fuzz target: TBTabrel on arbitrary file contents, tags, name and CRC offset.
//
// Input: byte 0 picks the input file's name, bytes 1-2 the declaredCrcOffset
// (signed 16 bits), bytes 3-5 the lengths (0..7) of the system, declaration
// trailer and receipt trailer tags, whose bytes follow; the rest is the file.
// Invariants: the result is 0..6; exactly one of the cleaned copy and the
// error log remains (the copy exactly when the result is 0); the 11-byte
// output buffers (exactly 11, so AddressSanitizer sees any overrun) end in a
// NUL when written.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "fuzz/scratch_dir.h"
#include "validator/tabrel32.h"

namespace {

const char* const kNames[] = {"abcdefgh.xyz", "abc.xyz", "a",       "longer_than_eight.extension",
                              "noext",        "x.",      ".hidden", "ABCDEFGHIJ.KLMNOPQRSTUVWXYZ"};

struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::uint8_t byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  std::string bytes(std::size_t n) {
    n = n < size ? n : size;
    std::string s(reinterpret_cast<const char*>(data), n);
    data += n;
    size -= n;
    return s;
  }
};

// A heap copy of exactly the tag's bytes and a NUL.
std::unique_ptr<char[]> exactText(const std::string& s) {
  auto p = std::make_unique<char[]>(s.size() + 1);
  std::memcpy(p.get(), s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

// Whether the library wrote into an 11-byte buffer prefilled with 'U'.
bool written(const char* buffer) {
  for (int i = 0; i < 11; ++i)
    if (buffer[i] != 'U') return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzzing::ScratchDir dir("tabrel-fuzz");
  Reader in{data, size};
  const char* name = kNames[in.byte() % (sizeof kNames / sizeof kNames[0])];
  const std::int16_t offset = static_cast<std::int16_t>(in.byte() | (in.byte() << 8));
  const std::size_t systemLength = in.byte() % 8, declarationLength = in.byte() % 8,
                    receiptLength = in.byte() % 8;
  auto systemTag = exactText(in.bytes(systemLength));
  auto declarationTag = exactText(in.bytes(declarationLength));
  auto receiptTag = exactText(in.bytes(receiptLength));

  const std::string input = dir.file(name), clean = dir.file("clean.out"), log = dir.file("errors.log");
  {
    std::ofstream out(input, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(in.data), static_cast<std::streamsize>(in.size));
  }

  auto declared = std::make_unique<char[]>(11);
  auto computed = std::make_unique<char[]>(11);
  std::memset(declared.get(), 'U', 11);
  std::memset(computed.get(), 'U', 11);

  ValidationRequest request{};
  request.inputPath = input.c_str();
  request.cleanCopyPath = clean.c_str();
  request.logPath = log.c_str();
  request.declaredCrc = declared.get();
  request.computedCrc = computed.get();
  request.declaredCrcOffset = offset;
  request.systemTag = systemTag.get();
  request.declarationTrailerTag = declarationTag.get();
  request.receiptTrailerTag = receiptTag.get();
  const std::int32_t result = TBTabrel(request);

  fuzzing::check(result >= 0 && result <= 6, "result outside 0..6");
  const bool cleanExists = std::filesystem::exists(clean), logExists = std::filesystem::exists(log);
  fuzzing::check(cleanExists != logExists, "not exactly one of cleaned copy and error log remains");
  fuzzing::check(cleanExists == (result == 0), "cleaned copy remains although errors were found");
  if (written(declared.get()))
    fuzzing::check(std::memchr(declared.get(), 0, 11) != nullptr, "declaredCrc written without a NUL");
  if (written(computed.get()))
    fuzzing::check(computed[10] == '\0' && std::strlen(computed.get()) == 10,
                   "computedCrc not ten characters and a NUL");
  if (result == 0) fuzzing::check(std::strlen(computed.get()) == 10, "clean run without a computed CRC");

  std::filesystem::remove(clean);
  std::filesystem::remove(log);
  std::filesystem::remove(input);
  return 0;
}
