#!/usr/bin/env bash
# Installs, with apt-get, whatever a build of every preset, the tests, the
# benchmarks, the demonstration and the release need and this machine lacks.
# Idempotent.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3 binutils-mingw-w64-i686
  googletest libgtest-dev libbenchmark-dev
  gcc-multilib g++-multilib qemu-user-static
  gcc-mingw-w64-i686 g++-mingw-w64-i686 gcc-mingw-w64-x86-64 g++-mingw-w64-x86-64 wine64
  libsqlite3-dev sqlite3 libasio-dev libssl-dev openssl zlib1g-dev libedit-dev
  pgpdump clang libclang-rt-14-dev
  git zip unzip pandoc lld llvm
  postgresql libpq-dev
  libcli11-dev
  qemu-system-x86 busybox-static cpio wine32:i386
  libcpp-httplib-dev libsystemd-dev prometheus stunnel4 dpkg-dev
  tshark tcpdump
  fp-compiler fp-units-rtl
)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# wine32 (the 32-bit wine that runs the 32-bit DLLs' host tests in the
# emulated machine, scripts/run-win32.sh) comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture"
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# What the emulated machine of scripts/run-win32.sh boots: Debian's amd64
# kernel package (downloaded and unpacked into build/win32-machine/, never
# installed), its initramfs and the wine prefix. Kept once made.
if ! apt-cache depends linux-image-amd64 >/dev/null 2>&1; then "${sudo_cmd[@]}" apt-get update -qq; fi
bash "$(dirname "$0")/win32-machine.sh"
echo "setup: all packages present"
