// Text helpers of the shell: connection target, command words, ",ML=",
// Windows-1252 to and from UTF-8, table cells and trimming.
#include "tools/lumbra/shell_text.h"

#include "protocol/wire.h"
#include "tools/common/cp1252.h"

#include <cstdio>

namespace lumbra_shell {

std::optional<ConnectTarget> parseTarget(std::string_view text, std::string& error) {
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
  if (const auto colon = target.serverAddress.find(':'); colon != std::string::npos) {
    const std::string port = target.serverAddress.substr(colon + 1);
    long value = 0;
    bool digits = !port.empty() && port.size() <= 5;
    for (const char c : port) {
      if (c < '0' || c > '9') digits = false;
      if (digits) value = value * 10 + (c - '0');
    }
    if (!digits || value < 1 || value > 65535) {
      error = "port " + port + " is not a number from 1 to 65535";
      return std::nullopt;
    }
  }
  if (target.serverAddress.size() >= 100) {
    error = "server address of 100 characters or more";
    return std::nullopt;
  }
  return target;
}

std::optional<std::vector<std::string>> splitWords(std::string_view line, std::string& error) {
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

std::optional<long long> announcedMessageLength(std::string_view text) {
  const auto span = lumbra::messageLengthSpan(text);
  if (!span) return std::nullopt;
  long long value = 0;
  std::size_t digits = 0;
  for (const char c : *span) {
    if (c < '0' || c > '9') break;
    if (++digits > 18) return std::nullopt;  // the client refuses such a span anyway
    value = value * 10 + (c - '0');
  }
  if (digits == 0) return std::nullopt;
  return value;
}

namespace {

// A byte that has no character to show, as \xNN.
void appendEscape(std::string& out, unsigned char byte) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\x%02X", byte);
  out += hex;
}

}  // namespace

std::string toDisplay(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte == '\t' || (byte >= 0x20 && byte < 0x7F)) {
      out += ch;
    } else if (byte < 0x20 || byte == 0x7F) {
      appendEscape(out, byte);
    } else if (const char32_t cp = tools::windows1252CodePoint(byte); cp != 0) {
      tools::appendUtf8(out, cp);
    } else {
      appendEscape(out, byte);
    }
  }
  return out;
}

std::optional<std::string> toWindows1252(std::string_view text, std::string& error) {
  return tools::utf8ToWindows1252(text, error);
}

std::string toCell(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20) {
      tools::appendUtf8(out, 0x2400 + byte);
    } else if (byte == 0x7F) {
      tools::appendUtf8(out, 0x2421);
    } else if (byte < 0x7F) {
      out += ch;
    } else if (const char32_t cp = tools::windows1252CodePoint(byte); cp != 0) {
      tools::appendUtf8(out, cp);
    } else {
      tools::appendUtf8(out, 0xFFFD);
    }
  }
  return out;
}

bool looksNumeric(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  std::size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    std::size_t exponent = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++exponent;
    if (exponent == 0) return false;
  }
  return i == text.size();
}

std::size_t displayWidth(std::string_view utf8) {
  std::size_t width = 0;
  for (const char ch : utf8) {
    if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++width;
  }
  return width;
}

std::string_view trimRight(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  return text;
}

std::string_view trim(std::string_view text) {
  text = trimRight(text);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return text;
}

}  // namespace lumbra_shell
