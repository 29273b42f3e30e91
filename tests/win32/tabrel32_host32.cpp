// tabrel32_host32.cpp -- the 32-bit tabrel32.dll as a host loads it: every name
// and ordinal, the 40-byte request passed by value, the worked file, failing
// files with their Windows-1252 logs, and paths with drive letters.
//
// Usage: tabrel32_host32 (works in a folder it makes in the current folder)
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/support/worked_declaration.h"
#include "tests/win32/host32.h"
#include "validator/tabrel32.h"

using host32::check;

static_assert(sizeof(ValidationRequest) == 40, "ten 32-bit words");

namespace {

void writeBytes(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f != nullptr) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

// The file's bytes, or "<absent>".
std::string readBytes(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return "<absent>";
  std::string bytes;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
  std::fclose(f);
  return bytes;
}

const std::string kWorkedFile(suite_test::worked::kFile);

struct Outcome {
  int32_t result;
  std::string declared, computed, clean, log;
};

// One run through entry on content saved as input; the outputs sit beside it.
Outcome run(FARPROC entry, const char* label, const std::string& input, const std::string& outputs,
            const std::string& content) {
  writeBytes(input, content);
  const std::string clean = outputs + "clean.out";
  const std::string log = outputs + "errors.log";
  char declared[16] = "unwritten";
  char computed[16] = "unwritten";
  const ValidationRequest request{input.c_str(), clean.c_str(), log.c_str(), declared, computed, 3,
                                  0xDEADBEEF,    "SYS",         "DT",        "RT"};
  Outcome out{};
  out.result = host32::callByValue(entry, label, request);
  out.declared = declared;
  out.computed = computed;
  out.clean = readBytes(clean);
  out.log = readBytes(log);
  DeleteFileA(input.c_str());
  DeleteFileA(clean.c_str());
  DeleteFileA(log.c_str());
  return out;
}

}  // namespace

int main() {
  HMODULE dll = LoadLibraryA("tabrel32.dll");
  check(dll != nullptr, "LoadLibrary tabrel32.dll");
  if (dll == nullptr) return host32::finish();

  char cwd[MAX_PATH];
  GetCurrentDirectoryA(sizeof cwd, cwd);
  const std::string dir = std::string(cwd) + "\\tabrel32-host32";
  CreateDirectoryA(dir.c_str(), nullptr);
  check(dir.size() > 3 && dir[1] == ':' && dir[2] == '\\', "working folder " + dir + " has a drive letter");

  // One entry under three names and three ordinals, and nothing at ordinal 4.
  struct Lookup {
    const char* label;
    LPCSTR name;
  };
  const Lookup lookups[] = {
      {"TBTABREL", "TBTABREL"},           {"TBTabrel", "TBTabrel"},
      {"_TBTabrel@40", "_TBTabrel@40"},   {"ordinal 1", MAKEINTRESOURCEA(1)},
      {"ordinal 2", MAKEINTRESOURCEA(2)}, {"ordinal 3", MAKEINTRESOURCEA(3)},
  };
  const FARPROC entry = GetProcAddress(dll, "TBTabrel");
  for (const Lookup& l : lookups) {
    check(entry != nullptr && GetProcAddress(dll, l.name) == entry,
          std::string(l.label) + " is the one entry");
  }
  check(GetProcAddress(dll, MAKEINTRESOURCEA(4)) == nullptr, "no ordinal 4");

  // The worked file through every way in, with the input named by a full
  // path, a drive-relative path and a path with forward slashes.
  const std::string input = dir + "\\abcdefgh.xyz";
  for (const Lookup& l : lookups) {
    const Outcome good = run(GetProcAddress(dll, l.name), l.label, input, dir + "\\", kWorkedFile);
    check(good.result == 0,
          std::string("worked file through ") + l.label + ": result " + std::to_string(good.result));
    check(good.declared == "4186146210" && good.computed == "4186146210",
          std::string("worked file through ") + l.label + ": both CRC buffers hold 4186146210");
    check(good.clean == "SYS4186146210\r\nDT\r\n" && good.log == "<absent>",
          std::string("worked file through ") + l.label + ": cleaned copy kept, no log");
  }
  struct PathCase {
    const char* label;
    std::string input;
    std::string outputs;
  };
  std::string slashed = dir;
  for (char& c : slashed) c = c == '\\' ? '/' : c;
  const PathCase paths[] = {
      {"drive, folder, backslashes", input, dir + "\\"},
      {"drive only (current folder of the drive)", dir.substr(0, 2) + "abcdefgh.xyz", ""},
      {"forward slashes after the drive", slashed + "/abcdefgh.xyz", slashed + "/"},
      {"relative with a backslash", "tabrel32-host32\\abcdefgh.xyz", "tabrel32-host32\\"},
  };
  SetCurrentDirectoryA(cwd);
  for (const PathCase& p : paths) {
    const Outcome o = run(entry, p.label, p.input, p.outputs, kWorkedFile);
    check(o.result == 0 && o.clean == "SYS4186146210\r\nDT\r\n", std::string("input path: ") + p.label);
  }

  // Failing files: the result, the CRC buffers and the log, byte for byte.
  struct Failing {
    const char* label;
    std::string content;
    int32_t result;
    const char* declared;
    const char* computed;
    std::string log;
  };
  const Failing failing[] = {
      {"empty file", "", 3, "unwritten", "         0",
       "[00001] 01 - Registro header ausente\r\n"
       "[00001] 05 - Registro trailler da declara\xE7\xE3o ausente\r\n"
       "[00001] 07 - Registro trailler do recibo ausente\r\n"},
      {"wrong system tag", std::string("XYZ41861462103993786283\r\n") + kWorkedFile.substr(25), 4, "4186146210",
       "unwritten", "[00001] 02 - Sistema inv\xE1lido\r\n"},
      {"declaration CRC differs",
       "SYS41861462113993786283\r\nDT3117026579\r\nR12559192339\r\nRT28760475173217099436\r\n", 5,
       "4186146211", "unwritten",
       "[00001] 03 - CRC do registro header inv\xE1lido\r\n"
       "[00002] 06 - CRC do arquivo declara\xE7\xE3o inv\xE1lido\r\n"},
      {"receipt trailer missing", "SYS41861462103993786283\r\nDT3117026579\r\n", 1, "4186146210",
       "4186146210", "[00002] 07 - Registro trailler do recibo ausente\r\n"},
  };
  for (const Failing& f : failing) {
    const Outcome o = run(entry, f.label, input, dir + "\\", f.content);
    check(o.result == f.result, std::string(f.label) + ": result " + std::to_string(o.result));
    check(o.declared == f.declared && o.computed == f.computed,
          std::string(f.label) + ": CRC buffers [" + o.declared + "] [" + o.computed + "]");
    check(o.log == f.log, std::string(f.label) + ": log [" + o.log + "]");
    check(o.clean == "<absent>", std::string(f.label) + ": no cleaned copy");
  }

  RemoveDirectoryA(dir.c_str());
  FreeLibrary(dll);
  return host32::finish();
}
