#!/usr/bin/env bash
# Starts a throwaway PostgreSQL 15 in a temporary folder (127.0.0.1 only, its socket in that folder,
# fsync and synchronous_commit off; as the user nobody when run as root), runs lumbra_compare against
# it with the arguments given (libpq directly, and lumbra-server on PostgreSQL in a database of its
# own), and stops and removes it at the end whatever happens.
#
# Usage: bench/compare/run.sh BUILD_BIN_DIR [lumbra_compare arguments...]
set -euo pipefail

bin=${1:?usage: run.sh BUILD_BIN_DIR [arguments...]}
shift
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$pgbin" ] || [ ! -x "$pgbin/initdb" ]; then
  echo "run.sh: no PostgreSQL server programs (the postgresql package)" >&2
  exit 1
fi

folder=$(mktemp -d /tmp/lumbra-compare.XXXXXX)
as=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody "$folder"
  as=(runuser -u nobody --)
fi
stop() {
  if [ -f "$folder/data/postmaster.pid" ]; then
    "${as[@]}" "$pgbin/pg_ctl" -D "$folder/data" -m immediate -w -t 20 stop >/dev/null 2>&1 ||
      kill -9 "$(head -n 1 "$folder/data/postmaster.pid")" 2>/dev/null || true
  fi
  rm -rf "$folder"
}
trap stop EXIT
trap 'exit 130' INT TERM HUP

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"${as[@]}" "$pgbin/initdb" -D "$folder/data" -U bench --auth=trust --encoding=UTF8 --locale=C >"$folder/initdb.log" 2>&1 ||
  { cat "$folder/initdb.log" >&2; exit 1; }
"${as[@]}" "$pgbin/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w -t 60 \
  -o "-c listen_addresses=127.0.0.1 -p $port -c unix_socket_directories=$folder -c fsync=off \
      -c synchronous_commit=off -c full_page_writes=off -c shared_buffers=256MB" start >/dev/null ||
  { cat "$folder/server.log" >&2; exit 1; }

# lumbra-server on PostgreSQL serves a database of its own (it sets it up itself: bench is a superuser).
"${as[@]}" "$pgbin/createdb" -h 127.0.0.1 -p "$port" -U bench lumbra_bench

"$bin/lumbra_compare" --pg "host=127.0.0.1 port=$port dbname=postgres user=bench" \
  --pg-server "postgresql://bench@127.0.0.1:$port/lumbra_bench" "$@"
