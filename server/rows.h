// Result rows on the wire: fixed-width formatting, the column description, encoding into blocks.
//
// Every row of a result has the same length: each column gets the width of its
// longest value in bytes (as the rows show it as text, or the blob's bytes).
// Numbers stand right-aligned with blanks in front, texts left-aligned with
// blanks behind, blobs left-aligned with zero bytes behind, NULL is all blanks.
// Rows are written in the incoming run-length form; the bytes "LBXEOB" never
// occur inside a block, so the client's test for the end of a block is exact.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "server/backend.h"

namespace lumbra::server {

// Writes `value` as an integer is shown as text (at most 20 bytes, no
// NUL) and returns the length.
std::size_t integerText(long long value, char* out);

// A row's values (Rows::values) laid out in the column widths (`out` is replaced).
void formatRow(const Rows::Value* values, const std::vector<std::size_t>& widths, std::string& out);

// The column description that follows the row length in a SELECT reply:
// "NAME=T(width)" per column, joined by commas, T being N (numeric declared
// type), A (text), B (blob) or V (no declared type). Names lose '.', '=', ','
// and bytes outside printable ASCII; the description never holds a '.'.
std::string describeColumns(Rows& rows, const std::vector<std::size_t>& widths);

// Appends the incoming form of `row` to `block`. `block` may already hold rows
// (or a reply head); the appended bytes never make "LBXEOB" appear in it.
void appendEncodedRow(std::string_view row, std::string& block);

}  // namespace lumbra::server
