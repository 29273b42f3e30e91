// Text helpers of the shell with no I/O: the connection target, the words of a
// backslash command, the ",ML=" announcement, and the conversion of the
// server's Windows-1252 texts for a UTF-8 terminal.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumbra_shell {

// Limits of the client's connect arguments (without terminator).
inline constexpr std::size_t kMaxIdentification = 11;
inline constexpr std::size_t kMaxFirstCredential = 24;
inline constexpr std::size_t kMaxSecondCredential = 25;

// "[ID@]ADDRESS[:PORT]". The address goes to the client as written (numeric
// IPv4, optional ":PORT"); "localhost" is taken as 127.0.0.1 for convenience.
struct ConnectTarget {
    std::string identification;  // empty when the text names none
    bool hasIdentification = false;
    std::string serverAddress;
};
// Returns nothing and fills `error` when the text cannot be a target.
std::optional<ConnectTarget> parseTarget(std::string_view text, std::string& error);

// Splits a backslash command line ("\insertbin "TEXT=" FILE") into words:
// blanks separate words, double quotes group a word ("" inside quotes is one
// quote). The first word keeps its backslash. Fills `error` on an open quote.
std::optional<std::vector<std::string>> splitWords(std::string_view line, std::string& error);

// The message length a text announces with ",ML=", read the way the client
// sizes its buffer: from the comma, non-digits skipped, then the digits.
std::optional<long long> announcedMessageLength(std::string_view text);

// Windows-1252 bytes to UTF-8. Control bytes other than tab become "\xNN" so
// that a row with binary data cannot drive the terminal.
std::string toDisplay(std::string_view bytes);
// Number of characters a toDisplay() result takes on the terminal.
std::size_t displayWidth(std::string_view utf8);

std::string_view trimRight(std::string_view text);
std::string_view trim(std::string_view text);

// Lines of a command file: one command a line; blank lines and lines whose
// first non-blank characters are "--" are skipped; a CR before the LF goes.
std::vector<std::string> scriptCommands(std::string_view fileText);

}  // namespace lumbra_shell
