// Results of a SELECT on paper: the columns named in the server's answer, and
// the writers that print rows as a table, as csv or as raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace lumbra_shell {

struct Column {
  std::string name;
  std::size_t width = 0;    // bytes of the fixed-length row
  bool numeric = false;     // shown right-aligned in a table
  bool expression = false;  // no declared type: a cell that reads as a number stands right
  bool operator==(const Column&) const = default;
};

// What LBCommand leaves in the message buffer after a SELECT: the row length in
// five digits, then the server's description of the columns, then '.'.
struct SelectAnswer {
  std::size_t rowLength = 0;
  std::string description;
};
std::optional<SelectAnswer> parseSelectAnswer(std::string_view answer);

// Columns from the description: items separated by ',' or ';', each a name
// followed by its width ("ID:8", "NAME=30", "NAME CHAR(30)"; the last digits of
// an item are its width). The reference server writes "NAME=T(width)" with the
// type letter N for numbers (shown right-aligned), A text, B blob, V untyped
// (an expression: its cells that read as numbers are shown right-aligned).
// When the description does not add up to the row length the row is shown as
// one column "ROW".
std::vector<Column> parseColumns(std::string_view description, std::size_t rowLength);

// The columns as the writers show them: parseColumns, and where the
// description carries no type letters, every column taken as an expression
// (its cells that read as numbers stand right).
std::vector<Column> columnsToShow(std::string_view description, std::size_t rowLength);

// The cells of one row, cut at the column widths (the last cell takes the rest
// of the row); a short row gives short or empty cells, never a read past its end.
std::vector<std::string_view> splitRow(std::string_view row, const std::vector<Column>& columns);

enum class OutputFormat { table, csv, raw, json, ndjson };
std::optional<OutputFormat> parseFormat(std::string_view name);

class RowWriter {
 public:
  virtual ~RowWriter() = default;
  virtual void begin(const std::vector<Column>& columns) = 0;
  virtual void row(std::string_view bytes) = 0;
  virtual void end(std::int64_t rows) = 0;
};

// How cells are shown.
struct CellStyle {
  // Shown for a cell of blanks only. Rows carry NULL as blanks, and an empty
  // or blank text the same way, so this marks both (a blob's own bytes are
  // padded with zero bytes and stay apart). Empty: shown as now, blank.
  std::string nullText;
  // table only: each row as a block of "column | value" lines (\x).
  bool expanded = false;
};

// table: header, rule, one line a row and "(N rows)". Cells lose the blanks
// that pad them to the column width (numbers those in front too), show
// Windows-1252 as UTF-8 and each byte in one place (control bytes as their
// pictures, see toCell), so the columns stay aligned; numbers stand right.
// csv: header line and one line a row, quoted where needed; a text keeps its
// leading blanks and loses its trailing ones (the padding of the fixed-width
// row cannot be told from a text's own trailing blanks); numbers lose both.
// raw: the row bytes exactly as delivered, nothing else.
// json: one array of objects, a row each, by column name; ndjson: one object a
// line. Numbers are JSON numbers, a cell of blanks only is null, texts lose the
// blanks that pad them and are UTF-8.
std::unique_ptr<RowWriter> makeRowWriter(OutputFormat format, std::ostream& out, const CellStyle& style = {});

std::string csvField(std::string_view text);

}  // namespace lumbra_shell
