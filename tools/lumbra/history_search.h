// Reverse search of the history (Ctrl-R at the prompt), without the terminal:
// the text typed so far, the entry that holds it, and the line that shows them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumbra::shell {

// Searches `entries` (oldest first) from the newest back for the text typed,
// as the prompt's Ctrl-R does: each character typed narrows the search from
// the entry shown, Ctrl-R again goes on to an older entry, a character erased
// starts again from the newest. Where nothing holds the text, the last entry
// found stays shown and the search is marked failed.
class HistorySearch {
 public:
  explicit HistorySearch(const std::vector<std::string>& entries) : entries_(entries) {}

  void type(std::string_view character);  // one UTF-8 character
  void erase();                            // the last character typed
  void older();                            // Ctrl-R again

  const std::string& text() const { return text_; }
  // The entry found; nothing before one is found.
  std::optional<std::string> found() const;
  bool failed() const { return failed_; }
  // "(reverse-i-search)`TEXT': ENTRY", or "(failed reverse-i-search)...",
  // with the entry's line ends shown as blanks and the whole cut to `columns`
  // characters.
  std::string line(std::size_t columns) const;

 private:
  // The newest entry at or before `from` that holds the text.
  std::optional<std::size_t> search(std::size_t from) const;

  const std::vector<std::string>& entries_;
  std::string text_;
  std::optional<std::size_t> at_;
  bool failed_ = false;
};

}  // namespace lumbra::shell
