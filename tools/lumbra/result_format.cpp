// Column description, row cutting and the table, csv and raw row writers.
#include "tools/lumbra/result_format.h"

#include "tools/lumbra/shell_text.h"

#include "protocol/wire.h"
#include "tools/common/json.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace lumbra::shell {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<std::size_t> readNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  std::size_t value = 0;
  for (const char c : digits) {
    if (!isDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  return value;
}

std::vector<Column> wholeRow(std::size_t rowLength) { return {Column{"ROW", rowLength}}; }

}  // namespace

std::optional<SelectAnswer> parseSelectAnswer(std::string_view answer) {
  std::string_view field = answer.substr(0, lumbra::kRowLengthWidth);
  const auto digits = trim(field);
  const auto length = readNumber(digits);
  if (field.size() < lumbra::kRowLengthWidth || !length) return std::nullopt;
  std::string_view rest = answer.substr(lumbra::kRowLengthWidth);
  if (!rest.empty() && rest.back() == lumbra::kDescriptionEnd) rest.remove_suffix(1);
  return SelectAnswer{*length, std::string(rest)};
}

std::vector<Column> parseColumns(std::string_view description, std::size_t rowLength) {
  std::vector<Column> columns;
  std::size_t total = 0;
  std::string_view rest = description;
  while (!rest.empty()) {
    const auto cut = rest.find_first_of(",;");
    std::string_view item = trim(rest.substr(0, cut));
    rest = cut == std::string_view::npos ? std::string_view{} : rest.substr(cut + 1);
    if (item.empty()) continue;
    const auto nameEnd = std::min(item.find_first_of(":=( "), item.size());
    const std::string_view name = item.substr(0, nameEnd);
    std::string_view tail = item.substr(nameEnd);
    std::size_t last = tail.size();
    while (last > 0 && !isDigit(tail[last - 1])) --last;
    std::size_t first = last;
    while (first > 0 && isDigit(tail[first - 1])) --first;
    const auto width = readNumber(tail.substr(first, last - first));
    if (name.empty() || !width) {
      if (columns.empty() && readNumber(item)) continue;  // a leading column count
      return wholeRow(rowLength);
    }
    const bool typed = tail.size() > 2 && tail[0] == '=' && tail[2] == '(';
    const bool numeric = typed && tail[1] == 'N';
    const bool expression = typed && tail[1] == 'V';
    columns.push_back(Column{std::string(name), *width, numeric, expression});
    total += *width;
  }
  if (columns.empty() || total != rowLength) return wholeRow(rowLength);
  return columns;
}

std::vector<Column> columnsToShow(std::string_view description, std::size_t rowLength) {
  auto columns = parseColumns(description, rowLength);
  if (description.find("=N(") == std::string_view::npos &&
      description.find("=A(") == std::string_view::npos &&
      description.find("=V(") == std::string_view::npos &&
      description.find("=B(") == std::string_view::npos) {
    for (auto& column : columns) column.expression = true;
  }
  return columns;
}

std::vector<std::string_view> splitRow(std::string_view row, const std::vector<Column>& columns) {
  std::vector<std::string_view> cells;
  cells.reserve(columns.size());
  std::size_t at = 0;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const std::size_t start = std::min(at, row.size());
    // The last column also takes whatever the row holds beyond the widths.
    const bool last = i + 1 == columns.size();
    cells.push_back(last ? row.substr(start) : row.substr(start, columns[i].width));
    at += columns[i].width;
  }
  return cells;
}

std::optional<OutputFormat> parseFormat(std::string_view name) {
  if (name == "table") return OutputFormat::table;
  if (name == "csv") return OutputFormat::csv;
  if (name == "raw") return OutputFormat::raw;
  if (name == "json") return OutputFormat::json;
  if (name == "ndjson") return OutputFormat::ndjson;
  return std::nullopt;
}

std::string csvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

