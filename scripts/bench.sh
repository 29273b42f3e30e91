#!/usr/bin/env bash
# Builds the native benchmarks and runs them one after another: tabrel_bench, orvak_bench,
# lumbra_bench, lumbra_load and lumbra_compare (against a throwaway PostgreSQL, bench/compare/run.sh:
# the bulk workload, then the interactive one), then prints every goal they report in one table. Run
# it on a quiet machine: the figures are only as good as the machine is idle. About five minutes on
# two cores.
# `scripts/bench.sh --smoke` runs everything at a tiny size, to check that it all works.
set -euo pipefail
smoke=0
[ "${1:-}" = "--smoke" ] && smoke=1
cd "$(dirname "$0")/.."

cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target tabrel_bench orvak_bench lumbra_bench lumbra_load lumbra_compare
bin=build/native/bin

scratch=$(mktemp -d /tmp/lumbra-bench.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
log=$scratch/output

run() {
  # What the last benchmark wrote goes to disk first, not during the next one.
  sync
  echo "== $(basename "$1")"
  "$@" | tee -a "$log"
  echo
}

if [ "$smoke" -eq 1 ]; then
  run "$bin/tabrel_bench" --dir "$scratch" --mib 4 --rounds 1
  run "$bin/orvak_bench" 10000
  run "$bin/lumbra_bench" --rows 10000 --trips 200
  run "$bin/lumbra_load" --sessions 40 --processes 2 --seconds 1
  run bench/compare/run.sh "$bin" --rows 10000 --interactive-rows 5000 --operations 1000
else
  run "$bin/tabrel_bench" --dir "$scratch"
  run "$bin/orvak_bench"
  run "$bin/lumbra_bench"
  run "$bin/lumbra_load"
  run bench/compare/run.sh "$bin"
fi

echo "== goals"
echo "| goal | wanted | today | |"
echo "|---|---|---|---|"
grep '^GOAL |' "$log" | sed -e 's/^GOAL |/|/' -e 's/ *$/ |/' -e 's/  */ /g'
