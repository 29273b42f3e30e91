#!/usr/bin/env bash
# win32-machine.sh: prepares what the emulated machine of run-win32.sh boots,
# kept in CACHE (default build/win32-machine/): Debian's amd64 kernel, fetched
# with apt-get download and unpacked, never installed; an initramfs of
# busybox-static and the kernel's virtio, 9p and overlay modules, whose init
# mounts the shares and runs the job; and a WoW64 wine prefix made with wine64
# wineboot -i, natively where this machine's kernel runs 32-bit programs, else
# once in the machine (see make_prefix). Pieces already there are kept; runs at
# the same time wait for each other.
#
# Usage: scripts/win32-machine.sh [CACHE]
# Exit status 0, or 125 with a message saying what is missing.
set -uo pipefail

me=win32-machine
die() { echo "$me: $*" >&2; exit 125; }

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${1:-${RUN_WIN32_CACHE:-$repo/build/win32-machine}}

for tool in cpio gzip flock apt-get dpkg; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup.sh installs it)"
done
[ -x /bin/busybox ] || die "/bin/busybox is missing (package busybox-static)"
[ -x /usr/lib/wine/wine ] || die "32-bit wine is missing (dpkg --add-architecture i386; package wine32)"
[ -x /usr/lib/wine/wine64 ] || die "wine64 is missing (package wine64)"
mkdir -p "$cache" || die "cannot create $cache"
cache=$(cd "$cache" && pwd -P)

modules="virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs fscache 9pnet 9pnet_virtio 9p overlay"

