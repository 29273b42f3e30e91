#!/bin/sh
# Runs a client test program against a fresh reference server on a free loopback port.
# Usage: run_with_server.sh SERVER PROGRAM [RUNNER...]
# The program gets "127.0.0.1:PORT ID PASSWORD"; without a server binary it runs alone.
server="$1"; program="$2"; shift 2
if [ ! -x "$server" ]; then
  echo "reference server not built ($server): running without it"
  exec "$@" "$program"
fi
dir=$(mktemp -d)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf 'senha1\n' | "$server" user add HOSTTEST --database "$dir/db.sqlite" >/dev/null 2>&1
"$server" --listen "127.0.0.1:$port" --database "$dir/db.sqlite" 2>"$dir/server.log" &
pid=$!
python3 - "$port" <<'PY'
import socket, sys, time
for _ in range(100):
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), 0.2).close(); break
    except OSError:
        time.sleep(0.1)
PY
"$@" "$program" "127.0.0.1:$port" HOSTTEST senha1
rc=$?
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
rm -rf "$dir"
exit $rc
