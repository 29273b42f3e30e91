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
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "tools/common/file_reason.h"
#include "tools/tabrel/inspect.h"
#include "tools/tabrel/outputs.h"
#include "tools/tabrel/seal.h"
#include "validator/record.h"
#include "validator/tabrel32.h"

#include "suite_version.h"
#include "tools/common/cp1252.h"
#include "tools/common/json.h"

namespace {

using tools::jsonString;
using tools::windows1252ToUtf8;

// Exit statuses of their own, apart from check's results 0 to 6.
constexpr int kExitUsage = 64;       // wrong command line
constexpr int kExitData = 65;        // seal: the plain input is not a declaration
constexpr int kExitNoInput = 66;     // the input cannot be opened or read
constexpr int kExitCannotCreate = 73;  // an output cannot be created or put in place
constexpr int kExitIo = 74;          // a write failed

int usageError(const std::string& message) {
  std::cerr << "tabrel: " << message << "\n"
            << "Try 'tabrel --help'.\n";
  return kExitUsage;
}

// The options given on the command line, by name (without "--").
struct CommandLine {
  std::vector<std::string> operands;
  std::map<std::string, std::string> options;
};

using tabrel::tool::Tags;

constexpr const char* kTagNames[] = {"system", "offset", "declaration-trailer", "receipt-trailer"};

// The tags of a profile: a file of "name = value" lines in TOML, the four
// long options without their dashes; '#' begins a comment. Fills `options`
// with those the command line did not give. An error text when the profile
// cannot be read or holds anything else; `unreadable` tells which.
std::string readProfile(const std::string& path, std::map<std::string, std::string>& options, bool& unreadable) {
  unreadable = false;
  if (const std::string reason = tools::readErrorText(path); !reason.empty()) {
    unreadable = true;
    return "cannot read the profile " + path + ": " + reason;
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<CLI::ConfigItem> items;
  try {
    items = CLI::ConfigTOML().from_config(in);
  } catch (const CLI::Error& e) {
    return "profile " + path + ": " + e.what();
  }
  std::map<std::string, std::string> found;
  for (const CLI::ConfigItem& item : items) {
    if (item.name == "++" || item.name == "--") continue;  // a section's bounds
    const std::string key = item.fullname();
    bool known = item.parents.empty();
    if (known) {
      known = false;
      for (const char* name : kTagNames) known = known || key == name;
    }
    if (!known) {
      return "profile " + path + ": unknown key '" + key +
             "' (a profile holds system, offset, declaration-trailer and receipt-trailer)";
    }
    if (item.inputs.size() != 1) return "profile " + path + ": " + key + " takes one value";
    found[key] = item.inputs.front();
  }
  for (const auto& [name, value] : found) options.emplace(name, value);
  return {};
}

// The four tags: each from the command line, else from the profile (--profile
// FILE, else the file TABREL_PROFILE names). An error text when one is missing
// or bad; `status` then holds the exit status.
std::string readTags(CommandLine& line, Tags& tags, int& status) {
  status = kExitUsage;
  std::string profile = line.options.count("profile") ? line.options.at("profile") : std::string();
  std::string from = "--profile";
  if (profile.empty()) {
    if (const char* named = std::getenv("TABREL_PROFILE"); named != nullptr && *named != '\0') {
      profile = named;
      from = "TABREL_PROFILE";
    }
  }
  if (!profile.empty()) {
    bool unreadable = false;
    if (std::string error = readProfile(profile, line.options, unreadable); !error.empty()) {
      if (unreadable) status = kExitNoInput;
      return error + (from == "TABREL_PROFILE" ? " (named by TABREL_PROFILE)" : "");
    }
  }
  for (const char* name : kTagNames) {
    if (!line.options.count(name)) {
      return std::string("missing option --") + name +
             (profile.empty() ? " (give it, or a profile: --profile FILE or TABREL_PROFILE)"
                              : " (not in the profile " + profile + " either)");
    }
  }
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
  if (result == TB_OK) return "valid: every record, both trailers and both file CRCs are right";
  if (result == TB_SYSTEM_INVALID && logHasError(log, "02")) return "invalid: the header does not begin with the system tag";
  if (result == TB_DECLARATION_CRC_INVALID && logHasError(log, "06")) return "invalid: the declaration CRC does not match";
  if (result == TB_RECEIPT_CRC_INVALID && logHasError(log, "08")) return "invalid: the receipt CRC does not match";
  if (result == TB_MAX_ERRORS) return "invalid: at least 6 errors, counting stops at 6";
  return "invalid: " + std::to_string(result) + (result == 1 ? " error" : " errors") + " found";
}

// What each code of the error log means; the log's own Portuguese line stays as it is.
const char* logCodeExplanation(const std::string& code) {
  static const std::pair<const char*, const char*> kExplanations[] = {
      {"01", "the file holds no header record (it is empty, or has no line ended by CR LF)"},
      {"02", "the header does not begin with the system tag (--system)"},
      {"03",
       "the header's own CRC does not match: the header changed, or the file's name did since it was sealed "
       "(check a renamed file with --as)"},
      {"04", "this record's own CRC does not match its text: the record was changed or damaged"},
      {"05", "no declaration trailer: no record begins with the --declaration-trailer tag"},
      {"06", "the declaration CRC in the header does not match the declaration records"},
      {"07", "no receipt trailer: no record after the declaration begins with the --receipt-trailer tag"},
      {"08", "the receipt CRC in the receipt trailer does not match the records"},
      {"09", "the receipt trailer's own CRC does not match its text"},
  };
  for (const auto& [number, text] : kExplanations) {
    if (code == number) return text;
  }
  return nullptr;
}

// A CRC as ten digits, the form a record carries it in; other text as it is.
std::string crcText(const char* field) {
  std::string text = windows1252ToUtf8(field);
  if (!text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos) {
    text.insert(0, 10 - text.size(), '0');
  }
  return text;
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
  Tags tags;
  std::string checkedPath;  // the path the library ran on (a copy under the --as name)
};

// One line of the error log, "[00002] 04 - text" (text in Windows-1252).
struct LogLine {
  std::string line;
  std::size_t record = 0;  // 0 when the line has no readable number
  std::string code;        // empty when the line is not of that form
  std::string text;
};

std::vector<LogLine> logLines(const std::string& log) {
  std::vector<LogLine> lines;
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find("\r\n", start);
    if (end == std::string::npos) end = log.size();
    LogLine entry;
    entry.line = log.substr(start, end - start);
    start = end + 2;
    const std::string& line = entry.line;
    const auto close = line.find("] ");
    if (!line.empty() && line[0] == '[' && close != std::string::npos && line.size() >= close + 7) {
      const std::string number = line.substr(1, close - 1);
      if (!number.empty() && number.size() <= 9 && number.find_first_not_of("0123456789") == std::string::npos)
        entry.record = static_cast<std::size_t>(std::stoul(number));
      entry.code = line.substr(close + 2, 2);
      entry.text = line.substr(close + 7);
    }
    lines.push_back(std::move(entry));
  }
  return lines;
}

// "the header's own CRC", "this record's own CRC"... for a line of the report.
const char* crcSubjectInWords(const std::string& subject) {
  if (subject == "header") return "the header's own CRC";
  if (subject == "record") return "the record's own CRC";
  if (subject == "declaration") return "the declaration CRC";
  return "the receipt CRC";
}

// The report as one JSON object: the result, both CRCs, every error of the
// log with its record, code, the library's text, what it means and, where the
// tool can tell, the CRC found and the CRC computed.
int printJson(const CheckReport& r, const tabrel::tool::RecordsRead& records) {
  auto crcOrNull = [](const std::string& text) { return text.empty() ? std::string("null") : jsonString(text); };
  std::string out = "{\"file\": " + jsonString(r.input);
  if (!r.checkedAs.empty()) out += ", \"checkedAs\": " + jsonString(r.checkedAs);
  out += ", \"result\": " + std::to_string(r.result) + ", \"valid\": " + (r.result == 0 ? "true" : "false") +
         ", \"words\": " + jsonString(r.words) +
         ", \"declaredCrc\": " + crcOrNull(r.declared[0] ? crcText(r.declared) : "") +
         ", \"computedCrc\": " + crcOrNull(r.computed[0] ? crcText(r.computed) : "") + ", \"errors\": [";
  bool first = true;
  for (const LogLine& entry : logLines(r.logBytes)) {
    if (entry.code.empty()) continue;
    const tabrel::tool::ErrorCrcs crcs = tabrel::tool::errorCrcs(records, r.tags, r.checkedPath, entry.code, entry.record);
    const std::string& code = entry.code;
    const std::size_t record = entry.record;
    const std::string text = windows1252ToUtf8(entry.text);
    const char* meaning = logCodeExplanation(code);
    out += std::string(first ? "\n  " : ",\n  ") + "{\"record\": " + (record > 0 ? std::to_string(record) : "null") +
           ", \"code\": " + jsonString(code) + ", \"text\": " + jsonString(text) +
           ", \"explanation\": " + (meaning ? jsonString(meaning) : "null") +
           ", \"crcOf\": " + (crcs.subject.empty() ? std::string("null") : jsonString(crcs.subject)) +
           ", \"crcFound\": " + crcOrNull(windows1252ToUtf8(crcs.found)) +
           ", \"crcComputed\": " + crcOrNull(crcs.computed) + "}";
    first = false;
  }
  out += first ? "]" : "\n]";
  if (!r.shouldCarry.empty()) out += ", \"headerShouldCarry\": " + jsonString(r.shouldCarry.substr(0, 10));
  out += ", \"notes\": [";
  for (std::size_t i = 0; i < r.notes.size(); ++i) out += (i ? ", " : "") + jsonString(r.notes[i]);
  out += "]}\n";
  std::cout << out;
  return r.result;
}

int printReport(const CheckReport& r, const tabrel::tool::RecordsRead& records) {
  std::cout << "file:          " << r.input;
  if (!r.checkedAs.empty()) std::cout << " (checked as " << r.checkedAs << ")";
  std::cout << "\n"
            << "result:        " << r.result << " - " << r.words << "\n"
            << "declared CRC:  " << (r.declared[0] ? crcText(r.declared) : "(no header read)") << "\n"
            << "computed CRC:  " << (r.computed[0] ? crcText(r.computed) : "(declaration part not finished)")
            << "\n";
  if (!r.shouldCarry.empty()) std::cout << "header should carry: " << r.shouldCarry << "\n";
  if (!r.cleanPath.empty()) std::cout << "cleaned copy:  " << r.cleanPath << "\n";
  if (!r.logPath.empty()) {
    std::cout << "error log:     " << r.logPath << "\n";
    for (const LogLine& entry : logLines(r.logBytes)) {
      std::cout << "  " << windows1252ToUtf8(entry.line) << "\n";
      if (const char* meaning = logCodeExplanation(entry.code)) std::cout << "          " << meaning << "\n";
      if (entry.code.empty()) continue;
      const tabrel::tool::ErrorCrcs crcs =
          tabrel::tool::errorCrcs(records, r.tags, r.checkedPath, entry.code, entry.record);
      if (crcs.found.empty() && crcs.computed.empty()) continue;
      std::cout << "          " << crcSubjectInWords(crcs.subject) << ": "
                << (crcs.found.empty() ? "none carried" : "found " + windows1252ToUtf8(crcs.found))
                << (crcs.computed.empty() ? "" : ", computed " + crcs.computed) << "\n";
    }
  }
  for (const std::string& note : r.notes) std::cout << "note: " << note << "\n";
  return r.result;
}

// A run that cannot be made, or whose outputs cannot be put in place: the
// reason on standard error and a status of its own, never a result 1 to 6.
int cannotRun(int status, const std::string& reason) {
  std::cerr << "tabrel: check: " << reason << "\n";
  return status;
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

int runCheck(CommandLine& line) {
  Tags tags;
  int status = 0;
  if (const std::string error = readTags(line, tags, status); !error.empty())
    return status == kExitUsage ? usageError("check: " + error) : cannotRun(status, error);
  CheckReport report;
  report.input = line.operands[0];
  const std::string& input = report.input;
  // --no-clean: both outputs in a folder of their own that goes with the run,
  // so that nothing is written beside the input.
  const bool noClean = line.options.count("no-clean") != 0;
  tabrel::tool::NamedCopy scratch;
  std::string scratchReason;
  if (noClean && !scratch.makeFolder(scratchReason))
    return cannotRun(kExitCannotCreate, "cannot make a temporary folder: " + scratchReason);
  const std::string clean = noClean                       ? scratch.folder() + "/clean"
                            : line.options.count("clean") ? line.options.at("clean")
                                                          : input + ".clean";
  const std::string log = noClean                     ? scratch.folder() + "/log"
                          : line.options.count("log") ? line.options.at("log")
                                                      : input + ".log";
  if (line.options.count("as")) {
    report.checkedAs = tabrel::tool::fileNamePart(line.options.at("as"));
    if (report.checkedAs.empty() || report.checkedAs == "." || report.checkedAs == "..")
      return usageError("check: --as wants a file name, not '" + line.options.at("as") + "'");
  }

  // Every file is looked at before the run, so that a run that cannot be
  // made says why and touches nothing.
  if (const std::string reason = tools::readErrorText(input); !reason.empty())
    return cannotRun(kExitNoInput, "cannot open " + input + ": " + reason);
  std::string bytes;
  if (!readWholeFile(input, bytes))
    return cannotRun(kExitNoInput, "cannot read " + input + ": " + std::string(std::strerror(errno)));
  if (tabrel::tool::sameFile(clean, input))
    return cannotRun(kExitUsage, "--clean names the input file '" + clean + "'");
  if (tabrel::tool::sameFile(log, input) || tabrel::tool::sameFile(log, clean))
    return cannotRun(kExitUsage, "--log names the " +
                                     std::string(tabrel::tool::sameFile(log, input) ? "input file" : "cleaned copy") +
                                     " '" + log + "'");
  tabrel::tool::StagedOutput cleanOut, logOut;
  std::string reason;
  if (!cleanOut.create(clean, reason))
    return cannotRun(kExitCannotCreate, "cannot create the cleaned copy " + clean + ": " + reason);
  if (!logOut.create(log, reason))
    return cannotRun(kExitCannotCreate, "cannot create the error log " + log + ": " + reason);
  cleanOut.close();
  logOut.close();
  tabrel::tool::NamedCopy renamed;
  if (!report.checkedAs.empty() && !renamed.create(input, report.checkedAs, reason))
    return cannotRun(kExitCannotCreate, "cannot copy the input to check it as " + report.checkedAs + ": " + reason);
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
      return cannotRun(kExitCannotCreate, "cannot put the cleaned copy in place at " + clean + ": " + reason);
    }
    if (!noClean) {
      logOut.removeTarget();
      report.cleanPath = clean;
    }
  } else if (logLeft && !cleanLeft) {
    if (!logOut.commit(reason)) {
      return cannotRun(kExitCannotCreate, "cannot put the error log in place at " + log + ": " + reason);
    }
    report.logPath = noClean ? "(--no-clean: not kept)" : log;
    if (!noClean && tools::readError(clean) == 0) report.notes.push_back("the cleaned copy " + clean + " is an earlier run's; this run left it as it was");
    readWholeFile(log, report.logBytes);
  } else {
    const char* what = report.result == TB_INPUT_UNAVAILABLE ? "the input file cannot be opened"
                       : report.result == TB_LOG_UNAVAILABLE ? "the error log cannot be created"
                                            : "the cleaned copy cannot be created or written";
    return cannotRun(report.result == TB_INPUT_UNAVAILABLE ? kExitNoInput : kExitCannotCreate,
                     std::string(what) + " (tabrel32's result " + std::to_string(report.result) +
                         "); earlier outputs were left as they were");
  }
  report.words = resultInWords(report.result, report.logBytes);
  if (report.result == TB_DECLARATION_CRC_INVALID && logHasError(report.logBytes, "06")) {
    std::uint32_t crc = 0;
    if (logHasError(report.logBytes, "04")) {
      // A header value that matched the records would hide the change.
      report.notes.push_back(
          "no declaration CRC is advised: a record failed its own CRC, so the records were changed or "
          "damaged since they were sealed; a header made to match them would hide that");
    } else if (tabrel::tool::declarationCrcOf(checkedPath, tags.declarationTrailer, crc)) {
      char field[tabrel::kFieldLength];
      tabrel::formatCrcField(crc, field);
      const std::string digits(field, sizeof field);
      const std::string header = bytes.substr(0, bytes.find("\r\n"));
      const auto at = header.find(digits);
      if (at != std::string::npos && static_cast<std::int64_t>(at) != tags.offset) {
        report.notes.push_back("the header holds the declaration CRC the records give, " + digits +
                               ", at offset " + std::to_string(at) + ", not " + std::to_string(tags.offset) +
                               ": check with --offset " + std::to_string(at));
      } else {
        report.shouldCarry = digits + " (at offset " + std::to_string(tags.offset) +
                             " of the header; its own CRC then changes too: tabrel seal makes both)";
      }
    }
  }
  if (report.result != 0) addInputNotes(report, bytes);
  report.tags = tags;
  report.checkedPath = checkedPath;
  tabrel::tool::RecordsRead records;
  tabrel::tool::readRecords(checkedPath, tags, records);
  if (line.options.count("json") != 0) return printJson(report, records);
  return printReport(report, records);
}

