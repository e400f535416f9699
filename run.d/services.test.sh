# Sourced by ./run test: the server on the back ends of a scaled-out service.
# A throwaway PostgreSQL cluster and a one-node Ceph cluster (S3) start below
# a temporary folder; the back ends' own cases, the served-store suites with
# their catalog in PostgreSQL and their blocks in S3, and a job that fails
# over between two frontends run against them; both are stopped whatever
# happens (the subshell's trap).
services_main() {
  local dir t0=$SECONDS status=0
  echo "== services: PostgreSQL and S3 (one-node Ceph), the server's suites on them, two frontends"
  dir=$(mktemp -d "${TMPDIR:-/tmp}/tavni-services.XXXXXX")
  (
    set -euo pipefail
    # shellcheck source=/dev/null
    source "$ROOT/tests/services/services.sh"
    trap 'services_stop "$dir"' EXIT
    services_start "$dir"
    echo "   services ready in $((SECONDS - t0)) s"
    cd "$BUILD"
    ./tavni_unit_tests --gtest_brief=1 \
      --gtest_filter='Backends/CatalogTest.*/postgresql:PgCatalogTest.*:LeaseFrontends.*:Stores/BlockStoreContract.*/s3:S3*'
    TAVNI_TEST_SERVER_BACKENDS=postgresql,s3 ./tavni_unit_tests --gtest_brief=1 \
      --gtest_filter='ServerTest.*:ServerSafety.*:ServerHostile.*:ServerTraceTest.*'
    TAVNI_BUILD_DIR=$BUILD TAVNI_SOURCE_DIR=$ROOT bash "$ROOT/tests/services/failover.sh"
  ) || status=$?
  echo "== services: $((SECONDS - t0)) s"
  return "$status"
}
services_main || exit 1