namespace {

using tools::jsonString;

// A cell without the blanks that pad it, and whether it stands right-aligned.
struct Cell {
  std::string_view text;
  bool right = false;
};

Cell cellOf(std::string_view bytes, const Column& column) {
  const auto trimmed = trim(bytes);
  if (column.numeric || (column.expression && looksNumeric(trimmed))) return {trimmed, true};
  return {trimRight(bytes), false};
}

class TableWriter final : public RowWriter {
 public:
  TableWriter(std::ostream& out, CellStyle style) : out_(out), style_(std::move(style)) {}

  void begin(const std::vector<Column>& columns) override {
    columns_ = columns;
    widths_.clear();
    std::string header;
    std::string rule;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const std::string name = toDisplay(columns[i].name);
      std::size_t width = std::max(displayWidth(name), columns[i].width);
      // Room for the NULL text, so that the columns stay aligned.
      if (!style_.nullText.empty()) width = std::max(width, displayWidth(toDisplay(style_.nullText)));
      widths_.push_back(width);
      if (i > 0) {
        header += " | ";
        rule += "-+-";
      }
      const std::size_t room = widths_[i] - displayWidth(name);
      if (columns[i].numeric) pad(header, room);
      header += name;
      if (!columns[i].numeric && i + 1 < columns.size()) pad(header, room);
      rule.append(widths_[i], '-');
    }
    out_ << trimRight(header) << '\n' << rule << '\n';
  }

  void row(std::string_view bytes) override {
    line_.clear();
    const auto cells = splitRow(bytes, columns_);
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (i > 0) line_ += " | ";
      const Cell cell = cellOf(cells[i], columns_[i]);
      const std::string shown = trim(cell.text).empty() && !style_.nullText.empty()
                                    ? toDisplay(style_.nullText)
                                    : toCell(cell.text);
      const std::size_t width = displayWidth(shown);
      const std::size_t room = width < widths_[i] ? widths_[i] - width : 0;
      if (cell.right) pad(line_, room);
      line_ += shown;
      if (!cell.right && i + 1 < cells.size()) pad(line_, room);
    }
    out_ << trimRight(line_) << '\n';
  }

  void end(std::int64_t rows) override { out_ << '(' << rows << (rows == 1 ? " row)" : " rows)") << '\n'; }

 private:
  static void pad(std::string& text, std::size_t count) { text.append(count, ' '); }

  std::ostream& out_;
  CellStyle style_;
  std::vector<Column> columns_;
  std::vector<std::size_t> widths_;
  std::string line_;
};

class CsvWriter final : public RowWriter {
 public:
  CsvWriter(std::ostream& out, CellStyle style) : out_(out), style_(std::move(style)) {}

  void begin(const std::vector<Column>& columns) override {
    columns_ = columns;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (i > 0) out_ << ',';
      out_ << csvField(toDisplay(columns[i].name));
    }
    out_ << '\n';
  }

  void row(std::string_view bytes) override {
    line_.clear();
    const auto cells = splitRow(bytes, columns_);
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (i > 0) line_ += ',';
      const Cell cell = cellOf(cells[i], columns_[i]);
      const bool blank = trim(cell.text).empty();
      line_ +=
          csvField(blank && !style_.nullText.empty() ? toDisplay(style_.nullText) : toDisplay(cell.text));
    }
    line_ += '\n';
    out_ << line_;
  }

  void end(std::int64_t) override {}

 private:
  std::ostream& out_;
  CellStyle style_;
  std::vector<Column> columns_;
  std::string line_;
};

// A row as "column | value" lines under a "-[ RECORD n ]-" head.
class ExpandedWriter final : public RowWriter {
 public:
  ExpandedWriter(std::ostream& out, CellStyle style) : out_(out), style_(std::move(style)) {}

  void begin(const std::vector<Column>& columns) override {
    columns_ = columns;
    width_ = 0;
    for (const auto& column : columns) width_ = std::max(width_, displayWidth(toDisplay(column.name)));
  }

