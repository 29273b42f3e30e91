#!/bin/sh
# Runs a command while a fresh lumbra-server listens on a loopback port of its
# own choosing, with a new database and one user, all in a temporary folder
# removed afterwards; the server is stopped whatever the command does. The
# command finds the server as a program in the emulated machine does
# (scripts/run-win32.sh --server):
#   LUMBRA_ADDRESS   127.0.0.1:PORT
#   LUMBRA_USER      the identification (taken from the environment, else HOSTTEST)
#   LUMBRA_PASSWORD  its password (taken from the environment, else senha1)
# Usage: with_server.sh SERVER COMMAND [ARGS...]; exits with the command's status.
server="$1"; shift
if [ ! -x "$server" ]; then
  echo "with_server.sh: no lumbra-server at $server (build the native preset first)" >&2
  exit 1
fi
LUMBRA_USER=${LUMBRA_USER:-HOSTTEST}
LUMBRA_PASSWORD=${LUMBRA_PASSWORD:-senha1}
dir=$(mktemp -d "${TMPDIR:-/tmp}/lumbra-server.XXXXXX") || exit 1
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
printf '%s\n' "$LUMBRA_PASSWORD" |
  "$server" user add "$LUMBRA_USER" --database "$dir/db.sqlite" --iterations 1000 >"$dir/server.log" 2>&1 || {
  echo "with_server.sh: lumbra-server user add failed" >&2
  cat "$dir/server.log" >&2
  exit 1
}
"$server" --listen 127.0.0.1:0 --port-file "$dir/port" --database "$dir/db.sqlite" >>"$dir/server.log" 2>&1 </dev/null &
pid=$!
i=0
while [ ! -s "$dir/port" ] && [ $i -lt 100 ]; do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
  i=$((i + 1))
done
if [ ! -s "$dir/port" ]; then
  echo "with_server.sh: lumbra-server did not start" >&2
  cat "$dir/server.log" >&2
  exit 1
fi
LUMBRA_ADDRESS=127.0.0.1:$(cat "$dir/port")
export LUMBRA_ADDRESS LUMBRA_USER LUMBRA_PASSWORD
"$@"
status=$?
if [ "$status" -ne 0 ]; then
  echo "with_server.sh: lumbra-server's log:"
  tail -n 20 "$dir/server.log"
fi
exit $status
