#!/usr/bin/env bash
# run-win32.sh: runs one 32-bit Windows program under 32-bit wine inside an emulated machine.
#
# Usage: scripts/run-win32.sh [--server] PROGRAM.exe [ARGS...]
#
# This machine's kernel runs no i386 programs, so the program runs in a
# qemu-system-x86_64 machine (TCG) booting Debian's own amd64 kernel, whose
# root filesystem is this machine's / shared read-only. Inside it:
#   - the current folder is shared writable at the same path, and the program
#     starts there; /tmp and /dev/shm are fresh tmpfs; loopback is up, no other
#     network;
#   - the program runs as `wine PROGRAM.exe ARGS...` with this environment
#     (less DISPLAY), WINEDEBUG=-all unless set, a private copy of a cached
#     WoW64 wine prefix, and standard input empty;
#   - with --server, a fresh native lumbra-server listens on the guest's
#     loopback first, with one user, and the program finds it in
#       LUMBRA_ADDRESS   127.0.0.1:PORT
#       LUMBRA_USER      the identification (taken from this environment, else HOSTTEST)
#       LUMBRA_PASSWORD  its password (taken from this environment, else senha1)
#     The server is RUN_WIN32_SERVER, else build/native/bin/lumbra-server.
#
# The program's standard output and standard error are printed here when the
# machine stops, and its exit status is this script's. When the run itself
# fails the script says why on standard error and exits with
#   124  the run took longer than RUN_WIN32_TIMEOUT seconds (default 300);
#   125  the machine could not be prepared or did not boot, the kernel package
#        could not be fetched, the server did not start, or no status came back.
#
# The first run fetches the kernel package (apt-get download, never installed),
# builds the initramfs (busybox-static and the kernel's virtio and 9p modules)
# and makes the wine prefix natively (wine64 wineboot -i); all three are kept
# in build/win32-machine/ (or RUN_WIN32_CACHE), so later runs only boot.
# Several runs may go at once. Other settings: RUN_WIN32_MEMORY (MiB, default
# 1024), RUN_WIN32_CPUS (default 2), RUN_WIN32_KEEP=1 keeps the run folder
# (console log, server log) and prints its path.
set -uo pipefail

me=run-win32
die() { echo "$me: $*" >&2; exit 125; }

server=0
if [ "${1:-}" = "--server" ]; then server=1; shift; fi
if [ $# -lt 1 ] || [ "${1:0:1}" = "-" ]; then
  echo "usage: $0 [--server] PROGRAM.exe [ARGS...]" >&2
  exit 125
fi
program=$1; shift
[ -f "$program" ] || die "no such program: $program"

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${RUN_WIN32_CACHE:-$repo/build/win32-machine}
timeout_s=${RUN_WIN32_TIMEOUT:-300}
memory=${RUN_WIN32_MEMORY:-1024}
cpus=${RUN_WIN32_CPUS:-2}
workdir=$(pwd -P)

for tool in qemu-system-x86_64 cpio gzip flock timeout; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup.sh installs it)"
done
[ -x /bin/busybox ] || die "/bin/busybox is missing (package busybox-static)"
[ -x /usr/lib/wine/wine ] || die "32-bit wine is missing (dpkg --add-architecture i386; package wine32)"
[ -x /usr/lib/wine/wine64 ] || die "wine64 is missing (package wine64)"

if [ "$server" = 1 ]; then
  server_program=${RUN_WIN32_SERVER:-$repo/build/native/bin/lumbra-server}
  [ -x "$server_program" ] || die "no lumbra-server at $server_program (build the native preset or set RUN_WIN32_SERVER)"
  server_program=$(cd "$(dirname "$server_program")" && pwd -P)/$(basename "$server_program")
fi

mkdir -p "$cache" || die "cannot create $cache"
cache=$(cd "$cache" && pwd -P)

# --- the cached pieces: kernel, initramfs, wine prefix -----------------------

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
mount -t tmpfs -o mode=1777 tmp /newroot/tmp || fail "no tmpfs"
mount -t devtmpfs dev /newroot/dev
mkdir -p /newroot/dev/shm
mount -t tmpfs -o mode=1777 shm /newroot/dev/shm
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
work=\$(cat /job/workdir)
mkdir -p "/newroot\$work" 2>/dev/null
mount -t 9p -o \$p9,cache=mmap work "/newroot\$work" || fail "no work share"
prefix=\$(cat /job/prefix)
mkdir -p /newroot/tmp/.wine-layer/upper /newroot/tmp/.wine-layer/work /newroot/tmp/wineprefix
mount -t overlay -o "lowerdir=/newroot\$prefix,upperdir=/newroot/tmp/.wine-layer/upper,workdir=/newroot/tmp/.wine-layer/work" \
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

make_prefix() {
  [ -f "$cache/wineprefix/system.reg" ] && [ -d "$cache/wineprefix/drive_c/windows/syswow64" ] && return 0
  local fresh
  rm -rf "$cache"/wineprefix.new.*
  fresh=$(mktemp -d "$cache/wineprefix.new.XXXXXX") || die "cannot create a folder in $cache"
  if ! (export WINEPREFIX=$fresh WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="; unset DISPLAY
        /usr/lib/wine/wine64 wineboot -i && /usr/lib/wine/wineserver -w) >"$fresh.log" 2>&1; then
    cat "$fresh.log" >&2
    die "wine64 wineboot -i failed"
  fi
  [ -d "$fresh/drive_c/windows/syswow64" ] || die "the wine prefix has no syswow64 (is wine32 installed?)"
  rm -rf "$cache/wineprefix" "$fresh.log"
  mv "$fresh" "$cache/wineprefix"
}

