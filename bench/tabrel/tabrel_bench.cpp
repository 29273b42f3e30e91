// tabrel_bench.cpp -- throughput of TBTabrel against the floor of its job and one zlib crc32 pass.
//
// Generates a valid declaration file of about 256 MiB in 200-byte records,
// then times (warm cache, best of several runs) TBTabrel over it, the floor of
// its job (fread in 64 KiB blocks, zlib's crc32 over every byte, and fwrite of
// as many bytes as the cleaned copy has), the same floor with the library's
// own folding CRC in place of zlib's (the stricter one, shown beside it), and
// a pass that reads the file with fread and runs zlib's crc32 over every byte.
// Two layouts: nearly all records in the declaration part (the cleaned copy
// is then written too, as in real use), and nearly all in the receipt part
// (reading and checking only: the floor writes nothing either). The last
// lines are the goals with today's figures, each marked met or not.
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "validator/crc32.h"
#include "validator/record.h"
#include "validator/tabrel32.h"
#include "validator/validation.h"

namespace {

constexpr std::size_t kRecordBytes = 200;  // text, ten digits, CR LF
constexpr std::size_t kTextBytes = kRecordBytes - 12;

std::string digits(std::uint32_t value) {
  char field[tabrel::kFieldLength];
  tabrel::formatCrcField(value, field);
  return std::string(field, tabrel::kFieldLength);
}

// Writes header, `declaration` records and the trailer "DT", `receipt`
// records and the receipt trailer; returns the file size.
std::size_t generate(const std::string& path, const std::string& fileName, std::size_t declaration,
                     std::size_t receipt) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    std::exit(1);
  }
  const std::string placeholder(13 + 10, '0');
  std::fwrite(placeholder.data(), 1, placeholder.size(), f);
  std::fwrite("\r\n", 1, 2, f);
  std::size_t size = placeholder.size() + 2;

  std::uint32_t running = 0;
  std::uint32_t declarationCrc = 0;
  std::string text(kTextBytes, ' ');
  auto emit = [&](const std::string& t) {
    const std::string record = t + digits(tabrel::recordCrc(t.c_str()));
    tabrel::crc32Update(record.data(), static_cast<std::uint32_t>(record.size()), &running);
    std::fwrite(record.data(), 1, record.size(), f);
    std::fwrite("\r\n", 1, 2, f);
    size += record.size() + 2;
  };
  std::uint64_t seed = 0x9E3779B97F4A7C15ull;
  auto fill = [&](std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(text.data(), text.size(), "REC%012zu ", i);
      for (std::size_t k = 17; k < kTextBytes; ++k) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        text[k] = static_cast<char>(' ' + (seed >> 33) % 94);
      }
      text[16] = ' ';
      emit(text);
    }
  };
  fill(declaration);
  emit("DT" + std::string(kTextBytes - 2, '-'));
  declarationCrc = running;
  fill(receipt);
  const std::string trailer = "RT" + digits(running);
  const std::string trailerRecord = trailer + digits(tabrel::recordCrc(trailer.c_str()));
  std::fwrite(trailerRecord.data(), 1, trailerRecord.size(), f);
  std::fwrite("\r\n", 1, 2, f);
  size += trailerRecord.size() + 2;

  const std::string header = "SYS" + digits(declarationCrc);
  tabrel::NameArea area;
  tabrel::buildNameField(tabrel::splitPath(fileName.c_str()), area);
  const std::string headerRecord = header + digits(tabrel::headerCrc(area, header.c_str()));
  std::fseek(f, 0, SEEK_SET);
  std::fwrite(headerRecord.data(), 1, headerRecord.size(), f);
  std::fclose(f);
  return size;
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double zlibPass(const std::string& path, uLong& crc) {
  static std::vector<unsigned char> buffer(1 << 17);
  const auto start = std::chrono::steady_clock::now();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  crc = crc32(0L, Z_NULL, 0);
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0)
    crc = crc32(crc, buffer.data(), static_cast<uInt>(n));
  std::fclose(f);
  return seconds(start);
}

// Reads the file in 64 KiB blocks, CRCs every byte once (zlib's crc32, or the
// library's own when `folding`) and writes `writeBytes` of what it read to a
// scratch file.
double floorPass(const std::string& path, const std::string& dir, std::size_t writeBytes, bool folding,
                 std::uint32_t& crc) {
  static std::vector<unsigned char> buffer(1 << 16);
  const std::string out = dir + "/bench.floor";
  const auto start = std::chrono::steady_clock::now();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::FILE* w = writeBytes ? std::fopen(out.c_str(), "wb") : nullptr;
  crc = 0;
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
    if (folding)
      tabrel::crc32Update(buffer.data(), static_cast<std::uint32_t>(n), &crc);
    else
      crc = static_cast<std::uint32_t>(crc32(crc, buffer.data(), static_cast<uInt>(n)));
    if (w && writeBytes) {
      const std::size_t put = n < writeBytes ? n : writeBytes;
      std::fwrite(buffer.data(), 1, put, w);
      writeBytes -= put;
    }
  }
  std::fclose(f);
  if (w) std::fclose(w);
  const double elapsed = seconds(start);
  std::remove(out.c_str());
  return elapsed;
}

