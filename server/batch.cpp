// The batch splitter.
#include "server/batch.h"

#include "protocol/commands.h"
#include "protocol/wire.h"

namespace lumbra::server {

namespace {

std::string_view withoutSeparator(std::string_view entry) {
  if (!entry.empty() && entry.back() == ' ') entry.remove_suffix(1);
  return entry;
}

}  // namespace

BatchParts splitBatch(std::string_view message) {
  BatchParts parts;
  if (isCommitCommand(message)) {
    parts.commit = message;
    return parts;
  }
  std::size_t start = 0;
  char quote = '\0';
  for (std::size_t i = 0; i < message.size(); ++i) {
    char c = message[i];
    if (c == kRunEscape) {
      // "@@" or '@', a digit and a character: never a quote, never a separator.
      i += (i + 1 < message.size() && message[i + 1] == kRunEscape) ? 1 : 2;
      continue;
    }
    if (quote != '\0') {
      if (c == quote) quote = '\0';
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      continue;
    }
    if (c != ' ') continue;
    std::string_view rest = message.substr(i + 1);
    if (isBatchedCommand(rest)) {
      parts.entries.push_back(message.substr(start, i - start));
      start = i + 1;
    } else if (isCommitCommand(rest)) {
      parts.entries.push_back(message.substr(start, i - start));
      parts.commit = rest;
      return parts;
    }
  }
  if (start < message.size()) parts.entries.push_back(withoutSeparator(message.substr(start)));
  return parts;
}

}  // namespace lumbra::server
