// Splitting a batch message into its update entries and an optional COMMIT behind them.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace lumbra::server {

struct BatchParts {
  std::vector<std::string_view> entries;   // each in the outgoing run-length form
  std::optional<std::string_view> commit;  // the COMMIT text, uncompressed
};

// A batch is entries that each begin with "INSERT ", "UPDATE " or "DELETE ",
// each followed by one blank, optionally followed by a text beginning with
// "COMMIT". An entry ends at a blank outside quoted literals that is followed
// by one of those words. Quotes are never part of a run in the outgoing form,
// and escapes ("@@", '@' digit character) are stepped over whole.
BatchParts splitBatch(std::string_view message);

}  // namespace lumbra::server
