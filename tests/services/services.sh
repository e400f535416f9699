# services.sh - the back ends of a scaled-out service for tests (source it):
# a throwaway PostgreSQL cluster (postgres.sh) and a one-node Ceph cluster
# whose RADOS gateway is the S3 endpoint (ceph.sh).
#
#   services_start DIR   starts both below DIR (made here) and exports what
#                        postgres.sh and ceph.sh export. 0 / 1.
#   services_stop DIR    stops both, whatever state they are in, and removes DIR.
#   services_fresh_backends NAME
#                        sets CATALOG to a new empty database and BLOCKS to a
#                        new bucket's location, both named after NAME and this
#                        process, for tavni-server init.
SERVICES_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=postgres.sh
source "$SERVICES_HERE/postgres.sh"
# shellcheck source=ceph.sh
source "$SERVICES_HERE/ceph.sh"

services_start() {
  local dir=$1
  mkdir -p "$dir/ceph" || return 1
  # The cluster's owner (postgres, when this runs as root) must reach it.
  chmod 755 "$dir"
  pg_start "$dir" || { echo "services: PostgreSQL did not start" >&2; return 1; }
  ceph_start "$dir/ceph" || {
    echo "services: the Ceph cluster did not start; its logs:" >&2
    tail -n 20 "$dir"/ceph/log/* >&2
    return 1
  }
}

services_stop() {
  local dir=$1
  [ -d "$dir" ] || return 0
  pg_stop "$dir"
  ceph_stop "$dir/ceph"
  rm -rf "$dir"
}

services_fresh_backends() {
  local name=${1:?}_$$ bin
  bin=$(pg_bin) || return 1
  "$bin/psql" -q -d "$TAVNI_PG_CONNINFO" -c "CREATE DATABASE $name" >/dev/null || return 1
  CATALOG=${TAVNI_PG_CONNINFO%/*}/$name
  BLOCKS="s3://tavni-${name//_/-}?endpoint=$TAVNI_S3_ENDPOINT&region=$TAVNI_S3_REGION"
}
