#!/usr/bin/env bash
# The release as an integrator takes it: from the archives in DIST (written by
# scripts/release.sh), not from the build tree. Checks the checksums; unpacks
# each zip and checks it statically against its own .def files and headers
# (check_bundle.py: exports, import libraries, version resources, the pages
# current and linked, the README of its architecture); builds the consumer
# program (consumer.c) from the unpacked bundle alone with MinGW (headers and
# lib*.dll.a) and for the Microsoft ABI (clang and lld-link, the bundle's
# .lib, no C runtime of its own), and the bundle's example host
# (examples/host.c) with MinGW; checks what each consumer imports. The x86_64
# programs run under wine64, the host against a lumbra-server of the native
# build; the i686 ones run in one boot of the emulated machine
# (scripts/run-win32.sh, with a lumbra-server inside) when that runner is
# there (otherwise they are only linked, and the output says so). Then the
# bundle's examples, C and Pascal, are built for Linux against the native
# libraries and run (examples_test.py). The hosts' answers are checked against
# the bundle's examples/samples/README.md.
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

server=$root/build/native/bin/lumbra-server
native_libraries=$root/build/native/lib
# The 32-bit programs, run together in one boot of the emulated machine: NAME and arguments.
win32_programs=()

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
  step "$arch: exports, ordinals, version resources, import libraries, pages, links, README" \
    python3 "$here/check_bundle.py" bundle "$bundle" --arch "$arch" --version "$version" \
      --objdump "$triple-objdump" --nm llvm-nm --cc "$triple-gcc"

  step "$arch: the chief headers compile as C++ (Microsoft ABI and MinGW)" headers_compile "$bundle"
  run=$work/$arch/run
  mkdir -p "$run"
  cp "$bundle"/bin/*.dll "$run/"
  cp -r "$bundle/examples/samples" "$run/samples"
  step "$arch: MinGW consumer built against include/ and lib*.dll.a" \
    "$triple-gcc" -std=c11 -Wall -Wextra -Werror -O1 -I"$bundle/include" "$here/consumer.c" \
      -L"$bundle/lib" -llumbra32 -ltabrel32 -lorvak32 -o "$run/consumer-mingw.exe"
  step "$arch: Microsoft-ABI consumer built with clang and lld-link against the .lib files" \
    build_msvc_consumer "$bundle" "$run"
  step "$arch: the example host examples/host.c built from the bundle with MinGW" \
    "$triple-gcc" -std=c11 -Wall -Wextra -Werror -O1 -I"$bundle/include" "$bundle/examples/host.c" \
      -L"$bundle/lib" -llumbra32 -ltabrel32 -lorvak32 -o "$run/host.exe"
  for kind in mingw msvc; do
    exe=consumer-$kind.exe
    [ -f "$run/$exe" ] || continue
    step "$arch: $exe imports every export a caller links against, by its name" \
      python3 "$here/check_bundle.py" imports "$run/$exe" "$bundle" --objdump "$triple-objdump"
    if [ "$arch" = win64 ]; then
      step "$arch: $exe runs under wine64" run_in "$run" timeout 300 "$wine64" "./$exe" "$closed_port"
    else
      # Port 1 of the machine's own loopback: nothing listens there.
      win32_programs+=("$exe" "$exe 1")
    fi
  done
  if [ -f "$run/host.exe" ]; then
    if [ "$arch" = win64 ]; then
      step "$arch: host.exe runs under wine64 against lumbra-server, with the samples' answers" \
        run_in "$run" python3 "$here/examples_test.py" run --server "$server" --samples "$run/samples" \
          --name host.exe -- timeout 300 "$wine64" ./host.exe samples
    else
      win32_programs+=(host.exe "host.exe samples")
    fi
  fi
done

# run_win32_programs FOLDER NAME COMMANDLINE...: one boot of the emulated
# machine, with a lumbra-server inside, runs each command line in turn in one
# wine session (the suite's batch runner of the 32-bit host tests); each
# program's output and exit status go to FOLDER/results/NAME.out and .status.
run_win32_programs() {
  local folder=$1
  shift
  i686-w64-mingw32-g++ -std=c++17 -O1 -static -o "$folder/batch.exe" "$root/tests/win32/host32_batch.cpp" &&
    rm -rf "$folder/results" && mkdir -p "$folder/results" &&
    (cd "$folder" && timeout 900 env RUN_WIN32_TIMEOUT=840 RUN_WIN32_SERVER="$server" \
      "$root/scripts/run-win32.sh" --server batch.exe results "$@")
}

# shown_status FOLDER NAME: the program's output, and success when it exited with 0.
shown_status() {
  cat "$1/$2.out" 2>/dev/null
  [ -f "$1/$2.status" ] && [ "$(tr -d ' \r\n' <"$1/$2.status")" = 0 ]
}

run=$work/win32/run
if [ ${#win32_programs[@]} -gt 0 ] && [ -x "$root/scripts/run-win32.sh" ]; then
  step "win32: one boot of the emulated 32-bit machine runs $((${#win32_programs[@]} / 2)) programs" \
    run_win32_programs "$run" "${win32_programs[@]}"
  for ((i = 0; i < ${#win32_programs[@]}; i += 2)); do
    program=${win32_programs[$i]}
    if [ "$program" = host.exe ]; then
      step "win32: host.exe ran in the emulated machine against lumbra-server, with the samples' answers" \
        python3 "$here/examples_test.py" output "$run/results/host.exe.out" --samples "$run/samples" \
          --status "$(tr -d ' \r\n' <"$run/results/host.exe.status" 2>/dev/null || echo 125)"
    else
      step "win32: $program ran in the emulated 32-bit machine" shown_status "$run/results" "$program"
    fi
  done
elif [ ${#win32_programs[@]} -gt 0 ]; then
  echo "note  win32: ${win32_programs[*]} linked, not run: scripts/run-win32.sh is not in this tree"
fi

# The examples from the zip built for Linux against the tree's native
# libraries: the C host, and the Pascal unit and host with Free Pascal.
bundle=$work/win32/declaration-suite-$version-win32
step "native: the bundle's examples, C and Pascal, built and run against the Linux libraries" \
  python3 "$here/examples_test.py" native --server "$server" --libraries "$native_libraries" \
    --include "$bundle/include" --examples "$bundle/examples" --fpc "$(command -v fpc || echo fpc)"

echo "${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