  void row(std::string_view bytes) override {
    out_ << "-[ RECORD " << ++count_ << " ]-\n";
    const auto cells = splitRow(bytes, columns_);
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const std::string name = toDisplay(columns_[i].name);
      const Cell cell = cellOf(cells[i], columns_[i]);
      const std::string shown =
          trim(cell.text).empty() && !style_.nullText.empty() ? toDisplay(style_.nullText) : toCell(trim(cell.text));
      std::string line = name;
      line.append(width_ - displayWidth(name), ' ');
      line += " | " + shown;
      out_ << trimRight(line) << '\n';
    }
  }

  void end(std::int64_t rows) override { out_ << '(' << rows << (rows == 1 ? " row)" : " rows)") << '\n'; }

 private:
  std::ostream& out_;
  CellStyle style_;
  std::vector<Column> columns_;
  std::size_t width_ = 0;
  std::int64_t count_ = 0;
};

// A JSON number as JSON writes it: no '+', no leading zeros, digits around a point.
bool jsonNumber(std::string_view text) {
  std::size_t i = text.substr(0, 1) == "-" ? 1 : 0;
  const std::size_t first = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  if (i == first || (text[first] == '0' && i - first > 1)) return false;
  if (i < text.size() && text[i] == '.') {
    const std::size_t point = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == point) return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t digits = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == digits) return false;
  }
  return i == text.size();
}

class JsonWriter final : public RowWriter {
 public:
  JsonWriter(std::ostream& out, bool array) : out_(out), array_(array) {}

  void begin(const std::vector<Column>& columns) override {
    columns_ = columns;
    names_.clear();
    for (const auto& column : columns) names_.push_back(jsonString(toDisplay(column.name)));
    if (array_) out_ << '[';
  }

  void row(std::string_view bytes) override {
    line_ = array_ ? (rows_ == 0 ? "\n  {" : ",\n  {") : "{";
    const auto cells = splitRow(bytes, columns_);
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (i > 0) line_ += ", ";
      line_ += names_[i] + ": ";
      const Cell cell = cellOf(cells[i], columns_[i]);
      const auto text = trim(cell.text);
      if (text.empty()) {
        line_ += "null";
      } else if (cell.right && jsonNumber(text)) {
        line_ += text;
      } else {
        line_ += jsonString(toDisplay(cell.right ? text : cell.text));
      }
    }
    line_ += array_ ? "}" : "}\n";
    out_ << line_;
    ++rows_;
  }

  void end(std::int64_t) override {
    if (array_) out_ << (rows_ == 0 ? "]\n" : "\n]\n");
  }

 private:
  std::ostream& out_;
  bool array_;
  std::vector<Column> columns_;
  std::vector<std::string> names_;
  std::string line_;
  std::int64_t rows_ = 0;
};

class RawWriter final : public RowWriter {
 public:
  explicit RawWriter(std::ostream& out) : out_(out) {}
  void begin(const std::vector<Column>&) override {}
  void row(std::string_view bytes) override {
    out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  void end(std::int64_t) override {}

 private:
  std::ostream& out_;
};

}  // namespace

std::unique_ptr<RowWriter> makeRowWriter(OutputFormat format, std::ostream& out, const CellStyle& style) {
  switch (format) {
    case OutputFormat::csv:
      return std::make_unique<CsvWriter>(out, style);
    case OutputFormat::raw:
      return std::make_unique<RawWriter>(out);
    case OutputFormat::json:
    case OutputFormat::ndjson:
      return std::make_unique<JsonWriter>(out, format == OutputFormat::json);
    case OutputFormat::table:
      break;
  }
  if (style.expanded) return std::make_unique<ExpandedWriter>(out, style);
  return std::make_unique<TableWriter>(out, style);
}

}  // namespace lumbra::shell
