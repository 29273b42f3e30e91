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
    std::size_t width = 0;  // bytes of the fixed-length row
    bool numeric = false;   // shown right-aligned in a table
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
// type letter N for numbers (shown right-aligned), A text, B blob, V untyped. When the description does not add up to the row
// length the row is shown as one column "ROW".
std::vector<Column> parseColumns(std::string_view description, std::size_t rowLength);

// The cells of one row, cut at the column widths (the last cell takes the rest
// of the row); a short row gives short or empty cells, never a read past its end.
std::vector<std::string_view> splitRow(std::string_view row, const std::vector<Column>& columns);

enum class OutputFormat { table, csv, raw };
std::optional<OutputFormat> parseFormat(std::string_view name);

class RowWriter {
public:
    virtual ~RowWriter() = default;
    virtual void begin(const std::vector<Column>& columns) = 0;
    virtual void row(std::string_view bytes) = 0;
    virtual void end(std::int64_t rows) = 0;
};

// table: header, rule, one line a row (cells right-trimmed, Windows-1252 shown
// as UTF-8) and "(N rows)". csv: header line and one line a row, cells trimmed
// and quoted where needed. raw: the row bytes exactly as delivered, nothing else.
std::unique_ptr<RowWriter> makeRowWriter(OutputFormat format, std::ostream& out);

std::string csvField(std::string_view text);

}  // namespace lumbra_shell
