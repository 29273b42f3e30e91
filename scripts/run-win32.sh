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
#     (less DISPLAY), WINEDEBUG=-all unless set, winemenubuilder disabled, a
#     private copy of a cached WoW64 wine prefix, and standard input empty;
#   - with --server, a fresh native lumbra-server listens on the guest's
#     loopback first, with one user, and the program finds it in
#       LUMBRA_ADDRESS   127.0.0.1:PORT
#       LUMBRA_USER      the identification (taken from this environment, else HOSTTEST)
#       LUMBRA_PASSWORD  its password (taken from this environment, else senha1)
#     The server is RUN_WIN32_SERVER, else build/native/bin/lumbra-server.
#
# PROGRAM is a path from the current folder or an absolute one; the guest's
# /tmp and /dev/shm being its own, it must not lie there outside the current
# folder (nor may the server), and the current folder must not be /.
#
# The program's standard output and standard error are printed here, byte for
# byte, when the machine stops, and its exit status is this script's (as a
# Linux status: a Windows exit code modulo 256). When the run itself
# fails the script says why on standard error and exits with
#   124  the run took longer than RUN_WIN32_TIMEOUT seconds (default 300);
#   125  the machine could not be prepared or did not boot, the kernel package
#        could not be fetched, the server did not start, or no status came back.
#
# What the machine boots is prepared by scripts/win32-machine.sh on the first
# run (or by scripts/setup.sh): the kernel package fetched with apt-get
# download (never installed), the initramfs and the wine prefix, all kept in
# build/win32-machine/ (or RUN_WIN32_CACHE), so later runs only boot.
# Several runs may go at once. Other settings: RUN_WIN32_MEMORY (MiB, default
# 1024), RUN_WIN32_CPUS (default 1: a second emulated processor made runs
# slower, twice as slow on a busy machine), RUN_WIN32_KEEP=1 keeps the run folder
# (console log, server log) and prints its path.
set -uo pipefail

me=run-win32
die() { echo "$me: $*" >&2; exit 125; }

server=0
# --wineboot PREFIX (for win32-machine.sh alone, which has the kernel and the
# initramfs ready and holds their lock): makes the WoW64 wine prefix PREFIX,
# under the current folder, in the machine, whose kernel runs the 32-bit half
# of wineboot where this machine's may not.
wineboot_prefix=
if [ "${1:-}" = "--wineboot" ] && [ $# -eq 2 ]; then wineboot_prefix=$2; shift 2; fi
if [ "${1:-}" = "--server" ]; then server=1; shift; fi
if [ -z "$wineboot_prefix" ]; then
  if [ $# -lt 1 ] || [ "${1:0:1}" = "-" ]; then
    echo "usage: $0 [--server] PROGRAM.exe [ARGS...]" >&2
    exit 125
  fi
  program=$1; shift
  [ -f "$program" ] || die "no such program: $program"
fi

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${RUN_WIN32_CACHE:-$repo/build/win32-machine}
timeout_s=${RUN_WIN32_TIMEOUT:-300}
memory=${RUN_WIN32_MEMORY:-1024}
cpus=${RUN_WIN32_CPUS:-1}
workdir=$(pwd -P)
[ "$workdir" != / ] || die "run from a folder other than /: the current folder is shared writable"

for tool in qemu-system-x86_64 timeout; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup.sh installs it)"
done

if [ "$server" = 1 ]; then
  server_program=${RUN_WIN32_SERVER:-$repo/build/native/bin/lumbra-server}
  [ -x "$server_program" ] || die "no lumbra-server at $server_program (build the native preset or set RUN_WIN32_SERVER)"
  server_program=$(cd "$(dirname "$server_program")" && pwd -P)/$(basename "$server_program")
fi

mkdir -p "$cache" || die "cannot create $cache"
cache=$(cd "$cache" && pwd -P)

# The guest's /tmp and /dev/shm are its own: what lies there on this machine
# is out of its sight, unless it is in the current folder.
visible() {
  local real
  real=$(realpath -m "$1")
  case "$real/" in
    "$workdir"/*) return 0 ;;
    /tmp/* | /dev/shm/*) die "$2 $1 lies in /tmp or /dev/shm, which the machine does not share: run from its folder" ;;
  esac
}
if [ -n "$wineboot_prefix" ]; then
  visible "$wineboot_prefix" "the wine prefix"
else
  visible "$program" "the program"
  [ "$server" = 1 ] && visible "$server_program" "the server"
  bash "$repo/scripts/win32-machine.sh" "$cache" || exit 125
fi

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
if [ -n "$wineboot_prefix" ]; then
  printf '%s\n' "$cache" >"$job/prefix"  # any folder: the machine's copy goes unused
else
  printf '%s\n' "$cache/wineprefix" >"$job/prefix"
fi
{
  echo '#!/bin/bash'
  export -p | grep -v -E '^declare -x (DISPLAY|WAYLAND_DISPLAY|WINEPREFIX|WINESERVER|WINELOADER|TMPDIR|OLDPWD|PWD|SHLVL|_)='
  echo 'export WINEPREFIX=/tmp/wineprefix HOME=/tmp'
  echo 'export WINEDEBUG=${WINEDEBUG:--all}'
  # Menu entries and desktop files are of no use in the machine: one process fewer at wine's start.
  echo 'export WINEDLLOVERRIDES="winemenubuilder.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"'
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
  echo 'mark() { echo "run-win32: $(cut -d" " -f1 /proc/uptime) s: $*" > /dev/console; }'
  if [ -n "$wineboot_prefix" ]; then
    printf 'export WINEPREFIX=%q WINEDLLOVERRIDES="mscoree,mshtml="\n' "$(realpath -m "$wineboot_prefix")"
    echo 'mark "wineboot starts"'
    echo '{ /usr/lib/wine/wine64 wineboot -i && /usr/lib/wine/wineserver -w; } </dev/null >"$job/stdout" 2>"$job/stderr"'
    echo 'echo $? > "$job/status"'
    echo 'mark "wineboot ended"'
  else
    echo 'mark "the program starts"'
    printf '/usr/lib/wine/wine %q' "$program"
    for arg in "$@"; do printf ' %q' "$arg"; done
    echo ' </dev/null >"$job/stdout" 2>"$job/stderr"'
    echo 'echo $? > "$job/status"'
    echo 'mark "the program ended"'
  fi
} >"$job/job.sh"

# Root may keep the files' owners as they are; anyone else gets them as qemu sees them.
model=none
[ "$(id -u)" -eq 0 ] && model=passthrough

# TCG, not KVM: a KVM guest hangs at boot on these machines. The default CPU
# model, not "max": under TCG the latter's extra features make wine's 32-bit
# code fault in the kernel on its way back to user mode. No network card:
# the guest has its loopback only.

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