(
  flock 9
  fetch_kernel
  build_initramfs
  make_prefix
) 9>"$cache/.lock" || exit $?

# --- one run -----------------------------------------------------------------

job=$(mktemp -d "${TMPDIR:-/tmp}/run-win32.XXXXXX") || die "cannot create a run folder"
qemu_pid=
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
  if [ "${RUN_WIN32_KEEP:-0}" = 1 ]; then echo "$me: run folder kept: $job" >&2; else rm -rf "$job"; fi
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

printf '%s\n' "$workdir" >"$job/workdir"
printf '%s\n' "$cache/wineprefix" >"$job/prefix"
{
  echo '#!/bin/bash'
  export -p | grep -v -E '^declare -x (DISPLAY|WAYLAND_DISPLAY|WINEPREFIX|WINESERVER|WINELOADER|TMPDIR|OLDPWD|PWD|SHLVL|_)='
  echo 'export WINEPREFIX=/tmp/wineprefix HOME=/tmp'
  echo 'export WINEDEBUG=${WINEDEBUG:--all}'
  echo 'job=/tmp/.run-win32'
  printf 'cd %q || { echo "cannot enter the work folder" > $job/failure; exit; }\n' "$workdir"
  if [ "$server" = 1 ]; then
    printf 'server=%q\n' "$server_program"
    cat <<'EOF'
export LUMBRA_USER=${LUMBRA_USER:-HOSTTEST} LUMBRA_PASSWORD=${LUMBRA_PASSWORD:-senha1}
mkdir -p /tmp/lumbra-server
printf '%s\n' "$LUMBRA_PASSWORD" | "$server" user add "$LUMBRA_USER" --database /tmp/lumbra-server/db.sqlite \
  >"$job/server.log" 2>&1 || { echo "lumbra-server user add failed" > $job/failure; exit; }
"$server" --listen 127.0.0.1:0 --port-file /tmp/lumbra-server/port --database /tmp/lumbra-server/db.sqlite \
  >>"$job/server.log" 2>&1 </dev/null &
for _ in $(seq 300); do [ -s /tmp/lumbra-server/port ] && break; sleep 0.1; done
[ -s /tmp/lumbra-server/port ] || { echo "lumbra-server did not start" > $job/failure; exit; }
export LUMBRA_ADDRESS=127.0.0.1:$(cat /tmp/lumbra-server/port)
EOF
  fi
  printf '/usr/lib/wine/wine %q' "$program"
  for arg in "$@"; do printf ' %q' "$arg"; done
  echo ' </dev/null >"$job/stdout" 2>"$job/stderr"'
  echo 'echo $? > "$job/status"'
  } >"$job/job.sh"

model=none
[ "$(id -u)" -eq 0 ] && model=passthrough

timeout -k 5 "$timeout_s" qemu-system-x86_64 -accel tcg -m "$memory" -smp "$cpus" \
  -nodefaults -display none -no-reboot -monitor none \
  -serial "file:$job/console.log" \
  -kernel "$cache/vmlinuz" -initrd "$cache/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1 rdinit=/init" \
  -fsdev "local,id=root,path=/,security_model=none,readonly=on,multidevs=remap" \
  -device virtio-9p-pci,fsdev=root,mount_tag=root \
  -fsdev "local,id=work,path=$workdir,security_model=$model,multidevs=remap" \
  -device virtio-9p-pci,fsdev=work,mount_tag=work \
  -fsdev "local,id=job,path=$job,security_model=$model" \
  -device virtio-9p-pci,fsdev=job,mount_tag=job \
  >"$job/qemu.log" 2>&1 &
qemu_pid=$!
wait "$qemu_pid"
qemu_status=$?
qemu_pid=

[ -f "$job/stdout" ] && cat "$job/stdout"
[ -f "$job/stderr" ] && cat "$job/stderr" >&2

if [ -s "$job/status" ]; then
  status=$(cat "$job/status")
  if [ "$status" -ne 0 ] && [ -s "$job/server.log" ]; then
    echo "$me: lumbra-server's log:" >&2
    tail -n 20 "$job/server.log" >&2
  fi
  exit "$status"
fi
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
  echo "$me: the run timed out after ${timeout_s} s ($program)" >&2
  exit 124
fi
if [ -s "$job/failure" ]; then
  echo "$me: the machine booted but the run failed: $(cat "$job/failure")" >&2
  [ -s "$job/server.log" ] && tail -n 20 "$job/server.log" >&2
elif [ ! -f "$job/booted" ]; then
  echo "$me: the machine did not boot (qemu exit status $qemu_status)" >&2
  tail -n 20 "$job/qemu.log" "$job/console.log" >&2 2>/dev/null
else
  echo "$me: the machine stopped without the program's exit status" >&2
  tail -n 20 "$job/console.log" >&2
fi
exit 125
