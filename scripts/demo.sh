#!/usr/bin/env bash
# The demonstration behind `make demo`: builds the native preset, starts the
# reference server on an ephemeral port over a fresh database in a temporary
# folder, runs a scripted session through the lumbra shell, seals and checks
# sample declarations with tabrel, and builds a key ring with orvak. The server
# is always stopped (trap on EXIT). Exit 0 on success, nonzero on any failure;
# a part whose program is not built is skipped with a note.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=$root/build/native/bin

work=$(mktemp -d "${TMPDIR:-/tmp}/lumbra-demo.XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -INT "$server_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

skipped=()
title() { printf '\n== %s\n' "$*"; }
# A command as one would type it: words quoted only where needed, the build
# folder left out and the temporary folder shown as $TMP.
shown() {
  local word line=
  for word in "$@"; do
    word=${word#"$bin/"}
    if [[ $word =~ ^[A-Za-z0-9_./:@=,+-]+$ ]]; then line+=" $word"; else line+=" '${word//\'/\'\\\'\'}'"; fi
  done
  printf '%s' "${line# }" | sed "s#$work#\$TMP#g"
}
# Shows a command, runs it with its output (both streams) shown the same way,
# and returns its exit status.
run() {
  printf '$ %s\n' "$(shown "$@")"
  set +e
  "$@" 2>&1 | sed "s#$work#\$TMP#g"
  local status=${PIPESTATUS[0]}
  set -e
  return "$status"
}
skip() { printf '(skipped: %s)\n' "$*"; skipped+=("$1"); }
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

title "build (native preset)"
mkdir -p build
if ! cmake --preset native >"$work/configure.log" 2>&1; then tail -n 40 "$work/configure.log"; die "configure failed"; fi
if ! cmake --build --preset native -j"$(nproc)" >"$work/build.log" 2>&1; then tail -n 60 "$work/build.log"; die "build failed"; fi
echo "built into build/native"

# --- the lumbra shell against the reference server --------------------------
lumbra_part() {
  title "lumbra-server on a fresh database"
  local db=$work/demo.db password=demo-secret
  printf '%s\n' "$password" | run "$bin/lumbra-server" user add demo --database "$db"
  # A small message length, so that a few hundred rows take several blocks.
  "$bin/lumbra-server" --listen 127.0.0.1:0 --database "$db" --port-file "$work/port" \
    --message-length 1901 2>"$work/server.log" &
  server_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/port" ] && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.log"; die "the server did not start"; }
    sleep 0.1
  done
  [ -s "$work/port" ] || die "the server wrote no port file"
  local port
  port=$(cat "$work/port")
  echo "listening on 127.0.0.1:$port, message length 1901"
  export LUMBRA_PASSWORD=$password
  local target="demo@127.0.0.1:$port"

  # A COMMIT every 100 inserts: its reply carries 11 bytes an update and must
  # fit the message length.
  title "a table, 300 batched inserts, a COMMIT every 100"
  {
    echo "EXEC CREATE TABLE PEOPLE (ID INTEGER PRIMARY KEY, NAME CHAR(20), CITY CHAR(12))"
    local cities=(LISBOA PORTO BRAGA COIMBRA FARO EVORA)
    for i in $(seq 1 300); do
      echo "INSERT INTO PEOPLE VALUES ($i, 'PERSON $i', '${cities[$((i % 6))]}')"
      [ $((i % 100)) -ne 0 ] || echo "COMMIT"
    done
  } >"$work/load.sql"
  echo "load.sql: $(wc -l <"$work/load.sql") commands"
  run "$bin/lumbra" "$target" -f "$work/load.sql"

  title "SELECT of every row: several blocks of at most the message length"
  run "$bin/lumbra" "$target" -F csv -o "$work/people.csv" -c "SELECT ID, NAME, CITY FROM PEOPLE ORDER BY ID"
  local rows
  rows=$(($(wc -l <"$work/people.csv") - 1))
  echo "people.csv: $rows rows, $(wc -c <"$work/people.csv") bytes; first lines:"
  head -n 4 "$work/people.csv"
  [ "$rows" -eq 300 ] || die "expected 300 rows, got $rows"
  run "$bin/lumbra" "$target" -c "SELECT ID, NAME, CITY FROM PEOPLE WHERE ID <= 3 ORDER BY ID"

  title "binary insert of a file with NUL bytes, read back"
  { printf 'bin\000ary\377\000'; head -c 1500 /dev/urandom; } >"$work/blob.bin"
  run "$bin/lumbra" "$target" -c "EXEC CREATE TABLE BLOBS (ID INTEGER PRIMARY KEY, DATA BLOB)" \
    -c "\\crc $work/blob.bin" -c "\\insertbin \"INSERT INTO BLOBS VALUES (1, =\" $work/blob.bin" -c "COMMIT"
  run "$bin/lumbra" "$target" -F raw -o "$work/back.bin" -c "SELECT DATA FROM BLOBS WHERE ID = 1"
  run "$bin/lumbra" "$target" -c "\\crc $work/back.bin"
  cmp -n "$(wc -c <"$work/blob.bin")" "$work/blob.bin" "$work/back.bin" || die "the bytes read back differ"
  echo "read back: the same $(wc -c <"$work/blob.bin") bytes"

  title "server information"
  run "$bin/lumbra" "$target" -c "GETSET SERVERINFO" -c "GETSET CLIENTID"
}

if [ -x "$bin/lumbra-server" ] && [ -x "$bin/lumbra" ]; then
  lumbra_part
  kill -INT "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=
  echo "server stopped; its log has $(wc -l <"$work/server.log") lines"
else
  title "lumbra"
  skip "lumbra: lumbra-server or the lumbra shell is not built yet"
fi

# --- tabrel: seal and check declarations ------------------------------------
tabrel_part() {
  title "tabrel: seal a declaration, check it, break one record, check again"
  local tags=(--system HDRDEMO --offset 7 --declaration-trailer TRLDECL --receipt-trailer TRLRCPT)
  {
    echo "HDRDEMO0000000000 DECLARATION 2026"
    for i in 1 2 3 4 5; do echo "D$i ITEM $i VALUE ${i}00"; done
    echo "TRLDECL 5 RECORDS"
    echo "RCP RECEIPT 0001"
    echo "TRLRCPT "
  } >"$work/plain.txt"
  run "$bin/tabrel" seal "$work/plain.txt" --output "$work/DECL.TXT" "${tags[@]}"
  run "$bin/tabrel" check "$work/DECL.TXT" "${tags[@]}"
  # The same file name in another folder (the name enters the header's CRC),
  # with one value changed behind its record's CRC.
  mkdir -p "$work/broken"
  sed 's/ITEM 3 VALUE 300/ITEM 3 VALUE 301/' "$work/DECL.TXT" >"$work/broken/DECL.TXT"
  local status=0
  run "$bin/tabrel" check "$work/broken/DECL.TXT" "${tags[@]}" || status=$?
  [ "$status" -ne 0 ] || die "a broken record went unnoticed"
  echo "(exit status $status, as expected)"
}

if [ -x "$bin/tabrel" ]; then
  tabrel_part
else
  title "tabrel"
  skip "tabrel: the tool is not built yet"
fi

# --- orvak: a key ring from sample keys --------------------------------------
orvak_part() {
  title "orvak: a key ring from three fresh 1024-bit RSA keys"
  local ring=$work/ring.pgp day=1
  for owner in Alice Bob Carol; do
    openssl genrsa -out "$work/$owner.key" 1024 2>/dev/null
    openssl rsa -in "$work/$owner.key" -pubout -out "$work/$owner.pem" 2>/dev/null
    run "$bin/orvak" add "$ring" --pem "$work/$owner.pem" --user "$owner <$owner@example.org>" \
      --created "2026-01-0$day"
    day=$((day + 1))
  done
  run "$bin/orvak" list "$ring"
  run "$bin/orvak" remove "$ring" "bob <bob@example.org>"
  run "$bin/orvak" list "$ring"
}

if [ -x "$bin/orvak" ] && command -v openssl >/dev/null; then
  orvak_part
else
  title "orvak"
  skip "orvak: the tool (or openssl) is not there yet"
fi

title "done"
if [ ${#skipped[@]} -gt 0 ]; then echo "skipped parts: ${skipped[*]}"; fi
echo "demo finished"
