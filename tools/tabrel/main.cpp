// main.cpp -- tabrel: check a declaration file with tabrel32, or seal a plain one so that the check passes.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/file_reason.h"
#include "tools/tabrel/inspect.h"
#include "tools/tabrel/outputs.h"
#include "tools/tabrel/seal.h"
#include "tools/tabrel/text.h"
#include "validator/record.h"
#include "validator/tabrel32.h"

#include "suite_version.h"

namespace {

using tabrel::tool::windows1252ToUtf8;

constexpr int kExitUsage = 64;  // bad command line
constexpr int kExitData = 65;   // seal: the plain input is not a declaration
constexpr int kExitIo = 74;     // seal: a file cannot be read or written

const char kHelp[] =
    "usage: tabrel check FILE --system TAG --offset N --declaration-trailer TAG\n"
    "                  --receipt-trailer TAG [--clean PATH] [--log PATH] [--as NAME]\n"
    "       tabrel seal PLAIN --output FILE --system TAG --offset N\n"
    "                  --declaration-trailer TAG --receipt-trailer TAG [--as NAME]\n"
    "       tabrel --help\n"
    "       tabrel --version\n"
    "\n"
    "A declaration file is a header record, the declaration records, a declaration\n"
    "trailer, the receipt records and a receipt trailer; every record is a CR LF line\n"
    "ending in the CRC-32 of its text as ten decimal digits.\n"
    "\n"
    "check   validates FILE with tabrel32. Prints the result in words, the declared\n"
    "        and the computed declaration CRC and the error log (as UTF-8).\n"
    "        Exit status: the result code, 0 = valid; 1 to 6 = errors counted, or\n"
    "        1 input cannot be opened, 2 cleaned copy cannot be created or written,\n"
    "        3 error log cannot be created, 4 wrong system (02), 5 declaration CRC\n"
    "        wrong (06), 6 receipt CRC wrong (08); 64 = bad command line.\n"
    "        The cleaned copy remains only when the file is valid, the error log\n"
    "        only when it is not. Both are written under temporary names beside\n"
    "        their paths and put in place when the run has ended, so a run that\n"
    "        stops early (a file that cannot be opened, told with the system's\n"
    "        reason; a --clean or --log that names the input, or --log that names\n"
    "        the cleaned copy) leaves earlier outputs as they were. Notes follow\n"
    "        the log: an empty file, LF-only line ends, that the header's own CRC\n"
    "        covers the file's name (error 03: check a renamed file with --as),\n"
    "        and with result 5 the declaration CRC the header should carry.\n"
    "seal    reads PLAIN, text lines (LF or CR LF) without CRC fields: the header\n"
    "        first (it begins with the system tag), then the declaration records up\n"
    "        to the line that begins with the declaration trailer tag, then the\n"
    "        receipt records up to the line that begins with the receipt trailer tag,\n"
    "        and nothing after it. Writes FILE with every CRC field filled in, the\n"
    "        declaration CRC put at the offset of the header (replacing the ten\n"
    "        characters there, or appended) and the receipt CRC appended to the\n"
    "        receipt trailer, so that `tabrel check FILE` with the same options\n"
    "        returns 0. FILE is written beside itself and put in place whole, so a\n"
    "        failed seal leaves an earlier FILE as it was; FILE may not be PLAIN.\n"
    "        Exit status 0; 65 = PLAIN is not such a declaration; 74 = a file\n"
    "        cannot be read or written; 64 = bad command line.\n"
    "\n"
    "options\n"
    "  --system TAG               text the header begins with\n"
    "  --offset N                 position (from 0) of the ten-digit declaration CRC\n"
    "                             in the header text\n"
    "  --declaration-trailer TAG  text the declaration trailer begins with\n"
    "  --receipt-trailer TAG      text the receipt trailer begins with\n"
    "  --clean PATH               check: the cleaned copy (default FILE.clean)\n"
    "  --log PATH                 check: the error log (default FILE.log)\n"
    "  --output FILE, -o FILE     seal: the file to write\n"
    "  --as NAME                  seal: the file name the header's CRC is made for\n"
    "                             (default: the name of FILE); check: the file name\n"
    "                             to check FILE under, the one it was sealed for.\n"
    "                             The name enters the header's own CRC, so a sealed\n"
    "                             file keeps its name\n"
    "  --help, -h                 this text\n"
    "Options also take the form --name=value.\n";

int usageError(const std::string& message) {
  std::cerr << "tabrel: " << message << "\n"
            << "Try 'tabrel --help'.\n";
  return kExitUsage;
}

struct CommandLine {
  std::string command;
  std::vector<std::string> operands;
  std::map<std::string, std::string> options;
  bool help = false;
  bool version = false;
  std::string error;
};

CommandLine parse(int argc, char** argv, const std::vector<std::string>& known) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      line.help = true;
      continue;
    }
    if (arg == "--version") {
      line.version = true;
      continue;
    }
    if (arg == "-o") arg = "--output";
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      std::string name = arg.substr(2);
      std::optional<std::string> value;
      if (const auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
      }
      bool isKnown = false;
      for (const std::string& k : known) isKnown = isKnown || k == name;
      if (!isKnown) {
        line.error = "unknown option --" + name;
        return line;
      }
      if (!value) {
        if (i + 1 >= argc) {
          line.error = "option --" + name + " needs a value";
          return line;
        }
        value = argv[++i];
      }
      if (line.options.count(name)) {
        line.error = "option --" + name + " given twice";
        return line;
      }
      line.options[name] = *value;
    } else if (arg.size() > 1 && arg[0] == '-') {
      line.error = "unknown option " + arg;
      return line;
    } else if (line.command.empty()) {
      line.command = arg;
    } else {
      line.operands.push_back(arg);
    }
  }
  return line;
}

