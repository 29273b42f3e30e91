// host_test.cpp -- loads tabrel32.dll as a Windows host does: every export name and ordinal, and the worked file.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/support/worked_declaration.h"
#include "validator/tabrel32.h"

namespace {

using Entry = std::int32_t(TABREL_CALL*)(ValidationRequest);

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  (ok ? passed : failed)++;
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

std::string readBytes(const std::string& path, bool& exists) {
  std::string bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  exists = f != nullptr;
  if (f) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    std::fclose(f);
  }
  return bytes;
}

const std::string kWorkedFile(suite_test::worked::kFile);

struct Outcome {
  std::int32_t result;
  std::string declared, computed, clean, log;
  bool cleanExists, logExists;
};

Outcome validate(Entry entry, const std::string& dir, const std::string& content) {
  const std::string input = dir + "\\abcdefgh.xyz";
  const std::string clean = dir + "\\clean.out";
  const std::string log = dir + "\\errors.log";
  writeBytes(input, content);
  char declared[11] = "unwritten";
  char computed[11] = "unwritten";
  ValidationRequest request{input.c_str(), clean.c_str(), log.c_str(), declared, computed, 3, 0,
                            "SYS",         "DT",          "RT"};
  Outcome out{};
  out.result = entry(request);
  out.declared = declared;
  out.computed = computed;
  out.clean = readBytes(clean, out.cleanExists);
  out.log = readBytes(log, out.logExists);
  std::remove(input.c_str());
  std::remove(clean.c_str());
  std::remove(log.c_str());
  return out;
}

}  // namespace

int main() {
  HMODULE dll = LoadLibraryA("tabrel32.dll");
  check(dll != nullptr, "LoadLibrary tabrel32.dll");
  if (!dll) {
    std::printf("%d passed, %d failed\n", passed, failed);
    return 1;
  }

  char tempPath[MAX_PATH];
  GetTempPathA(sizeof tempPath, tempPath);
  const std::string dir = std::string(tempPath) + "tabrel-host-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(dir.c_str(), nullptr);

  struct Lookup {
    const char* label;
    LPCSTR name;
  };
  const Lookup lookups[] = {
      {"name TBTABREL", "TBTABREL"},         {"name TBTabrel", "TBTabrel"},
      {"name _TBTabrel@40", "_TBTabrel@40"}, {"ordinal 1", MAKEINTRESOURCEA(1)},
      {"ordinal 2", MAKEINTRESOURCEA(2)},    {"ordinal 3", MAKEINTRESOURCEA(3)},
  };
  FARPROC first = GetProcAddress(dll, "TBTabrel");
  for (const Lookup& lookup : lookups) {
    FARPROC proc = GetProcAddress(dll, lookup.name);
    check(proc != nullptr, std::string("GetProcAddress by ") + lookup.label);
    if (!proc) continue;
    check(proc == first, std::string(lookup.label) + " is the one entry");
    Entry entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(proc));

    const Outcome good = validate(entry, dir, kWorkedFile);
    check(good.result == 0 && good.declared == "4186146210" && good.computed == "4186146210" &&
              good.cleanExists && good.clean == "SYS4186146210\r\nDT\r\n" && !good.logExists,
          std::string("worked file through ") + lookup.label);

    const Outcome empty = validate(entry, dir, "");
    check(empty.result == 3 && !empty.cleanExists && empty.computed == "         0" &&
              empty.log ==
                  "[00001] 01 - Registro header ausente\r\n"
                  "[00001] 05 - Registro trailler da declara\xE7\xE3o ausente\r\n"
                  "[00001] 07 - Registro trailler do recibo ausente\r\n",
          std::string("empty file through ") + lookup.label);
  }
  check(GetProcAddress(dll, MAKEINTRESOURCEA(4)) == nullptr, "no ordinal 4");

  RemoveDirectoryA(dir.c_str());
  FreeLibrary(dll);
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