double tabrelPass(const std::string& input, const std::string& dir, std::int32_t& result,
                  std::size_t& cleanBytes) {
  const std::string clean = dir + "/bench.clean";
  const std::string log = dir + "/bench.log";
  char declared[11];
  char computed[11];
  ValidationRequest request{input.c_str(), clean.c_str(), log.c_str(), declared, computed, 3, 0,
                            "SYS",         "DT",          "RT"};
  const auto start = std::chrono::steady_clock::now();
  result = TBTabrel(request);
  const double elapsed = seconds(start);
  std::FILE* copy = std::fopen(clean.c_str(), "rb");
  cleanBytes = 0;
  if (copy) {
    std::fseek(copy, 0, SEEK_END);
    cleanBytes = static_cast<std::size_t>(std::ftell(copy));
    std::fclose(copy);
  }
  std::remove(clean.c_str());
  std::remove(log.c_str());
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = "/tmp";
  std::size_t mebibytes = 256;
  int rounds = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dir" && i + 1 < argc)
      dir = argv[++i];
    else if (arg == "--mib" && i + 1 < argc)
      mebibytes = std::strtoul(argv[++i], nullptr, 10);
    else if (arg == "--rounds" && i + 1 < argc)
      rounds = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "usage: tabrel_bench [--dir DIR] [--mib N] [--rounds N]\n");
      return 64;
    }
  }
  const std::size_t records = mebibytes * 1024 * 1024 / kRecordBytes;
  const std::string name = "bench" + std::to_string(getpid()) + ".dat";
  const std::string input = dir + "/" + name;

  struct Layout {
    const char* label;
    const char* goal;
    std::size_t declaration;
    std::size_t receipt;
  };
  const Layout layouts[] = {
      {"declaration part (cleaned copy written)",
       "TBTabrel / floor (fread + zlib crc32 + fwrite), declaration", records - 100, 98},
      {"receipt part (read and checked only)   ", "TBTabrel / floor (fread + zlib crc32), receipt file", 98,
       records - 100},
  };
  std::printf("tabrel_bench: %zu MiB, %zu-byte records, best of %d runs, warm cache, files in %s\n",
              mebibytes, kRecordBytes, rounds, dir.c_str());
  int status = 0;
  double ratios[2] = {0, 0};
  int index = 0;
  for (const Layout& layout : layouts) {
    const std::size_t size = generate(input, name, layout.declaration, layout.receipt);
    uLong crc = 0;
    std::uint32_t floorCrc = 0;
    std::int32_t result = -1;
    std::size_t cleanBytes = 0;
    zlibPass(input, crc);  // warm the cache
    tabrelPass(input, dir, result, cleanBytes);
    double bestZlib = 1e9;
    double bestTabrel = 1e9;
    double bestFloor = 1e9;
    double bestStrict = 1e9;
    std::uint32_t strictCrc = 0;
    for (int r = 0; r < rounds; ++r) {
      const double t = tabrelPass(input, dir, result, cleanBytes);
      bestTabrel = t < bestTabrel ? t : bestTabrel;
      const std::size_t written = cleanBytes > 4096 ? cleanBytes : 0;
      const double f = floorPass(input, dir, written, false, floorCrc);
      bestFloor = f < bestFloor ? f : bestFloor;
      const double g = floorPass(input, dir, written, true, strictCrc);
      bestStrict = g < bestStrict ? g : bestStrict;
      const double z = zlibPass(input, crc);
      bestZlib = z < bestZlib ? z : bestZlib;
    }
    std::remove(input.c_str());
    if (floorCrc != crc || strictCrc != crc) {
      std::fprintf(stderr, "tabrel_bench: the floor's CRC differs from zlib's\n");
      status = 1;
    }
    const double mb = static_cast<double>(size) / 1e6;
    std::printf(
        "%s  TBTabrel %7.1f MB/s (result %d)   floor %7.1f MB/s   folding floor %7.1f MB/s   "
        "zlib crc32 %7.1f MB/s\n",
        layout.label, mb / bestTabrel, result, mb / bestFloor, mb / bestStrict, mb / bestZlib);
    std::printf("%s  ratio to the floor %.2f   to the folding floor %.2f   to zlib crc32 %.2f\n",
                layout.label, bestTabrel / bestFloor, bestTabrel / bestStrict, bestTabrel / bestZlib);
    ratios[index++] = bestTabrel / bestFloor;
    if (result != 0) status = 1;
  }
  std::printf("\ngoals\n");
  for (int i = 0; i < 2; ++i)
    std::printf("GOAL | %-58s | <= 1.15x | %5.2fx | %s\n", layouts[i].goal, ratios[i],
                ratios[i] <= 1.15 ? "met" : "NOT met");
  return status;
}