struct Tags {
  std::string system, declarationTrailer, receiptTrailer;
  std::int32_t offset = 0;
};

// The four options both commands need; an error text when one is missing or bad.
std::string readTags(const CommandLine& line, Tags& tags) {
  for (const char* name : {"system", "offset", "declaration-trailer", "receipt-trailer"})
    if (!line.options.count(name)) return std::string("missing option --") + name;
  tags.system = line.options.at("system");
  tags.declarationTrailer = line.options.at("declaration-trailer");
  tags.receiptTrailer = line.options.at("receipt-trailer");
  const std::string& text = line.options.at("offset");
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
    return "--offset wants a whole number, not '" + text + "'";
  tags.offset = static_cast<std::int32_t>(value);
  return {};
}

bool readWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool logHasError(const std::string& log, const char* number) {
  return log.find(std::string("] ") + number + " - ") != std::string::npos;
}

std::string resultInWords(std::int32_t result, const std::string& log) {
  if (result == 0) return "valid: every record, both trailers and both file CRCs are right";
  if (result == 4 && logHasError(log, "02")) return "invalid: the header does not begin with the system tag";
  if (result == 5 && logHasError(log, "06")) return "invalid: the declaration CRC does not match";
  if (result == 6 && logHasError(log, "08")) return "invalid: the receipt CRC does not match";
  return "invalid: " + std::to_string(result) + (result == 1 ? " error" : " errors") + " found";
}

// What a check found besides the library's own words.
struct CheckReport {
  std::string input;
  std::string checkedAs;  // the file name the check ran under, when --as
  std::int32_t result = 0;
  std::string words;  // the result in words
  char declared[11] = {};
  char computed[11] = {};
  std::string shouldCarry;  // result 5: the declaration CRC the records give
  std::string cleanPath;    // the cleaned copy this run left, if any
  std::string logPath;      // the error log this run left, if any
  std::string logBytes;
  std::vector<std::string> notes;
};

int printReport(const CheckReport& r) {
  std::cout << "file:          " << r.input;
  if (!r.checkedAs.empty()) std::cout << " (checked as " << r.checkedAs << ")";
  std::cout << "\n"
            << "result:        " << r.result << " - " << r.words << "\n"
            << "declared CRC:  " << (r.declared[0] ? windows1252ToUtf8(r.declared) : "(no header read)")
            << "\n"
            << "computed CRC:  " << (r.computed[0] ? r.computed : "(declaration part not finished)") << "\n";
  if (!r.shouldCarry.empty()) std::cout << "header should carry: " << r.shouldCarry << "\n";
  if (!r.cleanPath.empty()) std::cout << "cleaned copy:  " << r.cleanPath << "\n";
  if (!r.logPath.empty()) {
    std::cout << "error log:     " << r.logPath << "\n";
    std::string text = windows1252ToUtf8(r.logBytes);
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      std::cout << "  " << text.substr(start, end - start) << "\n";
      start = end + 2;
    }
  }
  for (const std::string& note : r.notes) std::cout << "note: " << note << "\n";
  return r.result;
}

// A run that stops before the library is called, or before it has its files.
int earlyResult(CheckReport& report, std::int32_t result, const std::string& words) {
  report.result = result;
  report.words = words;
  return printReport(report);
}

