// orvak_bench.cpp -- keys per second for loading, searching and saving key
// rings of 10,000, 100,000 and 1,000,000 keys (or the sizes given as arguments).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "keyring/orvak32.h"
#include "keyring/packet_writer.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string userIdFor(uint32_t n) {
  char id[48];
  std::snprintf(id, sizeof id, "User %08X <u%u@example.org>", n * 2654435761u, n);
  return id;
}

// Writes a ring of n 1024-bit keys in scrambled user-id order, with a trust
// packet after every key as a real ring would carry.
bool writeRing(const std::string& path, uint32_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::mt19937 random(n);
  PublicKeyRecord r{};
  r.modulusLength = 128;
  r.exponentLength = 3;
  r.exponent[0] = 1;
  r.exponent[2] = 1;
  const uint8_t trust[3] = {0xB0, 0x01, 0x01};
  bool ok = true;
  for (uint32_t i = 0; i < n && ok; ++i) {
    for (auto& b : r.modulus) b = static_cast<uint8_t>(random());
    r.modulus[0] |= 0x80;
    const std::string id = userIdFor(i);
    std::memset(r.userId, 0, sizeof r.userId);
    std::memcpy(r.userId, id.data(), std::min<std::size_t>(id.size(), 31));
    ok = orvak::writePublicKeyPacket(f, r, 700000000u + i, 0) == 0 && std::fwrite(trust, 1, 3, f) == 3 &&
         orvak::writeUserIdPacket(f, r.userId) == 0;
  }
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint32_t> sizes{10000, 100000, 1000000};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; ++i) sizes.push_back(static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)));
  }
  const suite_test::TempDir folder("orvak-bench");
  const std::filesystem::path& dir = folder.path();

  std::printf("%10s  %12s  %8s  %10s  %14s  %12s  %8s\n", "keys", "load keys/s", "load s", "load cpu s",
              "search keys/s", "save keys/s", "save s");
  double firstLoadCost = 0;
  double lastLoadCost = 0;
  double millionLoad = -1;
  for (uint32_t n : sizes) {
    const std::string ring = (dir / "ring.pgp").string();
    const std::string saved = (dir / "saved.pgp").string();
    if (!writeRing(ring, n)) {
      std::fprintf(stderr, "cannot write %s\n", ring.c_str());
      return 1;
    }

    auto start = Clock::now();
    const std::clock_t cpuStart = std::clock();
    int32_t status = -1;
    KeyList list = LoadPublicKeys(ring.c_str(), &status);
    const double load = secondsSince(start);
    const double loadCpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    if (status != 0 || FindNumberOfKeys(list) != static_cast<int32_t>(n)) {
      std::fprintf(stderr, "load of %u keys failed: status %d\n", n, status);
      return 1;
    }

    // Searches walk the list: look up ids spread over it; the records each
    // lookup passes are counted afterwards, outside the timing.
    const int lookups = 20;
    std::vector<std::string> wanted;
    for (int i = 0; i < lookups; ++i) {
      wanted.push_back(userIdFor(static_cast<uint32_t>((static_cast<uint64_t>(i) * 7919u) % n)));
    }
    PublicKeyRecord out{};
    start = Clock::now();
    for (const std::string& id : wanted) {
      if (locate_public_key_by_id(list, id.c_str(), &out) != 0) {
        std::fprintf(stderr, "key %s not found\n", id.c_str());
        return 1;
      }
    }
    const double search = secondsSince(start);
    uint64_t scanned = 0;
    for (const std::string& id : wanted) {
      ++scanned;
      for (KeyList r = list; r != nullptr && std::strncmp(r->userId, id.c_str(), 31) != 0; r = r->next)
        ++scanned;
    }

    start = Clock::now();
    status = SavePublicKeys(list, saved.c_str());
    const double save = secondsSince(start);
    if (status != 0) {
      std::fprintf(stderr, "save failed: status %d\n", status);
      return 1;
    }
    free_publist(list);

    std::printf("%10u  %12.0f  %8.3f  %10.3f  %14.0f  %12.0f  %8.3f\n", n, n / load, load, loadCpu,
                scanned / search, n / save, save);
    if (n == 1000000) millionLoad = load;
    const double cost = load / n;
    if (firstLoadCost == 0) firstLoadCost = cost;
    lastLoadCost = cost;
  }
  if (sizes.size() > 1) {
    std::printf("load cost per key, largest ring / smallest ring: %.2fx\n", lastLoadCost / firstLoadCost);
  }
  if (millionLoad >= 0) {
    std::printf("\ngoals\nGOAL | %-58s | %-10s | %9.3fs   | %s\n", "orvak load of a ring of 1,000,000 keys",
                "< 0.5 s", millionLoad, millionLoad < 0.5 ? "met" : "NOT met");
  }
  return 0;
}
