#!/usr/bin/env bash
# scale_out_bench.sh BUILD_DIR - the server's receive rates (bench_server_bench:
# a stream of 1 MiB blocks, and small files each made durable) into the local
# default (SQLite and block files), and into a PostgreSQL catalog with an S3
# bucket (throwaway services, tests/services/services.sh) through one and
# through two frontends, all in the same run. TAVNI_BENCH_SMALL_FILES sets
# the small-file count (default 4000 here).
set -euo pipefail
build=$(cd "${1:?usage: scale_out_bench.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
[ -x "$build/bench_server_bench" ] || { echo "scale_out_bench: no bench_server_bench in $build" >&2; exit 1; }
# shellcheck source=../tests/services/services.sh
source "$here/../tests/services/services.sh"
dir=$(mktemp -d "${TMPDIR:-/tmp}/tavni-bench-services.XXXXXX")
trap 'set +e; services_stop "$dir"' EXIT
trap 'exit 1' INT TERM
services_start "$dir" >/dev/null
export TAVNI_BENCH_SMALL_FILES=${TAVNI_BENCH_SMALL_FILES:-4000}
run() { # label, frontends
  echo "== $1"
  "$build/bench_server_bench" --benchmark_filter="/$2/" 2>&1 | grep -E '^BM_'
}
run "local default (SQLite, block files), 1 frontend" 1
for n in 1 2; do
  services_fresh_backends "bench$n"
  TAVNI_BENCH_CATALOG=$CATALOG TAVNI_BENCH_BLOCKS=$BLOCKS \
    run "PostgreSQL catalog, S3 blocks (one-node Ceph, memstore), $n frontend(s)" "$n"
done
