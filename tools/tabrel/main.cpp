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

#include "tools/tabrel/seal.h"
#include "tools/tabrel/text.h"
#include "validator/tabrel32.h"

#include "suite_version.h"

namespace {

using tabrel::tool::windows1252ToUtf8;

constexpr int kExitUsage = 64;    // bad command line
constexpr int kExitData = 65;     // seal: the plain input is not a declaration
constexpr int kExitIo = 74;       // seal: a file cannot be read or written

const char kHelp[] =
    "usage: tabrel check FILE --system TAG --offset N --declaration-trailer TAG\n"
    "                  --receipt-trailer TAG [--clean PATH] [--log PATH]\n"
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
    "        only when it is not.\n"
    "seal    reads PLAIN, text lines (LF or CR LF) without CRC fields: the header\n"
    "        first (it begins with the system tag), then the declaration records up\n"
    "        to the line that begins with the declaration trailer tag, then the\n"
    "        receipt records up to the line that begins with the receipt trailer tag,\n"
    "        and nothing after it. Writes FILE with every CRC field filled in, the\n"
    "        declaration CRC put at the offset of the header (replacing the ten\n"
    "        characters there, or appended) and the receipt CRC appended to the\n"
    "        receipt trailer, so that `tabrel check FILE` with the same options\n"
    "        returns 0. Exit status 0; 65 = PLAIN is not such a declaration; 74 = a\n"
    "        file cannot be read or written; 64 = bad command line.\n"
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
    "                             (default: the name of FILE); the name enters the\n"
    "                             header's own CRC, so a sealed file keeps its name\n"
    "  --help, -h                 this text\n"
    "Options also take the form --name=value.\n";

int usageError(const std::string& message)
{
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

CommandLine parse(int argc, char** argv, const std::vector<std::string>& known)
{
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
        if (arg == "-o")
            arg = "--output";
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string name = arg.substr(2);
            std::optional<std::string> value;
            if (const auto eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
            }
            bool isKnown = false;
            for (const std::string& k : known)
                isKnown = isKnown || k == name;
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
std::string readTags(const CommandLine& line, Tags& tags)
{
    for (const char* name : {"system", "offset", "declaration-trailer", "receipt-trailer"})
        if (!line.options.count(name))
            return std::string("missing option --") + name;
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

bool readWholeFile(const std::string& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool fileExists(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f)
        std::fclose(f);
    return f != nullptr;
}

bool logHasError(const std::string& log, const char* number)
{
    return log.find(std::string("] ") + number + " - ") != std::string::npos;
}

std::string resultInWords(std::int32_t result, bool logExists, const std::string& log)
{
    if (result == 0)
        return "valid: every record, both trailers and both file CRCs are right";
    if (!logExists) {
        switch (result) {
        case 1: return "the input file cannot be opened";
        case 2: return "the cleaned copy cannot be created or written";
        case 3: return "the error log cannot be created";
        default: break;
        }
    }
    if (result == 4 && logHasError(log, "02"))
        return "invalid: the header does not begin with the system tag";
    if (result == 5 && logHasError(log, "06"))
        return "invalid: the declaration CRC does not match";
    if (result == 6 && logHasError(log, "08"))
        return "invalid: the receipt CRC does not match";
    return "invalid: " + std::to_string(result) + (result == 1 ? " error" : " errors") + " found";
}

int runCheck(const CommandLine& line)
{
    if (line.operands.size() != 1)
        return usageError(line.operands.empty() ? "check: which FILE?" : "check: one FILE only");
    for (const char* name : {"output", "as"})
        if (line.options.count(name))
            return usageError(std::string("check does not take --") + name);
    Tags tags;
    if (const std::string error = readTags(line, tags); !error.empty())
        return usageError("check: " + error);
    const std::string& input = line.operands[0];
    const std::string clean = line.options.count("clean") ? line.options.at("clean") : input + ".clean";
    const std::string log = line.options.count("log") ? line.options.at("log") : input + ".log";

    char declared[11] = {};
    char computed[11] = {};
    ValidationRequest request{input.c_str(), clean.c_str(), log.c_str(), declared, computed, tags.offset, 0,
                              tags.system.c_str(), tags.declarationTrailer.c_str(), tags.receiptTrailer.c_str()};
    const bool inputReadable = fileExists(input);
    const std::int32_t result = TBTabrel(request);

    // An input that cannot be opened leaves every other file as it was: an
    // error log found there is not this run's.
    std::string logBytes;
    const bool logExists = inputReadable && readWholeFile(log, logBytes);
    std::cout << "file:          " << input << "\n"
              << "result:        " << result << " - " << resultInWords(result, logExists, logBytes) << "\n"
              << "declared CRC:  " << (declared[0] ? windows1252ToUtf8(declared) : "(no header read)") << "\n"
              << "computed CRC:  " << (computed[0] ? computed : "(declaration part not finished)") << "\n";
    if (fileExists(clean))
        std::cout << "cleaned copy:  " << clean << "\n";
    if (logExists) {
        std::cout << "error log:     " << log << "\n";
        std::string text = windows1252ToUtf8(logBytes);
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find("\r\n", start);
            if (end == std::string::npos)
                end = text.size();
            std::cout << "  " << text.substr(start, end - start) << "\n";
            start = end + 2;
        }
    }
    return result;
}

int runSeal(const CommandLine& line)
{
    if (line.operands.size() != 1)
        return usageError(line.operands.empty() ? "seal: which PLAIN file?" : "seal: one PLAIN file only");
    for (const char* name : {"clean", "log"})
        if (line.options.count(name))
            return usageError(std::string("seal does not take --") + name);
    if (!line.options.count("output"))
        return usageError("seal: missing option --output");
    Tags tags;
    if (const std::string error = readTags(line, tags); !error.empty())
        return usageError("seal: " + error);
    const std::string& plainPath = line.operands[0];
    const std::string& output = line.options.at("output");

    std::string plain;
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
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(sealed.bytes.data(), static_cast<std::streamsize>(sealed.bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "tabrel: seal: cannot write " << output << "\n";
        std::remove(output.c_str());
        return kExitIo;
    }
    std::cout << "sealed " << plainPath << " into " << output << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const CommandLine line = parse(argc, argv,
                                   {"system", "offset", "declaration-trailer", "receipt-trailer", "clean", "log",
                                    "output", "as"});
    if (line.help) {
        std::cout << kHelp;
        return 0;
    }
    if (line.version) {
        std::cout << "tabrel " SUITE_VERSION "\n";
        return 0;
    }
    if (!line.error.empty())
        return usageError(line.error);
    if (line.command == "check")
        return runCheck(line);
    if (line.command == "seal")
        return runSeal(line);
    if (line.command == "help") {
        std::cout << kHelp;
        return 0;
    }
    if (line.command.empty())
        return usageError("which command? check or seal");
    return usageError("unknown command '" + line.command + "'");
}
