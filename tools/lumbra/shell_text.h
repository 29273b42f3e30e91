// Text helpers of the shell with no I/O: the connection target, the words of a
// backslash command, the ",ML=" announcement, and the conversions between the
// server's Windows-1252 and a UTF-8 terminal.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumbra::shell {

// Limits of the client's connect arguments (without terminator).
inline constexpr std::size_t kMaxIdentification = 11;
inline constexpr std::size_t kMaxFirstCredential = 24;
inline constexpr std::size_t kMaxSecondCredential = 25;

// "[ID@]ADDRESS[:PORT]". The address goes to the client as written (numeric
// IPv4, optional ":PORT"); "localhost" is taken as 127.0.0.1 for convenience.
// A port must be a number from 1 to 65535 (the client would take 99999 modulo
// 65536 and reach another port).
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

// Terminal text (UTF-8) in the server's Windows-1252. A text that is not UTF-8
// at all goes as it is (it is taken to be Windows-1252 already); a character
// the code page lacks gives nothing and an `error` that names it.
std::optional<std::string> toWindows1252(std::string_view text, std::string& error);

// One cell of a table: like toDisplay, but every byte takes exactly one place
// on the terminal, so that the columns stay aligned: control bytes show as
// their pictures (U+2400 to U+241F, U+2421 for DEL: TAB is ␉, LF ␊,
// NUL ␀), the five bytes the code page leaves undefined as U+FFFD.
std::string toCell(std::string_view bytes);

// Whether a trimmed cell reads as a number (sign, digits, decimals, exponent).
bool looksNumeric(std::string_view text);

}  // namespace lumbra::shell
