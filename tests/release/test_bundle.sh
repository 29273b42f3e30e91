#!/usr/bin/env bash
# The release as an integrator takes it: from the archives in DIST (written by
# scripts/release.sh), not from the build tree. Checks the checksums; unpacks
# each zip and checks it statically against its own .def files
# (check_bundle.py); builds the consumer program (consumer.c) from the
# unpacked bundle alone with MinGW (headers and lib*.dll.a) and for the
# Microsoft ABI (clang and lld-link, the bundle's .lib, no C runtime of its
# own); checks what each consumer imports; runs the x86_64 consumers under
# wine64 and the i686 ones through scripts/run-win32.sh when that runner is
# there (otherwise they are only linked, and the output says so).
# Prints one line per step and "N passed, N failed".
# Usage: tests/release/test_bundle.sh [DIST]   (default: dist)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"
dist=$(cd "${1:-dist}" && pwd)
# The work folder lies in the tree: the emulated machine of run-win32.sh
# shares the current folder, and its /tmp is its own.
work=$root/build/release-test
rm -rf "$work"
mkdir -p "$work"
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64=wine64

passed=0
failed=0
# step NAME COMMAND...: runs COMMAND, its output in a log shown on failure
# (on success only its closing "N passed, N failed" line, if it has one).
step() {
  local name=$1
  shift
  local log
  log=$work/step-$((passed + failed)).log
  if "$@" >"$log" 2>&1; then
    local counts
    counts=$(tail -n 1 "$log" | tr -d '\r' | grep -E '^[0-9]+ passed, [0-9]+ failed$' || true)
    echo "ok    $name${counts:+ ($counts)}"
    passed=$((passed + 1))
  else
    echo "FAIL  $name"
    sed 's/^/      /' "$log" | tail -n 40
    failed=$((failed + 1))
  fi
}

# run_in FOLDER COMMAND...: COMMAND with FOLDER as the current folder.
run_in() {
  (cd "$1" && shift && "$@")
}

# build_msvc_consumer BUNDLE FOLDER: consumer-msvc.exe for the Microsoft ABI,
# against the bundle's .lib files and import libraries of KERNEL32 and
# msvcrt.dll made here: no Microsoft header, library or C runtime is needed.
build_msvc_consumer() {
  local bundle=$1 out=$2 nocrt=$here/nocrt
  local flags=(--target="$clang_target" -ffreestanding -nostdlibinc -I"$nocrt" -I"$bundle/include"
               -O1 -Wall -Wextra -Werror)
  clang "${flags[@]}" -c "$here/consumer.c" -o "$out/consumer.obj" &&
    clang "${flags[@]}" -c "$nocrt/entry.c" -o "$out/entry.obj" &&
    llvm-dlltool -m "$machine" $kill_at -d "$nocrt/$kernel32" -l "$out/kernel32.lib" &&
    llvm-dlltool -m "$machine" -d "$nocrt/msvcrt.def" -l "$out/msvcrt.lib" &&
    lld-link /nologo /nodefaultlib /entry:mainCRTStartup /subsystem:console /out:"$out/consumer-msvc.exe" \
      "$out/consumer.obj" "$out/entry.obj" "$bundle"/lib/{lumbra32,tabrel32,orvak32}.lib \
      "$out/kernel32.lib" "$out/msvcrt.lib"
}

# headers_compile BUNDLE: the three chief headers together, as C++, for the
# Microsoft ABI (no Microsoft header) and with MinGW.
headers_compile() {
  local include=$1/include
  printf '#include "lumbra32.h"\n#include "tabrel32.h"\n#include "orvak32.h"\n' >"$work/headers.cpp"
  clang --target="$clang_target" -ffreestanding -nostdlibinc -I"$here/nocrt" -I"$include" -x c++ -std=c++17 \
    -Wall -Wextra -Werror -fsyntax-only "$work/headers.cpp" &&
    "$triple-g++" -I"$include" -std=c++17 -Wall -Wextra -Werror -fsyntax-only "$work/headers.cpp"
}

version=$(sed -n 's/^declaration-suite-\(.*\)-win32\.zip$/\1/p' < <(ls "$dist"))
if [ -z "$version" ]; then
  echo "FAIL  no declaration-suite-VERSION-win32.zip in $dist"
  echo "0 passed, 1 failed"
  exit 1
fi
echo "release $version from $dist"
step "SHA256SUMS of the archives" bash -c "cd '$dist' && sha256sum -c SHA256SUMS"
source=$dist/declaration-suite-$version-src.tar.gz
if [ -f "$source" ] || git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  step "source archive holds the tree" bash -c \
    "tar -tzf '$source' | grep -qx 'declaration-suite-$version/tests/release/test_bundle.sh'"
else
  echo "note  no source archive: this tree is not a git checkout"
fi

# A TCP port of 127.0.0.1 where nothing listens: bound, then let go.
closed_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')

for arch in win32 win64; do
  name=declaration-suite-$version-$arch
  bundle=$work/$arch/$name
  mkdir -p "$work/$arch"
  step "$arch: unzip $name.zip" unzip -q "$dist/$name.zip" -d "$work/$arch"
  step "$arch: SHA256SUMS inside the bundle" bash -c "cd '$bundle' && sha256sum -c --quiet SHA256SUMS"
  if [ "$arch" = win32 ]; then
    triple=i686-w64-mingw32 clang_target=i686-pc-windows-msvc machine=i386 kill_at=-k kernel32=kernel32-i386.def
  else
    triple=x86_64-w64-mingw32 clang_target=x86_64-pc-windows-msvc machine=i386:x86-64 kill_at= kernel32=kernel32-x86_64.def
  fi
  step "$arch: exports, ordinals, version resources, import libraries" \
    python3 "$here/check_bundle.py" bundle "$bundle" --arch "$arch" --version "$version" \
      --objdump "$triple-objdump" --nm llvm-nm

  step "$arch: the chief headers compile as C++ (Microsoft ABI and MinGW)" headers_compile "$bundle"
  run=$work/$arch/run
  mkdir -p "$run"
  cp "$bundle"/bin/*.dll "$run/"
  step "$arch: MinGW consumer built against include/ and lib*.dll.a" \
    "$triple-gcc" -std=c11 -Wall -Wextra -Werror -O1 -I"$bundle/include" "$here/consumer.c" \
      -L"$bundle/lib" -llumbra32 -ltabrel32 -lorvak32 -o "$run/consumer-mingw.exe"
  step "$arch: Microsoft-ABI consumer built with clang and lld-link against the .lib files" \
    build_msvc_consumer "$bundle" "$run"
  for kind in mingw msvc; do
    exe=consumer-$kind.exe
    [ -f "$run/$exe" ] || continue
    step "$arch: $exe imports every export a caller links against, by its name" \
      python3 "$here/check_bundle.py" imports "$run/$exe" "$bundle" --objdump "$triple-objdump"
    if [ "$arch" = win64 ]; then
      step "$arch: $exe runs under wine64" run_in "$run" timeout 300 "$wine64" "./$exe" "$closed_port"
    elif [ -x "$root/scripts/run-win32.sh" ]; then
      step "$arch: $exe runs in the emulated 32-bit machine" \
        run_in "$run" timeout 600 "$root/scripts/run-win32.sh" "./$exe" "$closed_port"
    else
      echo "note  $arch: $exe linked, not run: scripts/run-win32.sh is not in this tree"
    fi
  done
done

echo "${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
