#!/usr/bin/env bash
# all.sh BUILD_DIR - the server on the back ends of a scaled-out service: a
# throwaway PostgreSQL cluster and a one-node Ceph cluster (S3) start below a
# temporary folder; the back ends' own cases, the served-store suites with
# their catalog in PostgreSQL and their blocks in S3, and a job that fails
# over between two frontends run against them. Both services are stopped
# whatever happens. Run by ./run test (run.d/services.test.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: all.sh BUILD_DIR}" && pwd)
# shellcheck source=services.sh
source "$here/services.sh"
dir=$(mktemp -d "${TMPDIR:-/tmp}/tavni-services.XXXXXX")
# The stop tolerates what is already gone.
trap 'set +e; services_stop "$dir"' EXIT
trap 'exit 1' INT TERM
t0=$SECONDS
services_start "$dir"
echo "   services ready in $((SECONDS - t0)) s"
cd "$build"
echo "   the catalog's and the block store's cases on PostgreSQL and S3"
./tavni_unit_tests --gtest_brief=1 \
  --gtest_filter='Backends/CatalogTest.*/postgresql:PgCatalogTest.*:LeaseFrontends.*:Stores/BlockStoreContract.*/s3:Stores/BlockStoreContract.*/s3packs:S3*'
echo "   the served-store suites with the catalog in PostgreSQL and the blocks in S3"
TAVNI_TEST_SERVER_BACKENDS=postgresql,s3 ./tavni_unit_tests --gtest_brief=1 \
  --gtest_filter='ServerTest.*:ServerSafety.*:ServerHostile.*:ServerTraceTest.*'
source_dir=$(cd "$here/../.." && pwd)
echo "   the agent's jobs, a server killed mid-job, hostile peers and the reports' delivery, on the shared back ends"
for script in backup_roundtrip backup_mirror backup_killed_after_delete server_crash hostile_server \
  report_delivery; do
  services_fresh_backends "e2e_$script"
  t1=$SECONDS
  TAVNI_E2E_CATALOG=$CATALOG TAVNI_E2E_BLOCKS=$BLOCKS TAVNI_BUILD_DIR=$build \
    TAVNI_SOURCE_DIR=$source_dir bash "$source_dir/tests/e2e/$script.sh" >"$dir/$script.log" 2>&1 ||
    { cat "$dir/$script.log"; echo "services: $script failed on the shared back ends" >&2; exit 1; }
  echo "   $script: ok ($((SECONDS - t1)) s)"
done
echo "   a job that fails over between two frontends"
TAVNI_BUILD_DIR=$build TAVNI_SOURCE_DIR=$source_dir bash "$here/failover.sh"
