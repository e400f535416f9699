#!/usr/bin/env bash
# The block-store contract against a real S3 endpoint: starts a throwaway
# Ceph cluster (tests/services/ceph.sh), runs the S3 cases of the contract
# suite and of the served-store suites named in TAVNI_S3_SUITES, and stops
# the cluster whatever happens.
#   TAVNI_BUILD_DIR   the build folder (tavni_unit_tests)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${TAVNI_BUILD_DIR:?TAVNI_BUILD_DIR must name the build folder}
# shellcheck source=ceph.sh
source "$here/ceph.sh"

dir=$(mktemp -d "${TMPDIR:-/tmp}/tavni-ceph.XXXXXX")
cleanup() {
  ceph_stop "$dir"
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

for p in ceph-mon ceph-osd radosgw radosgw-admin; do
  command -v "$p" >/dev/null || { echo "s3_block_store: $p is missing (./run deps installs it)" >&2; exit 1; }
done
if ! ceph_start "$dir"; then
  echo "s3_block_store: the Ceph cluster did not start; its logs:" >&2
  tail -n 20 "$dir"/log/* >&2
  exit 1
fi
"$build/tavni_unit_tests" --gtest_filter='Stores/BlockStoreContract.*/s3:Stores/BlockStoreContract.*/s3packs:S3*'
