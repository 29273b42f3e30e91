#!/usr/bin/env bash
# Installs, with apt-get, whatever a build of every preset, the tests, the
# benchmarks, the demonstration and the release need and this machine lacks.
# Idempotent.
set -euo pipefail

packages=(
  build-essential cmake ninja-build python3 binutils-mingw-w64-i686
  googletest libgtest-dev libbenchmark-dev
  gcc-multilib g++-multilib qemu-user-static
  gcc-mingw-w64-i686 g++-mingw-w64-i686 gcc-mingw-w64-x86-64 g++-mingw-w64-x86-64 wine64
  libsqlite3-dev sqlite3 libasio-dev libssl-dev openssl zlib1g-dev libedit-dev
  pgpdump clang libclang-rt-14-dev
  git zip unzip pandoc lld llvm
  postgresql libpq-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
echo "setup: all packages present"
