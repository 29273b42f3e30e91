#!/usr/bin/env bash
# Builds every preset and runs every test: native first (the cross builds'
# tests talk to the native reference server), then the sanitizer build, i386
# Linux under qemu, the 32-bit DLLs (static checks, and host test programs
# under 32-bit wine in an emulated machine, scripts/run-win32.sh), the 64-bit
# DLLs under wine64, and the fuzz targets (corpus replay and a minute each);
# then the release: scripts/release.sh writes dist/ and
# tests/release/test_bundle.sh tests the archives as an integrator takes them
# (RELEASE_TEST=0 leaves this out). Ends with one line "N passed, N failed"
# over all of them.
set -uo pipefail
cd "$(dirname "$0")/.."

presets=(${PRESETS:-native sanitize linux32 win32 win64 fuzz})
jobs=${JOBS:-$(nproc)}
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$PWD/build/wineprefix}

passed=0
failed=0
broken=()
for p in "${presets[@]}"; do
  echo "=== preset $p"
  mkdir -p "build/$p"
  if ! cmake --preset "$p" >"build/$p/configure.log" 2>&1; then
    cat "build/$p/configure.log"; broken+=("$p:configure"); continue
  fi
  if ! cmake --build --preset "$p" -j "$jobs" >"build/$p/build.log" 2>&1; then
    tail -n 60 "build/$p/build.log"; broken+=("$p:build"); continue
  fi
  log="build/$p/ctest.log"
  ctest --preset "$p" -j "$jobs" 2>&1 | tee "$log" | grep -v -E '^ +[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed'
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    if grep -q 'No tests were found' "$log"; then continue; fi
    broken+=("$p:ctest"); continue
  fi
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
done

if [ "${RELEASE_TEST:-1}" = 1 ]; then
  echo "=== release"
  mkdir -p build
  if ! scripts/release.sh >build/release.log 2>&1; then
    tail -n 40 build/release.log; broken+=("release:build")
  else
    tests/release/test_bundle.sh dist 2>&1 | tee build/release-test.log
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' build/release-test.log | tail -n 1)
    if [ -z "$line" ]; then
      broken+=("release:test")
    else
      passed=$((passed + ${line%% passed*}))
      bad=${line#*passed, }
      failed=$((failed + ${bad%% failed}))
    fi
  fi
fi

if [ ${#broken[@]} -gt 0 ]; then
  echo "broken steps: ${broken[*]}"
  failed=$((failed + ${#broken[@]}))
fi
echo "${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
