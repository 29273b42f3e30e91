// The shell's session logic: connect, commands, rows, backslash commands.
#include "tools/lumbra/shell.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace lumbra_shell {

namespace {

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool isBatched(std::string_view command)
{
    return startsWith(command, "INSERT ") || startsWith(command, "UPDATE ") ||
           startsWith(command, "DELETE ");
}

// Status codes of LBInsertBin, which writes no message text.
std::string_view insertBinReason(std::int32_t status)
{
    switch (status) {
    case -1: return "fewer than seven characters before the last '='";
    case -6: return "command and data do not fit the session's message length";
    case -13: return "no session on this handle";
    case -14: return "invalid session";
    default: return "refused";
    }
}

constexpr std::string_view kHelp =
    "Commands go to the server as typed, one a line (SELECT, INSERT, UPDATE, DELETE,\n"
    "COMMIT, ROLLBACK, EXEC, SET, GETSET, PARM). INSERT, UPDATE and DELETE are\n"
    "batched by the client and reach the server with the next other command.\n"
    "  \\insertbin \"TEXT=\" FILE  binary insert: TEXT up to its last '=', then the\n"
    "                           bytes of FILE as the last value (at most 32767)\n"
    "  \\crc FILE                CRC-16 of the bytes of FILE (at most 32767)\n"
    "  \\ebcdic TEXT             TEXT converted to EBCDIC, in hexadecimal\n"
    "  \\format table|csv|raw    output format of SELECT results\n"
    "  \\o [FILE]                results to FILE; without FILE, back to the screen\n"
    "  \\info                    server information and client address\n"
    "  \\q                       quit\n";

}  // namespace