void addInputNotes(CheckReport& report, const std::string& bytes) {
  using tabrel::tool::countLineEnds;
  if (bytes.empty()) {
    report.notes.push_back(report.input + " is empty: it holds no header, no records and no trailers");
    return;
  }
  const tabrel::tool::LineEnds ends = countLineEnds(bytes);
  if (ends.lfAlone > 0 && ends.crLf == 0) {
    report.notes.push_back(report.input +
                           " has LF-only line ends; every record must end with CR LF, so no record was found "
                           "(convert the line ends, or seal the plain text with tabrel seal)");
  } else if (ends.lfAlone > 0) {
    report.notes.push_back(std::to_string(ends.lfAlone) + " line" + (ends.lfAlone == 1 ? "" : "s") + " of " +
                           report.input + " end with LF alone, the first is line " +
                           std::to_string(ends.firstLfAlone) +
                           "; a record ends with CR LF, so such a line runs on into the next");
  }
  if (logHasError(report.logBytes, "03")) {
    const std::string under = report.checkedAs.empty() ? report.input : report.checkedAs;
    const std::string field = tabrel::tool::nameFieldOf(under);
    const std::string name = tabrel::tool::fileNamePart(under);
    report.notes.push_back("the header's own CRC covers the file's name too (the name field \"" + field +
                           "\"" + (field == name ? "" : " from '" + name + "'") +
                           "): a file renamed since it was sealed fails it; check it under the name it was "
                           "sealed for with --as NAME");
  }
}

int runCheck(const CommandLine& line) {
  if (line.operands.size() != 1)
    return usageError(line.operands.empty() ? "check: which FILE?" : "check: one FILE only");
  if (line.options.count("output")) return usageError("check does not take --output");
  Tags tags;
  if (const std::string error = readTags(line, tags); !error.empty()) return usageError("check: " + error);
  CheckReport report;
  report.input = line.operands[0];
  const std::string& input = report.input;
  const std::string clean = line.options.count("clean") ? line.options.at("clean") : input + ".clean";
  const std::string log = line.options.count("log") ? line.options.at("log") : input + ".log";
  if (line.options.count("as")) {
    report.checkedAs = tabrel::tool::fileNamePart(line.options.at("as"));
    if (report.checkedAs.empty() || report.checkedAs == "." || report.checkedAs == "..")
      return usageError("check: --as wants a file name, not '" + line.options.at("as") + "'");
  }

  // Every file is looked at before the run, so that a run that cannot be
  // made says why and touches nothing.
  if (const std::string reason = tools::readErrorText(input); !reason.empty())
    return earlyResult(report, 1, "the input file cannot be opened: " + reason);
  std::string bytes;
  if (!readWholeFile(input, bytes))
    return earlyResult(report, 1, "the input file cannot be read: " + std::string(std::strerror(errno)));
  if (tabrel::tool::sameFile(clean, input))
    return earlyResult(report, 2, "the cleaned copy cannot be created: '" + clean + "' is the input file");
  if (tabrel::tool::sameFile(log, input) || tabrel::tool::sameFile(log, clean))
    return earlyResult(report, 3,
                       "the error log cannot be created: '" + log + "' is the " +
                           (tabrel::tool::sameFile(log, input) ? "input file" : "cleaned copy"));
  tabrel::tool::StagedOutput cleanOut, logOut;
  std::string reason;
  if (!cleanOut.create(clean, reason))
    return earlyResult(report, 2, "the cleaned copy '" + clean + "' cannot be created: " + reason);
  if (!logOut.create(log, reason))
    return earlyResult(report, 3, "the error log '" + log + "' cannot be created: " + reason);
  cleanOut.close();
  logOut.close();
  tabrel::tool::NamedCopy renamed;
  if (!report.checkedAs.empty() && !renamed.create(input, report.checkedAs, reason))
    return earlyResult(report, 1,
                       "the input cannot be copied to check it as " + report.checkedAs + ": " + reason);
  const std::string checkedPath = report.checkedAs.empty() ? input : renamed.path();

  ValidationRequest request{checkedPath.c_str(),
                            cleanOut.temporary().c_str(),
                            logOut.temporary().c_str(),
                            report.declared,
                            report.computed,
                            tags.offset,
                            0,
                            tags.system.c_str(),
                            tags.declarationTrailer.c_str(),
                            tags.receiptTrailer.c_str()};
  report.result = TBTabrel(request);

  // A run that reached its end leaves exactly one of the two files: it
  // replaces the earlier outputs. Otherwise they stay as they were.
  const bool cleanLeft = cleanOut.temporaryExists();
  const bool logLeft = logOut.temporaryExists();
  if (cleanLeft && !logLeft) {
    if (!cleanOut.commit(reason)) {
      std::cerr << "tabrel: check: cannot put the cleaned copy in place at " << clean << ": " << reason
                << "\n";
      return earlyResult(report, 2, "the cleaned copy cannot be written: " + reason);
    }
    logOut.removeTarget();
    report.cleanPath = clean;
  } else if (logLeft && !cleanLeft) {
    if (!logOut.commit(reason)) {
      std::cerr << "tabrel: check: cannot put the error log in place at " << log << ": " << reason << "\n";
      return earlyResult(report, 3, "the error log cannot be written: " + reason);
    }
    cleanOut.removeTarget();
    report.logPath = log;
    readWholeFile(log, report.logBytes);
  } else {
    const char* what = report.result == 1   ? "the input file cannot be opened"
                       : report.result == 3 ? "the error log cannot be created"
                                            : "the cleaned copy cannot be created or written";
    report.words = std::string(what) + "; earlier outputs were left as they were";
    return printReport(report);
  }
  report.words = resultInWords(report.result, report.logBytes);
  if (report.result == 5 && logHasError(report.logBytes, "06")) {
    std::uint32_t crc = 0;
    if (tabrel::tool::declarationCrcOf(checkedPath, tags.declarationTrailer, crc)) {
      char digits[tabrel::kFieldLength];
      tabrel::formatCrcField(crc, digits);
      report.shouldCarry = std::string(digits, sizeof digits) + " (at offset " + std::to_string(tags.offset) +
                           " of the header; its own CRC then changes too: tabrel seal makes both)";
    }
  }
  if (report.result != 0) addInputNotes(report, bytes);
  return printReport(report);
}

