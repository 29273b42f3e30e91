#!/usr/bin/env bash
# The recipe of docs/operations.md for serving beyond a trusted network: stunnel
# in front of lumbra-server on the server's side, stunnel as a client on the
# client's side, the certificate checked by name. All on 127.0.0.1: the lumbra
# shell logs in through both tunnels, and what travels between them is TLS,
# not the protocol in clear. Everything stops whatever happens. Skipped (77)
# without stunnel4.
#   stunnel_test.sh BIN_DIR
set -uo pipefail
bin=$1
command -v stunnel4 >/dev/null || command -v stunnel >/dev/null || { echo "skipped: no stunnel"; exit 77; }
stunnel=$(command -v stunnel4 || command -v stunnel)
fail() { echo "FAILED: $*"; exit 1; }

. "$(dirname "$0")/../support/background.sh"
background_setup stunnel

cd "$work"
# The server's certificate, for its name (here localhost), self-signed.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost \
  -keyout server.key -out server.pem 2>/dev/null || fail "openssl req"

printf 'secret\n' | "$bin/lumbra-server" user add ALICE --database team.db --iterations 10 2>/dev/null || fail "user add"
"$bin/lumbra-server" --database team.db --listen 127.0.0.1:0 --port-file port --log server.log &
pids+=($!)
for _ in $(seq 100); do [ -s port ] && break; sleep 0.1; done
[ -s port ] || { cat server.log; fail "the server did not start"; }
tls=$(free_port)
local_port=$(free_port)

# The server's side: TLS in, the plain protocol to the server on loopback.
cat >server.conf <<CONF
foreground = yes
pid =
[lumbra]
accept = 127.0.0.1:$tls
connect = 127.0.0.1:$(cat port)
cert = $work/server.pem
key = $work/server.key
CONF
# The client's side: the host connects to its own loopback; stunnel checks the
# server's certificate and name before anything of the session goes out.
cat >client.conf <<CONF
foreground = yes
pid =
[lumbra]
client = yes
accept = 127.0.0.1:$local_port
connect = 127.0.0.1:$tls
CAfile = $work/server.pem
verifyChain = yes
checkHost = localhost
CONF
"$stunnel" server.conf >server-stunnel.log 2>&1 &
pids+=($!)
"$stunnel" client.conf >client-stunnel.log 2>&1 &
pids+=($!)
wait_port "$tls" && wait_port "$local_port" || { cat server-stunnel.log client-stunnel.log; fail "stunnel did not listen"; }

reply=$(LUMBRA_PASSWORD=secret "$bin/lumbra" "ALICE@127.0.0.1:$local_port" -c "GETSET USER" 2>&1) ||
  { cat client-stunnel.log server-stunnel.log; fail "login through the tunnels: $reply"; }
echo "$reply" | grep -q ALICE || fail "login through the tunnels: $reply"
echo "ALICE logged in through the tunnels"
# A client that speaks the protocol in clear to the TLS port gets no greeting.
if LUMBRA_PASSWORD=secret timeout 20 "$bin/lumbra" "ALICE@127.0.0.1:$tls" -c "GETSET USER" >plain.txt 2>&1; then
  cat plain.txt; fail "the TLS port answered the protocol in clear"
fi
# A client-side stunnel that expects another name refuses the server.
sed -i 's/checkHost = localhost/checkHost = elsewhere.example/' client.conf
other=$(free_port)
sed -i "s/accept = 127.0.0.1:$local_port/accept = 127.0.0.1:$other/" client.conf
"$stunnel" client.conf >other-stunnel.log 2>&1 &
pids+=($!)
wait_port "$other" || fail "the second client stunnel did not listen"
if LUMBRA_PASSWORD=secret timeout 20 "$bin/lumbra" "ALICE@127.0.0.1:$other" -c "GETSET USER" >wrong.txt 2>&1; then
  cat wrong.txt; fail "a certificate for another name was accepted"
fi
echo "stunnel test passed"
