// Reverse search of the history: narrowing, going on to older entries, the line shown.
#include "tools/lumbra/history_search.h"

namespace lumbra::shell {

std::optional<std::size_t> HistorySearch::search(std::size_t from) const {
  for (std::size_t i = from + 1; i-- > 0;) {
    if (i < entries_.size() && entries_[i].find(text_) != std::string::npos) return i;
  }
  return std::nullopt;
}

void HistorySearch::type(std::string_view character) {
  text_ += character;
  if (entries_.empty()) {
    failed_ = true;
    return;
  }
  const auto hit = search(at_.value_or(entries_.size() - 1));
  failed_ = !hit;
  if (hit) at_ = hit;
}

void HistorySearch::erase() {
  if (text_.empty()) return;
  std::size_t cut = text_.size() - 1;
  while (cut > 0 && (static_cast<unsigned char>(text_[cut]) & 0xC0) == 0x80) --cut;
  text_.erase(cut);
  at_.reset();
  failed_ = false;
  if (text_.empty() || entries_.empty()) return;
  at_ = search(entries_.size() - 1);
  failed_ = !at_;
}

void HistorySearch::older() {
  if (entries_.empty()) {
    failed_ = true;
    return;
  }
  if (!at_) {
    // Nothing found yet: with no text typed, the newest entry; else the text is in none.
    failed_ = !text_.empty();
    if (!failed_) at_ = entries_.size() - 1;
    return;
  }
  const auto hit = *at_ == 0 ? std::nullopt : search(*at_ - 1);
  failed_ = !hit;
  if (hit) at_ = hit;
}

std::optional<std::string> HistorySearch::found() const {
  if (!at_) return std::nullopt;
  return entries_[*at_];
}

std::string HistorySearch::line(std::size_t columns) const {
  std::string shown = std::string(failed_ ? "(failed reverse-i-search)`" : "(reverse-i-search)`") + text_ + "': ";
  if (at_) {
    for (const char c : entries_[*at_]) shown += c == '\n' || c == '\t' ? ' ' : c;
  }
  // Cut to the columns, counting UTF-8 characters.
  std::size_t characters = 0;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if ((static_cast<unsigned char>(shown[i]) & 0xC0) == 0x80) continue;
    if (++characters > columns) {
      shown.erase(i);
      break;
    }
  }
  return shown;
}

}  // namespace lumbra::shell