int runSeal(const CommandLine& line) {
  if (line.operands.size() != 1)
    return usageError(line.operands.empty() ? "seal: which PLAIN file?" : "seal: one PLAIN file only");
  for (const char* name : {"clean", "log"})
    if (line.options.count(name)) return usageError(std::string("seal does not take --") + name);
  if (!line.options.count("output")) return usageError("seal: missing option --output");
  Tags tags;
  if (const std::string error = readTags(line, tags); !error.empty()) return usageError("seal: " + error);
  const std::string& plainPath = line.operands[0];
  const std::string& output = line.options.at("output");
  if (tabrel::tool::sameFile(output, plainPath))
    return usageError("seal: --output names the PLAIN file itself; write the sealed file elsewhere");

  std::string plain;
  if (const std::string reason = tools::readErrorText(plainPath); !reason.empty()) {
    std::cerr << "tabrel: seal: cannot read " << plainPath << ": " << reason << "\n";
    return kExitIo;
  }
  if (!readWholeFile(plainPath, plain)) {
    std::cerr << "tabrel: seal: cannot read " << plainPath << ": " << std::strerror(errno) << "\n";
    return kExitIo;
  }
  tabrel::tool::SealOptions options;
  options.systemTag = tags.system;
  options.declaredCrcOffset = tags.offset;
  options.declarationTrailerTag = tags.declarationTrailer;
  options.receiptTrailerTag = tags.receiptTrailer;
  options.fileName = line.options.count("as") ? line.options.at("as") : output;
  const tabrel::tool::SealResult sealed = tabrel::tool::seal(plain, options);
  if (!sealed.ok) {
    std::cerr << "tabrel: seal: " << plainPath << ": " << sealed.error << "\n";
    return kExitData;
  }
  // Written beside the output and put in place whole: a failed seal leaves
  // an earlier output as it was.
  tabrel::tool::StagedOutput out;
  std::string reason;
  if (!out.create(output, reason)) {
    std::cerr << "tabrel: seal: cannot write " << output << ": " << reason << "\n";
    return kExitIo;
  }
  errno = 0;
  if (!out.write(sealed.bytes.data(), sealed.bytes.size()) || !out.commit(reason)) {
    std::cerr << "tabrel: seal: cannot write " << output << ": "
              << (reason.empty() ? tabrel::tool::systemReason(errno) : reason) << "\n";
    return kExitIo;
  }
  std::cout << "sealed " << plainPath << " into " << output << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine line =
      parse(argc, argv,
            {"system", "offset", "declaration-trailer", "receipt-trailer", "clean", "log", "output", "as"});
  if (line.help) {
    std::cout << kHelp;
    return 0;
  }
  if (line.version) {
    std::cout << "tabrel " SUITE_VERSION "\n";
    return 0;
  }
  if (!line.error.empty()) return usageError(line.error);
  if (line.command == "check") return runCheck(line);
  if (line.command == "seal") return runSeal(line);
  if (line.command == "help") {
    std::cout << kHelp;
    return 0;
  }
  if (line.command.empty()) return usageError("which command? check or seal");
  return usageError("unknown command '" + line.command + "'");
}
