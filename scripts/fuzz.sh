#!/bin/sh
# Builds the fuzz preset and runs every fuzz target for FUZZ_SECONDS seconds
# (default 300), one after another, from its stored corpus. New inputs go to
# build/fuzz/fuzz/work/<target>/corpus; crashes land beside them.
set -eu
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-300}"
build=build/fuzz
cmake --preset fuzz >/dev/null
cmake --build "$build" -j "$(nproc)"
status=0
for target in fuzz_tabrel fuzz_keyring fuzz_codecs fuzz_client_replies fuzz_server_messages fuzz_literal_inserts; do
  program="$build/bin/$target"
  [ -x "$program" ] || continue
  work="$build/fuzz/work/$target"
  mkdir -p "$work/corpus"
  dict=""
  for d in fuzz/*.dict; do
    case "$target:$d" in
      fuzz_tabrel:*tabrel.dict|fuzz_keyring:*keyring.dict|fuzz_client_replies:*client.dict|fuzz_server_messages:*server.dict|fuzz_literal_inserts:*literal_inserts.dict)
        dict="-dict=$d" ;;
    esac
  done
  echo "== $target for ${seconds}s"
  if ! "$program" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/" $dict "$work/corpus" "fuzz/corpus/$target" 2>"$work/log"; then
    status=1
    echo "$target: FAILED, see $work/log"
  fi
  grep -E '^(stat::number_of_executed_units|Done)' "$work/log" || true
done
exit $status