fetch_kernel() {
  [ -f "$cache/vmlinuz" ] && [ -d "$cache/modules" ] && return 0
  local package download
  package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }')
  [ -n "$package" ] || die "cannot tell which kernel package linux-image-amd64 names (apt-get update?)"
  download=$(mktemp -d "$cache/download.XXXXXX") || die "cannot create a folder in $cache"
  if ! (cd "$download" && apt-get download -o APT::Sandbox::User=root "$package") >"$download/apt.log" 2>&1; then
    cat "$download/apt.log" >&2
    rm -rf "$download"
    die "cannot fetch the kernel package $package"
  fi
  dpkg -x "$download"/*.deb "$download/x" || { rm -rf "$download"; die "cannot unpack $package"; }
  local tree mod file
  tree=$(echo "$download"/x/lib/modules/*)
  mkdir -p "$download/modules"
  for mod in $modules; do
    file=$(find "$tree/kernel" -name "$mod.ko" | head -n 1)
    [ -n "$file" ] || { rm -rf "$download"; die "kernel package $package has no module $mod"; }
    cp "$file" "$download/modules/"
  done
  rm -rf "$cache/modules"
  mv "$download/modules" "$cache/modules"
  mv "$download"/x/boot/vmlinuz-* "$cache/vmlinuz"
  echo "$package" >"$cache/kernel-package"
  rm -rf "$download"
}

# The machine's first process: loads the modules, mounts the shares, runs the
# job in a chroot of this machine's / and powers off.
init_script() {
  cat <<EOF
#!/bin/sh
fail() { echo "run-win32 guest: \$*" > /dev/console; echo "\$*" > /job/failure 2>/dev/null; poweroff -f; }
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $modules; do insmod /modules/\$m.ko || fail "module \$m not loaded"; done
p9='trans=virtio,version=9p2000.L,msize=512000'
mkdir -p /job /newroot
mount -t 9p -o \$p9,cache=mmap job /job || fail "no job share"
echo booted > /job/booted
mount -t 9p -o \$p9,ro,cache=loose root /newroot || fail "no root share"
prefix=\$(cat /job/prefix)
mkdir -p /prefix
mount --bind "/newroot\$prefix" /prefix || fail "no wine prefix at \$prefix"
mount -t tmpfs -o mode=1777 tmp /newroot/tmp || fail "no tmpfs"
mount -t devtmpfs dev /newroot/dev
mkdir -p /newroot/dev/shm
mount -t tmpfs -o mode=1777 shm /newroot/dev/shm
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
work=\$(cat /job/workdir)
mkdir -p "/newroot\$work" 2>/dev/null
mount -t 9p -o \$p9,cache=mmap work "/newroot\$work" || fail "no work share"
mkdir -p /newroot/tmp/.wine-layer/upper /newroot/tmp/.wine-layer/work /newroot/tmp/wineprefix
mount -t overlay -o "lowerdir=/prefix,upperdir=/newroot/tmp/.wine-layer/upper,workdir=/newroot/tmp/.wine-layer/work" \
  wineprefix /newroot/tmp/wineprefix || fail "no wine prefix"
mkdir -p /newroot/tmp/.run-win32
mount --move /job /newroot/tmp/.run-win32 || fail "job share not moved"
ifconfig lo 127.0.0.1 up
chroot /newroot /bin/bash /tmp/.run-win32/job.sh
poweroff -f
EOF
}

build_initramfs() {
  local wanted staging
  wanted=$(init_script)
  if [ -f "$cache/initrd.gz" ] && [ "$(cat "$cache/init" 2>/dev/null)" = "$wanted" ]; then return 0; fi
  staging=$(mktemp -d "$cache/initramfs.XXXXXX") || die "cannot create a folder in $cache"
  mkdir -p "$staging/bin" "$staging/proc" "$staging/sys" "$staging/dev" "$staging/modules"
  cp /bin/busybox "$staging/bin/"
  for applet in sh mount mkdir cat insmod chroot poweroff ifconfig echo; do
    ln -s busybox "$staging/bin/$applet"
  done
  cp "$cache"/modules/*.ko "$staging/modules/"
  printf '%s\n' "$wanted" >"$staging/init"
  chmod 755 "$staging/init"
  (cd "$staging" && find . | cpio -o -H newc --quiet | gzip -1) >"$cache/initrd.gz.new" || die "cannot build the initramfs"
  mv "$cache/initrd.gz.new" "$cache/initrd.gz"
  printf '%s\n' "$wanted" >"$cache/init"
  rm -rf "$staging"
}

# The 32-bit half of a WoW64 prefix (syswow64) is filled by 32-bit wine during
# wineboot; a prefix without it boots no 32-bit program ("could not load
# kernel32.dll"). Where this machine's kernel runs 32-bit programs the prefix
# is made here in a minute; elsewhere it is made in the emulated machine once
# (several minutes under emulation).
make_prefix() {
  [ -f "$cache/wineprefix/system.reg" ] && [ -f "$cache/wineprefix/drive_c/windows/syswow64/kernel32.dll" ] &&
    return 0
  local fresh
  rm -rf "$cache"/wineprefix.new.*
  fresh=$(mktemp -d "$cache/wineprefix.new.XXXXXX") || die "cannot create a folder in $cache"
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    if ! (export WINEPREFIX=$fresh WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="; unset DISPLAY
          timeout 600 /usr/lib/wine/wine64 wineboot -i && timeout 120 /usr/lib/wine/wineserver -w) >"$fresh.log" 2>&1; then
      cat "$fresh.log" >&2
      die "wine64 wineboot -i failed"
    fi
  else
    echo "$me: this kernel runs no 32-bit programs: making the wine prefix in the emulated machine" >&2
    # What counts is the prefix it leaves: wineboot's own status may be
    # non-zero for a service that did not start in the machine.
    (cd "$cache" && RUN_WIN32_CACHE=$cache RUN_WIN32_TIMEOUT=${RUN_WIN32_PREFIX_TIMEOUT:-2400} \
      bash "$repo/scripts/run-win32.sh" --wineboot "$fresh") >"$fresh.log" 2>&1
  fi
  if [ ! -f "$fresh/drive_c/windows/syswow64/kernel32.dll" ]; then
    cat "$fresh.log" >&2
    die "the wine prefix has no 32-bit system folder (is wine32 installed?)"
  fi
  rm -rf "$cache/wineprefix" "$fresh.log"
  mv "$fresh" "$cache/wineprefix"
}

(
  flock 9
  fetch_kernel
  build_initramfs
  make_prefix
) 9>"$cache/.lock" || exit $?

