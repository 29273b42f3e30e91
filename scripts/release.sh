#!/usr/bin/env bash
# Builds the Windows DLLs (presets win32 and win64) and writes dist/:
#   declaration-suite-VERSION-win32.zip, declaration-suite-VERSION-win64.zip
#       the three DLLs, their chief headers and .def files, import libraries
#       for MinGW (lib*.dll.a) and the Microsoft toolchain (*.lib), the
#       integrator pages (Markdown and HTML), a README and SHA256SUMS
#   declaration-suite-VERSION-src.tar.gz
#       the committed tree (git archive of HEAD)
#   SHA256SUMS
#       of the three archives
# VERSION is the project() version of the top CMakeLists.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-$(nproc)}
libraries=(lumbra32 tabrel32 orvak32)
headers=(client/lumbra32.h validator/tabrel32.h keyring/orvak32.h)
docs=(lumbra32 tabrel32 orvak32)

for p in win32 win64; do
  echo "release: building the $p DLLs"
  mkdir -p "build/$p"
  cmake --preset "$p" >"build/$p/configure.log" 2>&1 || { cat "build/$p/configure.log"; exit 1; }
  cmake --build --preset "$p" -j "$jobs" --target "${libraries[@]}" >"build/$p/release-build.log" 2>&1 ||
    { tail -n 60 "build/$p/release-build.log"; exit 1; }
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win32/CMakeCache.txt)
[ -n "$version" ] || { echo "release: no project version in build/win32/CMakeCache.txt"; exit 1; }
suite=declaration-suite-$version
# Every file of the bundles carries the time of the commit it was made from.
stamp=$(git log -1 --format=%cd --date=format:%Y%m%d%H%M.%S 2>/dev/null || date -u +%Y%m%d%H%M.%S)

stage=build/release
rm -rf "$stage" dist
mkdir -p "$stage" dist

# bundle ARCH PRESET MACHINE_DLLTOOL MINGW_DLLTOOL KILL_AT DEF...
bundle() {
  local arch=$1 preset=$2 llvm_machine=$3 gnu_dlltool=$4 kill_at=$5
  shift 5
  local defs=("$@")
  local name=$suite-$arch
  local dir=$stage/$name
  local idef=$stage/import-defs-$arch
  mkdir -p "$dir/bin" "$dir/include" "$dir/lib" "$dir/def" "$dir/docs" "$idef"
  local i
  for i in 0 1 2; do
    local lib=${libraries[$i]}
    cp "build/$preset/bin/$lib.dll" "$dir/bin/"
    cp "${headers[$i]}" "$dir/include/"
    cp "${defs[$i]}" "$dir/def/$lib.def"
    python3 release/import_def.py write --arch "$( [ "$arch" = win32 ] && echo i386 || echo x86_64 )" \
      "${defs[$i]}" "$idef/$lib.def" "$lib.dll"
    "$gnu_dlltool" $kill_at -d "$idef/$lib.def" -D "$lib.dll" -l "$dir/lib/lib$lib.dll.a"
    llvm-dlltool -m "$llvm_machine" $kill_at -d "$idef/$lib.def" -D "$lib.dll" -l "$dir/lib/$lib.lib"
  done
  for d in "${docs[@]}"; do
    cp "docs/$d.md" "$dir/docs/"
    pandoc -s -f gfm -t html --metadata title="$d" "docs/$d.md" -o "$dir/docs/$d.html"
  done
  mkdir -p "$dir/wireshark"
  cp tools/wireshark/lumbra.lua docs/wireshark.md "$dir/wireshark/"
  sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" release/README.md >"$dir/README.md"
  pandoc -s -f gfm -t html --metadata title="Declaration suite $version ($arch)" "$dir/README.md" \
    -o "$dir/README.html"
  # Links between the pages lead to the HTML pages in the HTML versions.
  sed -i -E 's/href="([a-z0-9/]+)\.md"/href="\1.html"/g' "$dir"/README.html "$dir"/docs/*.html
  (cd "$dir" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
  find "$dir" -exec touch -h -t "$stamp" {} +
  (cd "$stage" && find "$name" | LC_ALL=C sort | TZ=UTC zip -X -q -D "$root/dist/$name.zip" -@)
  echo "release: dist/$name.zip"
}

bundle win32 win32 i386 i686-w64-mingw32-dlltool -k \
  client/lumbra32.def validator/tabrel32.def keyring/orvak32.def
bundle win64 win64 i386:x86-64 x86_64-w64-mingw32-dlltool "" \
  build/win64/client/lumbra32-x64.def build/win64/validator/tabrel32-x64.def build/win64/keyring/orvak32-x64.def

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "release: warning: uncommitted changes are not in the source archive (it holds HEAD)"
  fi
  git archive --format=tar.gz --prefix="$suite/" -o "dist/$suite-src.tar.gz" HEAD
  echo "release: dist/$suite-src.tar.gz"
else
  echo "release: not a git checkout: no source archive"
fi

(cd dist && sha256sum -- *.zip $(ls ./*.tar.gz 2>/dev/null | sed 's|^\./||') >SHA256SUMS)
echo "release: dist/SHA256SUMS"
(cd dist && ls -l)
