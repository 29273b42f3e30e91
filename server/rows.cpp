// Row formatting, column description and marker-free row encoding.
#include "server/rows.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "protocol/run_length.h"
#include "protocol/wire.h"

namespace lumbra::server {

namespace {

constexpr std::string_view kMarker{kEndOfBlock, kEndOfBlockLength};

// A form that can never hold "LBXEOB": every byte stands for itself except '@'
// ("@@") and 'B', which is written as a run of one ("@01B"), so no 'B' ever
// follows an 'L'.
void appendPlainRow(std::string_view row, std::string& block) {
  for (char c : row) {
    if (c == kRunEscape) {
      block.append("@@");
    } else if (c == 'B') {
      block.append("@01B");
    } else {
      block.push_back(c);
    }
  }
}

// Whether "LBXEOB" occurs in the bytes: found by its 'X', which rows hold far
// more rarely than the 'L' in front of it.
bool holdsMarker(const char* bytes, std::size_t length) {
  const char* const end = bytes + length;
  for (const char* p = bytes; p < end;) {
    const char* x = static_cast<const char*>(std::memchr(p, kMarker[2], static_cast<std::size_t>(end - p)));
    if (x == nullptr) return false;
    if (x - bytes >= 2 && end - x >= static_cast<std::ptrdiff_t>(kMarker.size()) - 2 &&
        std::memcmp(x - 2, kMarker.data(), kMarker.size()) == 0) {
      return true;
    }
    p = x + 1;
  }
  return false;
}

}  // namespace

std::size_t integerText(long long value, char* out) {
  // SQLite's text of an integer is its plain decimal form, which to_chars writes.
  return static_cast<std::size_t>(std::to_chars(out, out + 20, value).ptr - out);
}

void formatRow(const Rows::Value* values, const std::vector<std::size_t>& widths, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < widths.size(); ++i) {
    const Rows::Value& value = values[i];
    const std::size_t width = widths[i];
    if (value.kind == Rows::Kind::Null) {
      out.append(width, ' ');
      continue;
    }
    char number[24];
    const char* bytes = number;
    std::size_t length = 0;
    if (value.kind == Rows::Kind::Integer) {
      length = std::min(integerText(value.integer, number), width);
    } else {
      bytes = value.bytes.data();
      length = std::min(value.bytes.size(), width);
    }
    const std::size_t pad = width - length;
    if (value.kind == Rows::Kind::Integer || value.kind == Rows::Kind::Real) {
      out.append(pad, ' ');
      out.append(bytes, length);
    } else {
      if (length > 0) out.append(bytes, length);
      out.append(pad, value.kind == Rows::Kind::Blob ? '\0' : ' ');
    }
  }
}

std::string describeColumns(Rows& rows, const std::vector<std::size_t>& widths) {
  std::string text;
  for (std::size_t i = 0; i < widths.size(); ++i) {
    int column = static_cast<int>(i);
    if (i > 0) text.push_back(',');
    for (char each : rows.name(column)) {
      unsigned char c = static_cast<unsigned char>(each);
      if (c < 0x20 || c > 0x7E || c == '.' || c == '=' || c == ',') c = '_';
      text.push_back(static_cast<char>(c));
    }
    text.push_back('=');
    text.push_back(rows.typeLetter(column));
    text += "(" + std::to_string(widths[i]) + ")";
  }
  // A column name may not smuggle the marker into the reply either.
  for (std::size_t at = text.find(kMarker); at != std::string::npos; at = text.find(kMarker, at)) {
    text[at + 3] = '_';
  }
  return text;
}

void appendEncodedRow(std::string_view row, std::string& block) {
  // Encoded first into a buffer of the thread's (no bytes cleared for it each
  // time), then appended: the block grows by what the row takes, no more.
  thread_local std::vector<char> encoded;
  const std::size_t bound = incomingRunLengthBound(row.size());
  if (encoded.size() < bound) encoded.resize(std::max<std::size_t>(bound, 4096));
  const std::ptrdiff_t written =
      encodeIncomingRunLength(row.data(), row.size(), encoded.data(), encoded.size());
  const std::size_t before = block.size();
  if (written < 0) {
    appendPlainRow(row, block);
    return;
  }
  block.append(encoded.data(), static_cast<std::size_t>(written));
  // The marker could form inside the row or across the join with the bytes before it.
  std::size_t from = before >= kMarker.size() - 1 ? before - (kMarker.size() - 1) : 0;
  if (holdsMarker(block.data() + from, block.size() - from)) {
    block.resize(before);
    appendPlainRow(row, block);
  }
}

}  // namespace lumbra::server
