#!/usr/bin/env bash
# The Debian package as an operator takes it: built by CPack from this build,
# installed with dpkg, the server started from its configuration file as its
# system user (telling its readiness as systemd's Type=notify expects), a
# login answered through the installed shell, the unit accepted by
# systemd-analyze verify, then the package purged. Needs root; skipped (77)
# where the machine already has anything of the package, so that the machine
# is left as it was found, whatever happens.
#   package_test.sh BUILD_DIR
set -uo pipefail
build=$1
name=lumbra-server
skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "dpkg needs root"
command -v dpkg >/dev/null && command -v cpack >/dev/null || skip "no dpkg or cpack"
dpkg-query -W -f='${Status}' $name 2>/dev/null | grep -q 'installed' && skip "$name is installed on this machine"
getent passwd $name >/dev/null && skip "the user $name exists"
getent group $name >/dev/null && skip "the group $name exists"
for dir in /etc/$name /var/lib/$name /var/log/$name /run/$name; do
  [ -e "$dir" ] && skip "$dir exists"
done

work=$(mktemp -d /tmp/lumbra-package.XXXXXX)
server_pid=
notify_pid=
cleanup() {
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null
  [ -n "$notify_pid" ] && kill -KILL "$notify_pid" 2>/dev/null
  wait 2>/dev/null
  dpkg --purge $name >/dev/null 2>&1
  userdel $name >/dev/null 2>&1
  groupdel $name >/dev/null 2>&1
  rm -rf /etc/$name /var/lib/$name /var/log/$name /run/$name "$work"
}
trap cleanup EXIT

echo "== the package, built from $build"
cpack --config "$build/CPackConfig.cmake" -B "$work/staging" -D CPACK_OUTPUT_FILE_PREFIX="$work" \
  >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/${name}_*.deb 2>/dev/null | head -n 1)
[ -f "$deb" ] || fail "no package written"
dpkg-deb -I "$deb" | sed -n 's/^ \(Package\|Version\|Depends\):/  \1:/p'

echo "== dpkg --install"
dpkg --install "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg --install"; }
getent passwd $name >/dev/null || fail "no system user $name"
config=/etc/$name/$name.toml
[ "$(stat -c '%a %U:%G' $config)" = "640 root:$name" ] || fail "$config: $(stat -c '%a %U:%G' $config)"
[ "$(stat -c '%U' /var/lib/$name/$name.db)" = $name ] || fail "no database of $name in /var/lib/$name"
for program in /usr/bin/$name /usr/bin/lumbra /usr/bin/tabrel /usr/bin/orvak; do
  runpath=$(readelf -d "$program" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  case "$runpath" in ""|'$ORIGIN'*) ;; *) fail "$program has the RUNPATH $runpath" ;; esac
  ldd "$program" | grep -q 'not found' && fail "$program: $(ldd "$program" | grep 'not found')"
done
unit=/usr/lib/systemd/system/$name.service
if ! systemd-analyze verify "$unit" >"$work/verify.log" 2>&1; then cat "$work/verify.log"; fail "systemd-analyze verify"; fi
grep -v '^$' "$work/verify.log" && fail "systemd-analyze verify had remarks"
if command -v tshark >/dev/null; then
  tshark -G protocols 2>/dev/null | grep -q '	lumbra$' || fail "tshark does not load the installed dissector"
fi
echo "  installed; the unit verified"

echo "== the server from $config, as $name, with a readiness socket"
chmod 0711 "$work"
python3 - "$work/notify" >"$work/notified" 2>&1 <<'PY' &
import os, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
os.chmod(sys.argv[1], 0o666)
s.settimeout(30)
print(s.recv(4096).decode())
PY
notify_pid=$!
for _ in $(seq 50); do [ -S "$work/notify" ] && break; sleep 0.1; done
printf 'secret\n' | runuser -u $name -- /usr/bin/$name user add ALICE --config $config || fail "user add"
# The packaged address, 127.0.0.1:3001, may be taken on a shared machine: the
# command line overrides it, as it overrides every key of the file.
# setpriv runs the server in its place (no parent between it and the signals).
NOTIFY_SOCKET="$work/notify" setpriv --reuid=$name --regid=$name --init-groups \
  /usr/bin/$name --config $config --listen 127.0.0.1:0 --port-file /run/$name/port 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 100); do [ -s /run/$name/port ] && break; sleep 0.1; done
[ -s /run/$name/port ] || { cat "$work/server.err" /var/log/$name/$name.log; fail "the server did not start"; }
port=$(cat /run/$name/port)
wait "$notify_pid"
notify_pid=
grep -q '^READY=1$' "$work/notified" || { cat "$work/notified"; fail "no READY=1 from the server"; }
echo "  listening on 127.0.0.1:$port; told: $(tr '\n' ' ' <"$work/notified")"
reply=$(LUMBRA_PASSWORD=secret /usr/bin/lumbra "ALICE@127.0.0.1:$port" -c "GETSET USER" 2>&1) || fail "login: $reply"
echo "$reply" | grep -q ALICE || fail "login: $reply"
echo "  ALICE logged in through the installed shell"
status=$(runuser -u $name -- /usr/bin/$name status --config $config) || fail "status: $status"
echo "$status" | grep -q '^SESSION ' || fail "status: $status"
echo "  status answered on the control socket of the configuration"
kill -TERM "$server_pid"
wait "$server_pid" || fail "the server's exit status"
server_pid=
grep -q "login of 'ALICE'" /var/log/$name/$name.log || fail "no login in /var/log/$name/$name.log"

echo "== dpkg --purge"
dpkg --purge $name >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
for gone in /usr/bin/$name /usr/bin/lumbra /usr/lib/$name "$unit" $config /etc/$name; do
  [ -e "$gone" ] && fail "$gone is left after the purge"
done
[ -e /var/lib/$name/$name.db ] || fail "the purge deleted the database"
echo "  purged; the database kept in /var/lib/$name"
echo "package test passed"
