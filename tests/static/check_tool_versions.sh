#!/usr/bin/env bash
# Every program answers --version with its name and the suite version, alone
# on one line, and exit status 0.
# Usage: check_tool_versions.sh VERSION PROGRAM...
set -uo pipefail
version=$1
shift
failed=0
for program in "$@"; do
  name=$(basename "$program")
  got=$("$program" --version 2>&1)
  status=$?
  if [ "$status" -eq 0 ] && [ "$got" = "$name $version" ]; then
    echo "ok    $name --version: $got"
  else
    echo "FAIL  $name --version: \"$got\" (status $status), want \"$name $version\""
    failed=1
  fi
done
exit $failed