int runSeal(CommandLine& line) {
  Tags tags;
  int status = 0;
  if (const std::string error = readTags(line, tags, status); !error.empty()) {
    if (status == kExitUsage) return usageError("seal: " + error);
    std::cerr << "tabrel: seal: " << error << "\n";
    return status;
  }
  const std::string& plainPath = line.operands[0];
  const std::string& output = line.options.at("output");
  if (tabrel::tool::sameFile(output, plainPath))
    return usageError("seal: --output names the PLAIN file itself; write the sealed file elsewhere");

  std::string plain;
  if (const std::string reason = tools::readErrorText(plainPath); !reason.empty()) {
    std::cerr << "tabrel: seal: cannot read " << plainPath << ": " << reason << "\n";
    return kExitNoInput;
  }
  if (!readWholeFile(plainPath, plain)) {
    std::cerr << "tabrel: seal: cannot read " << plainPath << ": " << std::strerror(errno) << "\n";
    return kExitNoInput;
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
    std::cerr << "tabrel: seal: cannot create " << output << ": " << reason << "\n";
    return kExitCannotCreate;
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

const char kFooter[] =
    "A declaration file is a header record, the declaration records, a declaration\n"
    "trailer, the receipt records and a receipt trailer; every record is a CR LF line\n"
    "ending in the CRC-32 of its text as ten decimal digits.\n"
    "\n"
    "check   validates FILE with tabrel32. Prints the result in words, the declared\n"
    "        and the computed declaration CRC and the error log (as UTF-8).\n"
    "        The cleaned copy remains only when the file is valid, the error log\n"
    "        only when it is not. Both are written under temporary names beside\n"
    "        their paths and put in place when the run has ended, so a run that\n"
    "        stops early leaves earlier outputs as they were. Notes follow the log:\n"
    "        an empty file, LF-only line ends, that the header's own CRC covers the\n"
    "        file's name (error 03: check a renamed file with --as), and with\n"
    "        result 5 the declaration CRC the header should carry (none when a\n"
    "        record failed its own CRC: that value would hide the change), or the\n"
    "        offset where the header holds it. Each log line is followed by what\n"
    "        its code means. An invalid run leaves an earlier cleaned copy as it\n"
    "        was. --no-clean writes nothing beside FILE (the log is shown only).\n"
    "seal    reads PLAIN, text lines (LF or CR LF) without CRC fields: the header\n"
    "        first (it begins with the system tag), then the declaration records up\n"
    "        to the line that begins with the declaration trailer tag, then the\n"
    "        receipt records up to the line that begins with the receipt trailer tag,\n"
    "        and nothing after it. Writes FILE with every CRC field filled in, so\n"
    "        that `tabrel check FILE` with the same options returns 0. FILE is\n"
    "        written beside itself and put in place whole; FILE may not be PLAIN.\n"
    "\n"
    "The four tags (--system, --offset, --declaration-trailer, --receipt-trailer)\n"
    "are needed by both commands. Those not on the command line are taken from a\n"
    "profile, --profile FILE or else the file the environment variable\n"
    "TABREL_PROFILE names: TOML lines of the long options without dashes, e.g.\n"
    "    system = \"HDR\"\n"
    "    offset = 3\n"
    "    declaration-trailer = \"TRD\"\n"
    "    receipt-trailer = \"TRR\"\n"
    "The command line wins over the profile; a profile with another key is refused.\n"
    "\n"
    "Exit status:\n"
    "  check  0 valid; 1 to 6 the library's result: the number of errors found\n"
    "         (counting stops at 6), 4 wrong system (02), 5 declaration CRC wrong\n"
    "         (06), 6 receipt CRC wrong (08)\n"
    "  seal   0 sealed; 65 PLAIN is not such a declaration\n"
    "  both   64 wrong command line; 66 the input cannot be opened or read;\n"
    "         73 an output cannot be created or put in place; 74 a write failed;\n"
    "         a profile: 64 a key or value it may not hold, 66 it cannot be read";

int main(int argc, char** argv) {
  CLI::App app{"Checks a declaration file with tabrel32, or seals a plain one so that the check passes.",
               "tabrel"};
  app.require_subcommand(1);
  std::map<std::string, std::string> values;
  std::string operand;
  auto tagOptions = [&values](CLI::App* sub) {
    sub->add_option("--system", values["system"], "text the header begins with");
    sub->add_option("--offset", values["offset"],
                    "position (from 0) of the ten-digit declaration CRC in the header text")
        ->type_name("N");
    sub->add_option("--declaration-trailer", values["declaration-trailer"],
                    "text the declaration trailer begins with");
    sub->add_option("--receipt-trailer", values["receipt-trailer"], "text the receipt trailer begins with");
    sub->add_option("--profile", values["profile"],
                    "take the tags the command line does not give from FILE (default: the file TABREL_PROFILE "
                    "names)")
        ->type_name("FILE");
  };
  const char* const asText =
      "the file name the header's own CRC is made for (seal: default the name of FILE; check: the name "
      "FILE was sealed for); the name enters that CRC, so a sealed file keeps its name";
  CLI::App* check = app.add_subcommand("check", "validates FILE with tabrel32");
  check->add_option("FILE", operand, "the declaration file")->required();
  tagOptions(check);
  check->add_option("--clean", values["clean"], "the cleaned copy (default FILE.clean)")->type_name("PATH");
  check->add_option("--log", values["log"], "the error log (default FILE.log)")->type_name("PATH");
  check->add_option("--as", values["as"], asText)->type_name("NAME");
  bool noCleanFlag = false;
  CLI::Option* noClean = check->add_flag("--no-clean", noCleanFlag,
                                         "write nothing: no cleaned copy, and the error log shown, not kept");
  noClean->excludes("--clean")->excludes("--log");
  bool jsonFlag = false;
  CLI::Option* json = check->add_flag("--json", jsonFlag,
                                      "the report as one JSON object: result, CRCs, and every error with its "
                                      "record, code, text, explanation, CRC found and computed");
  CLI::App* seal = app.add_subcommand("seal", "seals PLAIN into FILE with every CRC field filled in");
  seal->add_option("PLAIN", operand, "the plain declaration")->required();
  seal->add_option("-o,--output", values["output"], "the file to write")->required()->type_name("FILE");
  tagOptions(seal);
  seal->add_option("--as", values["as"], asText)->type_name("NAME");
  app.footer(kFooter);
  cli::applyConventions(app, SUITE_VERSION);
  std::ostringstream err;
  const cli::Outcome outcome = cli::parse(app, argc, argv, std::cout, err);
  std::cerr << err.str();
  if (!outcome.proceed) return outcome.exitStatus == cli::kExitUsage ? kExitUsage : outcome.exitStatus;

  CommandLine line;
  line.operands.push_back(operand);
  const CLI::App* used = check->parsed() ? check : seal;
  for (const auto& [name, value] : values) {
    const CLI::Option* option = used->get_option_no_throw("--" + name);
    if (option != nullptr && option->count() > 0) line.options[name] = value;
  }
  if (noClean->count() > 0) line.options["no-clean"] = "";
  if (json->count() > 0) line.options["json"] = "";
  return check->parsed() ? runCheck(line) : runSeal(line);
}
