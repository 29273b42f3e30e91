#!/usr/bin/env bash
# The metrics as Prometheus takes them: lumbra-server with --metrics on
# 127.0.0.1, a few sessions through the lumbra shell, `promtool check metrics`
# on what /metrics answers, and a real Prometheus (on 127.0.0.1, its data in a
# temporary folder) that scrapes the server until its series are there. Both
# are stopped whatever happens. Skipped (77) where Prometheus is not installed.
#   prometheus_test.sh BIN_DIR
set -uo pipefail
bin=$1
command -v prometheus >/dev/null && command -v promtool >/dev/null || { echo "skipped: no prometheus"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

. "$(dirname "$0")/../support/background.sh"
background_setup prometheus
fetch() { python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())' "$1"; }

cd "$work"
printf 'secret\n' | "$bin/lumbra-server" user add ALICE --database team.db --iterations 10 2>/dev/null || fail "user add"
"$bin/lumbra-server" --database team.db --listen 127.0.0.1:0 --port-file port --metrics 127.0.0.1:0 \
  --log server.log &
pids+=($!)
for _ in $(seq 100); do [ -s port ] && break; sleep 0.1; done
[ -s port ] || { cat server.log; fail "the server did not start"; }
metrics=$(sed -n 's#.*metrics on http://\(127.0.0.1:[0-9]*\)/metrics.*#\1#p' server.log)
[ -n "$metrics" ] || { cat server.log; fail "no metrics address in the log"; }
export LUMBRA_PASSWORD=secret
"$bin/lumbra" "ALICE@127.0.0.1:$(cat port)" -c "EXEC CREATE TABLE T (K INTEGER)" -c "INSERT INTO T VALUES (1)" \
  -c "COMMIT" -c "SELECT K FROM T" >/dev/null || fail "a session"
LUMBRA_PASSWORD=wrong "$bin/lumbra" "ALICE@127.0.0.1:$(cat port)" -c "SELECT 1" >/dev/null 2>&1

fetch "http://$metrics/metrics" >metrics.txt || fail "GET /metrics"
promtool check metrics <metrics.txt || fail "promtool check metrics"
grep -q '^lumbra_logins_total{outcome="refused"} 1$' metrics.txt || { cat metrics.txt; fail "the refused login is not counted"; }
echo "promtool accepts the $(grep -c '^lumbra_' metrics.txt) samples of /metrics"

web=127.0.0.1:$(free_port)
cat >prometheus.yml <<YML
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: lumbra
    static_configs:
      - targets: ['$metrics']
YML
prometheus --config.file=prometheus.yml --storage.tsdb.path="$work/data" --web.listen-address="$web" \
  --log.level=warn >prometheus.log 2>&1 &
pids+=($!)
query="http://$web/api/v1/query?query=lumbra_messages_total%7Bcommand%3D%22SELECT%22%7D"
for _ in $(seq 60); do
  answer=$(fetch "$query" 2>/dev/null)
  case "$answer" in *'"value":['*'"1"]'*) break ;; esac
  sleep 0.5
done
case "$answer" in
  *'"value":['*'"1"]'*) echo "Prometheus scraped lumbra_messages_total{command=\"SELECT\"} = 1" ;;
  *) cat prometheus.log; echo "$answer"; fail "Prometheus has not scraped the server" ;;
esac
fetch "http://$web/api/v1/targets" | grep -q '"health":"up"' || fail "the target is not up"
echo "prometheus test passed"
