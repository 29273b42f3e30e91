// Text helpers of the shell: connection target, command words, ",ML=",
// Windows-1252 to UTF-8, trimming and command files.
#include "tools/lumbra/shell_text.h"

#include <array>
#include <cstdio>

namespace lumbra_shell {

std::optional<ConnectTarget> parseTarget(std::string_view text, std::string& error)
{
    ConnectTarget target;
    std::string_view address = text;
    if (const auto at = text.rfind('@'); at != std::string_view::npos) {
        target.identification = std::string(text.substr(0, at));
        target.hasIdentification = true;
        address = text.substr(at + 1);
    }
    if (target.identification.size() > kMaxIdentification) {
        error = "identification longer than 11 characters";
        return std::nullopt;
    }
    if (!target.identification.empty() && target.identification.front() == ' ') {
        error = "identification begins with a blank";
        return std::nullopt;
    }
    if (address.empty() || address.front() == ':') {
        error = "no server address";
        return std::nullopt;
    }
    constexpr std::string_view localhost = "localhost";
    if (address.substr(0, localhost.size()) == localhost &&
        (address.size() == localhost.size() || address[localhost.size()] == ':')) {
        target.serverAddress = "127.0.0.1" + std::string(address.substr(localhost.size()));
    } else {
        target.serverAddress = std::string(address);
    }
    if (target.serverAddress.size() >= 100) {
        error = "server address of 100 characters or more";
        return std::nullopt;
    }
    return target;
}

std::optional<std::vector<std::string>> splitWords(std::string_view line, std::string& error)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        std::string word;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            if (line[i] != '"') {
                word += line[i++];
                continue;
            }
            ++i;  // opening quote
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        word += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                word += line[i++];
            }
            if (!closed) {
                error = "unterminated quote";
                return std::nullopt;
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

std::optional<long long> announcedMessageLength(std::string_view text)
{
    const auto key = text.find(",ML=");
    if (key == std::string_view::npos) return std::nullopt;
    std::size_t i = key;
    while (i < text.size() && (text[i] < '0' || text[i] > '9')) ++i;
    long long value = 0;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (++digits > 18) return std::nullopt;  // the client refuses such a span anyway
        value = value * 10 + (text[i] - '0');
        ++i;
    }
    if (digits == 0) return std::nullopt;
    return value;
}

namespace {

// Windows-1252 0x80..0x9F; 0 marks the five unassigned codes.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void appendEscape(std::string& out, unsigned char byte)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    out += hex;
}

}  // namespace

std::string toDisplay(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte == '\t' || (byte >= 0x20 && byte < 0x7F)) {
            out += ch;
        } else if (byte < 0x20 || byte == 0x7F) {
            appendEscape(out, byte);
        } else if (byte < 0xA0) {
            const char16_t mapped = kHighControls[byte - 0x80];
            if (mapped == 0) {
                appendEscape(out, byte);
            } else {
                appendUtf8(out, mapped);
            }
        } else {
            appendUtf8(out, byte);
        }
    }
    return out;
}

std::size_t displayWidth(std::string_view utf8)
{
    std::size_t width = 0;
    for (const char ch : utf8) {
        if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++width;
    }
    return width;
}

std::string_view trimRight(std::string_view text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
    return text;
}

std::string_view trim(std::string_view text)
{
    text = trimRight(text);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    return text;
}

std::vector<std::string> scriptCommands(std::string_view fileText)
{
    std::vector<std::string> commands;
    while (!fileText.empty()) {
        const auto end = fileText.find('\n');
        std::string_view line = fileText.substr(0, end);
        fileText = end == std::string_view::npos ? std::string_view{} : fileText.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const auto body = line.find_first_not_of(" \t");
        if (body == std::string_view::npos) continue;
        if (line.substr(body, 2) == "--") continue;
        commands.emplace_back(line);
    }
    return commands;
}

}  // namespace lumbra_shell
