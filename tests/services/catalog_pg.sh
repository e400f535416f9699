#!/bin/bash
# catalog_pg.sh TAVNI_UNIT_TESTS - the PostgreSQL cases of the unit tests
# against a throwaway PostgreSQL server, stopped whatever happens.
set -u
tests="$1"
here=$(cd "$(dirname "$0")" && pwd)
source "$here/postgres.sh"
work=$(mktemp -d /tmp/tavni-pg-XXXXXX)
# The cluster's owner (postgres, when this runs as root) must reach it.
chmod 755 "$work"
trap 'pg_stop "$work"; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
# A kill that no trap sees (ctest's time-out) leaves the server to a watcher
# in a session of its own, which stops it once this script is gone.
setsid bash -c 'source "$1"; while kill -0 "$2" 2>/dev/null; do sleep 1; done
    pg_stop "$3"; rm -rf "$3"' watcher "$here/postgres.sh" $$ "$work" </dev/null >/dev/null 2>&1 &
start=$(date +%s.%N)
pg_start "$work" || { echo "catalog_pg: PostgreSQL did not start" >&2; exit 1; }
echo "catalog_pg: PostgreSQL ready in $(echo "$(date +%s.%N) - $start" | bc) s at $TAVNI_PG_CONNINFO"
"$tests" --gtest_filter='Backends/CatalogTest.*/postgresql:PgCatalogTest.*:LeaseFrontends.*'
