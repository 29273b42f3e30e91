#!/usr/bin/env bash
# The tree carries everything its builds and tests read: no tracked file may
# refer to a folder beside the checkout or to a path of one build machine.
# Usage: check_self_contained.sh SOURCE_DIR
set -euo pipefail
cd "$1"
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "not a git checkout: nothing to check"
  exit 0
fi
this=tests/static/check_self_contained.sh
hits=$(git grep -n -I -E '(\.\./)+shared/|(^|[^A-Za-z0-9_.}/$-])/(work|root)/|(^|[^A-Za-z0-9_.}/$-])/home/[a-z]' -- . ":!$this" || true)
if [ -n "$hits" ]; then
  echo "tracked files that refer to paths outside the tree:"
  echo "$hits"
  exit 1
fi
echo "every tracked file refers only to paths inside the tree"
