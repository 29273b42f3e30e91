#!/usr/bin/env bash
# A tiny lumbra_compare run against the test run's throwaway PostgreSQL (tests/support/postgres.sh):
# libpq on the owner's database, lumbra-server on PostgreSQL on a database of its own, made for the
# run and dropped afterwards (with the sessions' role the server made for it).
#
# Usage: postgres_smoke.sh LUMBRA_COMPARE URI_FILE
set -euo pipefail
compare=${1:?usage: postgres_smoke.sh LUMBRA_COMPARE URI_FILE}
uri_file=${2:?usage: postgres_smoke.sh LUMBRA_COMPARE URI_FILE}
owner=$(cat "$uri_file")
super=$(cat "$(dirname "$uri_file")/superuser-uri")
database=lumbra_compare_$$
role=$(psql -X -q -t -A -d "$super" -v ON_ERROR_STOP=1 \
  -c "CREATE DATABASE $database OWNER lumbra_owner" \
  -c "SELECT 'lumbra_session_' || oid FROM pg_database WHERE datname = '$database'" | tail -n 1)
cleanup() {
  psql -X -q -d "$super" -c "DROP DATABASE IF EXISTS $database WITH (FORCE)" \
    -c "DROP ROLE IF EXISTS $role" >/dev/null 2>&1 || true
}
trap cleanup EXIT
"$compare" --rows 2000 --lengths 32000 --interactive-rows 2000 --operations 200 --pg "$owner" --pg-server "${owner%/*}/$database"
