# background.sh -- sourced by test scripts that run servers in the background:
#   work      a fresh folder, removed at the end with everything in it;
#   pids+=($!) after starting a process: it is stopped at the end (TERM, then
#             KILL after five seconds), whatever happens;
#   free_port a loopback port free now; wait_port PORT waits (ten seconds at
#             most) until something listens on it.
#   background_setup NAME   makes the folder (/tmp/lumbra-NAME.XXXXXX) and the trap.
pids=()
background_cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  rm -rf "$work"
}
background_setup() {
  work=$(mktemp -d "/tmp/lumbra-$1.XXXXXX") || exit 1
  trap background_cleanup EXIT
}
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 100); do
    python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
