// The command language's facts: words, paths, COMMIT items, the refused update of a batch.
#include "protocol/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace lumbra {
namespace {

constexpr std::string_view kLocalWord = "GETSET ";
constexpr std::string_view kClientIdName = "CLIENTID";
constexpr std::string_view kServerInfoName = "SERVERINFO";
constexpr std::string_view kPlaceHead = "NA ATUALIZACAO ";
constexpr std::string_view kPlaceTail = " DO LOTE";
constexpr std::size_t kLongestPlaceNumber = 9;
constexpr char kTotalMark = '+';
constexpr long long kLargestTotal = 999999999;

}  // namespace

std::string_view commandWord(std::string_view text) {
  return text.substr(0, std::min(text.find(' '), kCommandWordLength));
}

PaddedCommandWord paddedCommandWord(std::string_view text) {
  PaddedCommandWord word{};
  const std::string_view bare = commandWord(text);
  std::memcpy(word.text, bare.data(), bare.size());
  if (bare.size() < kCommandWordLength) word.text[bare.size()] = ' ';
  return word;
}

bool isAcceptedWord(const PaddedCommandWord& word) {
  return std::strstr(kCommandWords, word.text) != nullptr;
}

bool namesBatchedWord(std::string_view text) {
  return std::any_of(kBatchedWords.begin(), kBatchedWords.end(), [&](std::string_view word) {
    return text.starts_with(word.substr(0, word.size() - 1));
  });
}

LocalAnswer localAnswerOf(std::string_view text) {
  if (!text.starts_with(kLocalWord)) return LocalAnswer::None;
  if (text.find(kClientIdName) != std::string_view::npos) return LocalAnswer::ClientId;
  if (text.find(kServerInfoName) != std::string_view::npos) return LocalAnswer::ServerInfo;
  return LocalAnswer::None;
}

std::string formatCommitText(std::span<const std::uint32_t> changes, long long updates, std::size_t room) {
  const std::size_t fit = room / kCommitItemLength;
  const std::size_t count = static_cast<std::size_t>(updates);
  const bool summary = count > fit;
  const std::size_t items = summary ? (fit > 0 ? fit - 1 : 0) : count;
  std::string text;
  text.reserve((items + 1) * kCommitItemLength);
  char item[24];
  for (std::size_t i = 0; i < items; ++i) {
    std::snprintf(item, sizeof item, "%010u ", i < changes.size() ? changes[i] : 0U);
    text.append(item, kCommitItemLength);
  }
  if (summary && fit > 0) {
    std::snprintf(item, sizeof item, "%c%09lld ", kTotalMark, std::min(updates, kLargestTotal));
    text.append(item, kCommitItemLength);
  }
  return text;
}

std::int32_t commitItemCount(std::size_t length) {
  return static_cast<std::int32_t>(length / kCommitItemLength);
}

std::optional<std::int64_t> commitTotal(std::string_view text) {
  if (text.size() < kCommitItemLength || text.size() % kCommitItemLength != 0) return std::nullopt;
  const std::string_view last = text.substr(text.size() - kCommitItemLength);
  if (last[0] != kTotalMark) return std::nullopt;
  std::int64_t total = 0;
  for (std::size_t i = 1; i < kCommitItemLength - 1; ++i) {
    if (last[i] < '0' || last[i] > '9') return std::nullopt;
    total = total * 10 + (last[i] - '0');
  }
  return total;
}

std::string batchUpdatePlace(std::size_t n) {
  return std::string(kPlaceHead) + std::to_string(n) + std::string(kPlaceTail);
}

std::optional<std::size_t> readBatchUpdatePlace(std::string_view text) {
  const std::size_t at = text.find(kPlaceHead);
  if (at == std::string_view::npos) return std::nullopt;
  const std::size_t first = at + kPlaceHead.size();
  std::size_t i = first;
  std::size_t n = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - first < kLongestPlaceNumber) {
    n = n * 10 + static_cast<std::size_t>(text[i++] - '0');
  }
  if (i == first || text.substr(i, kPlaceTail.size()) != kPlaceTail) return std::nullopt;
  return n;
}

}  // namespace lumbra