bool readFile(const std::string& path, std::string& contents, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

Shell::Shell(ClientApi& api, std::ostream& out, std::ostream& err) : api_(api), out_(out), err_(err) {}

Shell::~Shell()
{
    if (connected()) disconnect();
}

char* Shell::messageBuffer(std::size_t rowLength)
{
    const auto wanted = static_cast<std::size_t>(
        std::max<long long>({messageLength_, kInitialMessageLength, static_cast<long long>(rowLength)}) + 64);
    if (message_.size() < wanted) {
        try {
            message_.assign(wanted, '\0');
        } catch (const std::bad_alloc&) {
            message_.clear();
            return nullptr;
        }
    }
    return message_.data();
}

std::string Shell::messageText() const
{
    return std::string(message_.data(), strnlen(message_.data(), message_.size()));
}

bool Shell::fail(std::int32_t status, std::string_view text)
{
    err_ << "error " << status;
    if (!text.empty()) err_ << ": " << toDisplay(text);
    err_ << '\n';
    return false;
}

bool Shell::usage(std::string_view text)
{
    err_ << text << '\n';
    return false;
}

bool Shell::connect(const ConnectTarget& target, const std::string& firstCredential,
                    const std::string& secondCredential)
{
    char* message = messageBuffer();
    if (message == nullptr) return usage("out of memory");
    const std::int32_t result = api_.connect(target.identification.c_str(), firstCredential.c_str(),
                                             secondCredential.c_str(), target.serverAddress.c_str(),
                                             message);
    // LBConnect gives its handle or status in the low 16 bits.
    const auto status = static_cast<std::int16_t>(result & 0xFFFF);
    loginReply_ = messageText();
    if (status < 0) return fail(status, loginReply_);
    handle_ = status;
    if (const auto length = announcedMessageLength(loginReply_)) messageLength_ = *length;
    return true;
}

bool Shell::disconnect()
{
    if (!connected()) return true;
    char* message = messageBuffer();
    if (message == nullptr) return usage("out of memory");
    const std::int32_t status = api_.disconnect(handle_, message);
    handle_ = -1;
    if (status < 0) return fail(status, messageText());
    return true;
}

std::string Shell::serverInfo()
{
    char* message = messageBuffer();
    if (!connected() || message == nullptr) return {};
    if (api_.command(handle_, "GETSET SERVERINFO", message) < 0) return {};
    return toDisplay(messageText());
}

std::string Shell::clientId()
{
    char* message = messageBuffer();
    if (!connected() || message == nullptr) return {};
    if (api_.command(handle_, "GETSET CLIENTID", message) < 0) return {};
    return toDisplay(messageText());
}

bool Shell::execute(std::string_view line)
{
    if (startsWith(line, "\\")) return runBackslash(line);
    if (!connected()) return usage("not connected");
    return runServerCommand(line);
}

bool Shell::runServerCommand(std::string_view command)
{
    char* message = messageBuffer();
    if (message == nullptr) return usage("out of memory");
    const std::string text(command);
    const std::int32_t result = api_.command(handle_, text.c_str(), message);
    const std::string answer = messageText();
    if (result < 0) return fail(result, answer);

    if (startsWith(command, "SELECT")) return printRows(result);
    if (startsWith(command, "SET")) {
        if (const auto length = announcedMessageLength(answer)) messageLength_ = *length;
    }
    const bool table = format_ == OutputFormat::table;
    if (startsWith(command, "COMMIT")) {
        if (table) out() << "COMMIT " << result << (result == 1 ? " update" : " updates") << '\n';
        return true;
    }
    if (isBatched(command) && answer.empty()) {
        if (interactive_) out() << "(batched)\n";
        return true;
    }
    if (!answer.empty()) out() << toDisplay(answer) << '\n';
    return true;
}

bool Shell::printRows(std::int32_t count)
{
    const auto answer = parseSelectAnswer(messageText());
    // Without a readable answer the row length is unknown: room for the largest.
    const std::size_t rowLength = answer ? answer->rowLength : 99999;
    std::vector<Column> columns = answer ? parseColumns(answer->description, rowLength)
                                         : std::vector<Column>{Column{"ROW", 0}};
    const auto writer = makeRowWriter(format_, out());
    writer->begin(columns);
    char* message = messageBuffer(rowLength);
    if (message == nullptr) return usage("out of memory");
    const std::size_t capacity = message_.size();

    std::int64_t delivered = 0;
    while (delivered < count) {
        const std::int32_t length = api_.getNext(handle_, message);
        if (length < 0) {
            if (progress_) progress_->finish();
            writer->end(delivered);
            return fail(length, messageText());
        }
        const auto size = std::min<std::size_t>(static_cast<std::size_t>(length), capacity - 1);
        writer->row(std::string_view(message, size));
        ++delivered;
        if (progress_) progress_->rows(delivered, count);
    }
    if (progress_) progress_->finish();
    writer->end(delivered);
    out().flush();
    return true;
}

bool Shell::runBackslash(std::string_view line)
{
    std::string error;
    const auto parsed = splitWords(line, error);
    if (!parsed) return usage(error);
    const auto& words = *parsed;
    const std::string& name = words.front();
    const bool needsSession = name == "\\insertbin" || name == "\\info";
    if (needsSession && !connected()) return usage("not connected");

    if (name == "\\q" || name == "\\quit") {
        quit_ = true;
        return true;
    }
    if (name == "\\?" || name == "\\help") {
        help();
        return true;
    }
    if (name == "\\format") {
        const auto format = words.size() == 2 ? parseFormat(words[1]) : std::nullopt;
        if (!format) return usage("usage: \\format table|csv|raw");
        format_ = *format;
        return true;
    }
    if (name == "\\o") return redirect(words);
    if (name == "\\insertbin") {
        if (words.size() != 3) return usage("usage: \\insertbin \"TEXT=\" FILE");
        return insertBinary(words[1], words[2]);
    }
    if (name == "\\crc") {
        if (words.size() != 2) return usage("usage: \\crc FILE");
        return crcOfFile(words[1]);
    }
    if (name == "\\ebcdic") {
        if (words.size() != 2) return usage("usage: \\ebcdic TEXT");
        return ebcdic(words[1]);
    }
    if (name == "\\info") {
        out() << "server: " << serverInfo() << '\n' << "client: " << clientId() << '\n';
        return true;
    }
    return usage("unknown command " + name + " (\\? lists them)");
}

void Shell::help() { out() << kHelp; }

bool Shell::redirect(const std::vector<std::string>& words)
{
    if (redirect_.is_open()) redirect_.close();
    if (words.size() == 1) return true;
    if (words.size() != 2) return usage("usage: \\o [FILE]");
    redirect_.open(words[1], std::ios::binary | std::ios::trunc);
    if (!redirect_) return usage("cannot write " + words[1]);
    return true;
}

bool Shell::insertBinary(const std::string& text, const std::string& path)
{
    std::string data;
    std::string error;
    if (!readFile(path, data, error)) return usage(error);
    if (data.size() > kMaxBinaryLength) {
        return usage(path + ": " + std::to_string(data.size()) + " bytes, at most 32767 go in one binary insert");
    }
    if (text.find('=') == std::string::npos) return usage("the text needs a '=' before the data");
    if (!startsWith(text, "INSERT ")) return usage("a binary insert text begins with \"INSERT \"");
    // The prepared command: the text, the length clause, the data, a quote, a NUL.
    std::vector<char> command(text.size() + 9 + data.size() + 2 + 16, '\0');
    std::memcpy(command.data(), text.data(), text.size());
    const std::int32_t prepared =
        api_.insertBin(handle_, command.data(), data.data(), static_cast<std::int32_t>(data.size()));
    if (prepared < 0) return fail(prepared, insertBinReason(prepared));

    char* message = messageBuffer();
    if (message == nullptr) return usage("out of memory");
    const std::int32_t result = api_.command(handle_, command.data(), message);
    if (result < 0) return fail(result, messageText());
    if (format_ == OutputFormat::table) out() << "INSERT " << data.size() << " bytes\n";
    return true;
}

bool Shell::crcOfFile(const std::string& path)
{
    std::string data;
    std::string error;
    if (!readFile(path, data, error)) return usage(error);
    if (data.size() > kMaxBinaryLength) {
        return usage(path + ": " + std::to_string(data.size()) + " bytes, the CRC takes at most 32767");
    }
    const auto crc = static_cast<unsigned>(
        api_.crc(static_cast<std::int32_t>(data.size()), data.data()) & 0xFFFF);
    char line[64];
    std::snprintf(line, sizeof line, "CRC-16 0x%04X over %zu bytes", crc, data.size());
    out() << line << '\n';
    return true;
}

bool Shell::ebcdic(const std::string& text)
{
    std::string converted = text;
    api_.asciiToEbcdic(converted.data());
    std::string hex;
    char pair[4];
    for (std::size_t i = 0; i < converted.size(); ++i) {
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned char>(converted[i]));
        if (i > 0) hex += ' ';
        hex += pair;
    }
    out() << hex << '\n';
    return true;
}

}  // namespace lumbra_shell
