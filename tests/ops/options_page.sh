#!/usr/bin/env bash
# The options of docs/operations.md, between its markers, are those that
# `lumbra-server --options-markdown` prints. With --update, writes them there.
#   options_page.sh PROGRAM PAGE [--update]
set -euo pipefail
program=$1
page=$2
begin='<!-- options: lumbra-server --options-markdown -->'
end='<!-- options: end -->'
table=$("$program" --options-markdown)
current=$(sed -n "\\#^$begin\$#,\\#^$end\$#p" "$page" | sed '1d;$d')
if [ "${3:-}" = --update ]; then
  python3 - "$page" "$begin" "$end" "$table" <<'PY'
import sys
page, begin, end, table = sys.argv[1:]
text = open(page).read()
head, rest = text.split(begin + "\n", 1)
_, tail = rest.split(end + "\n", 1)
open(page, "w").write(head + begin + "\n" + table + "\n" + end + "\n" + tail)
PY
  echo "wrote the options of $page"
  exit 0
fi
if [ "$current" != "$table" ]; then
  diff <(printf '%s\n' "$current") <(printf '%s\n' "$table") || true
  echo "FAILED: the options of $page are not current: run tests/ops/options_page.sh PROGRAM $page --update"
  exit 1
fi
echo "the options of $page are current"
