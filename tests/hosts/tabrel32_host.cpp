// tabrel32_host.cpp -- tabrel32 as a host loads it: every name (and on Windows
// every ordinal) of the one entry, the request passed by value, the worked
// file, failing files with their Windows-1252 logs, and the ways a host names
// its files (on Windows: drive letters, forward slashes, relative paths).
//
// Usage: tabrel32_host (works in a folder it makes in the current folder)
#include <string>
#include <vector>

#include "tests/hosts/host.h"
#include "tests/support/files.h"
#include "tests/support/worked_declaration.h"
#include "validator/tabrel32.h"

using host::check;
using suite_test::fileExists;
using suite_test::readFile;

static_assert(sizeof(void*) != 4 || sizeof(ValidationRequest) == 40, "ten 32-bit words");

namespace {

using Entry = host::Export<decltype(&TBTabrel)>;

const std::string kWorkedFile(suite_test::worked::kFile);
const std::string kWorkedClean = "SYS4186146210\r\nDT\r\n";

struct Outcome {
  int32_t result;
  std::string declared, computed, clean, log;
};

// One run through entry on content saved as input; the outputs sit in the folder `outputs`.
Outcome run(const Entry& entry, const std::string& input, const std::string& outputs,
            const std::string& content) {
  suite_test::writeFile(input, content);
  const std::string clean = outputs + "clean.out";
  const std::string log = outputs + "errors.log";
  char declared[16] = "unwritten";
  char computed[16] = "unwritten";
  const ValidationRequest request{input.c_str(), clean.c_str(), log.c_str(), declared, computed, 3,
                                  0xDEADBEEF,    "SYS",         "DT",        "RT"};
  Outcome out{};
  out.result = entry(request);
  out.declared = declared;
  out.computed = computed;
  out.clean = fileExists(clean) ? readFile(clean) : "<absent>";
  out.log = fileExists(log) ? readFile(log) : "<absent>";
  host::removeFile(input);
  host::removeFile(clean);
  host::removeFile(log);
  return out;
}

}  // namespace

int main() {
  host::Library library("tabrel32");
  check(library.loaded(), "load " + library.file());
  if (!library.loaded()) return host::finish();
  host::WorkFolder folder("tabrel32-host");
  const std::string dir = folder.path() + host::kSeparator;

  // One entry under every name (and ordinal); on Linux TBTabrel and TBTABREL.
  std::vector<Entry> entries;
  for (const char* name : {"TBTabrel", "TBTABREL"}) entries.emplace_back(library, name);
  if (host::kOrdinals) {
    entries.emplace_back(library, "_TBTabrel@40");
    for (int ordinal : {1, 2, 3}) {
      check(library.byOrdinal(ordinal) == entries[0].address(),
            "ordinal " + std::to_string(ordinal) + " is TBTabrel");
    }
    check(library.byOrdinal(4) == nullptr, "no ordinal 4");
  }
  for (const Entry& e : entries) {
    check(e.address() != nullptr && e.address() == entries[0].address(),
          std::string(e.name()) + " is the one entry");
  }

  // The worked file through every name.
  const std::string input = dir + "abcdefgh.xyz";
  for (const Entry& e : entries) {
    const std::string through = std::string("worked file through ") + e.name();
    const Outcome good = run(e, input, dir, kWorkedFile);
    check(good.result == TB_OK, through + ": result " + std::to_string(good.result));
    check(good.declared == "4186146210" && good.computed == "4186146210",
          through + ": both CRC buffers hold 4186146210");
    check(good.clean == kWorkedClean && good.log == "<absent>", through + ": cleaned copy kept, no log");
  }

  // The input named as hosts name it; the file name enters the header's CRC.
  struct PathCase {
    const char* label;
    std::string input;
    std::string outputs;
  };
  std::vector<PathCase> paths = {
      {"full path", input, dir},
      {"relative path", "tabrel32-host" + std::string(1, host::kSeparator) + "abcdefgh.xyz", ""},
  };
#if defined(_WIN32)
  std::string slashed = folder.path();
  for (char& c : slashed) c = c == '\\' ? '/' : c;
  paths.push_back({"forward slashes after the drive", slashed + "/abcdefgh.xyz", slashed + "/"});
  paths.push_back(
      {"drive only (current folder of the drive)", folder.path().substr(0, 2) + "abcdefgh.xyz", ""});
#endif
  for (const PathCase& p : paths) {
    const Outcome o = run(entries[0], p.input, p.outputs, kWorkedFile);
    check(o.result == TB_OK && o.clean == kWorkedClean, std::string("input path: ") + p.label);
  }

  // Failing files: the result, the CRC buffers and the log, byte for byte.
  struct Failing {
    const char* label;
    std::string content;
    int32_t result;  // a result code, or the number of errors a run that reached the end counted
    const char* declared;
    const char* computed;
    std::string log;
  };
  const Failing failing[] = {
      {"empty file", "", 3, "unwritten", "         0",
       "[00001] 01 - Registro header ausente\r\n"
       "[00001] 05 - Registro trailler da declara\xE7\xE3o ausente\r\n"
       "[00001] 07 - Registro trailler do recibo ausente\r\n"},
      {"wrong system tag", std::string("XYZ41861462103993786283\r\n") + kWorkedFile.substr(25),
       TB_SYSTEM_INVALID, "4186146210", "unwritten", "[00001] 02 - Sistema inv\xE1lido\r\n"},
      {"declaration CRC differs",
       "SYS41861462113993786283\r\nDT3117026579\r\nR12559192339\r\nRT28760475173217099436\r\n",
       TB_DECLARATION_CRC_INVALID, "4186146211", "unwritten",
       "[00001] 03 - CRC do registro header inv\xE1lido\r\n"
       "[00002] 06 - CRC do arquivo declara\xE7\xE3o inv\xE1lido\r\n"},
      {"receipt trailer missing", "SYS41861462103993786283\r\nDT3117026579\r\n", 1, "4186146210",
       "4186146210", "[00002] 07 - Registro trailler do recibo ausente\r\n"},
  };
  for (const Failing& f : failing) {
    const Outcome o = run(entries[0], input, dir, f.content);
    check(o.result == f.result, std::string(f.label) + ": result " + std::to_string(o.result));
    check(o.declared == f.declared && o.computed == f.computed,
          std::string(f.label) + ": CRC buffers [" + o.declared + "] [" + o.computed + "]");
    check(o.log == f.log, std::string(f.label) + ": log [" + o.log + "]");
    check(o.clean == "<absent>", std::string(f.label) + ": no cleaned copy");
  }
  return host::finish();
}
