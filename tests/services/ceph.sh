# ceph.sh - a throwaway one-node Ceph cluster whose RADOS gateway is the S3
# endpoint of the service tests. Source it, then:
#
#   ceph_start DIR   a monitor, one OSD with its data in memory (memstore) and a
#                    gateway on free loopback ports, all below DIR; waits until
#                    the gateway answers and exports TAVNI_S3_ENDPOINT,
#                    TAVNI_S3_ACCESS, TAVNI_S3_SECRET, TAVNI_S3_REGION (and the
#                    keys as TAVNI_S3_ACCESS_KEY_ID and
#                    TAVNI_S3_SECRET_ACCESS_KEY, as tavni-server reads them).
#                    0 / 1.
#   ceph_stop DIR    kills the daemons, whatever state they are in.
#
# Nothing is written outside DIR; every address is 127.0.0.1.

CEPH_S3_ACCESS=TAVNITESTACCESSKEY01
CEPH_S3_SECRET=tavniTestSecretKey0123456789abcdefghijklm
CEPH_S3_REGION=default

# A port nobody listens on now (the kernel's pick for an ephemeral bind).
ceph_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Polls a readiness check until it succeeds or the limit (seconds) is reached.
ceph_wait() { # limit what command...
  local limit=$1 what=$2 deadline
  shift 2
  deadline=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "ceph: $what not ready after ${limit}s" >&2
      return 1
    fi
    sleep 0.1
  done
}

ceph_cli() { # DIR args...
  local dir=$1
  shift
  timeout 20 ceph -c "$dir/ceph.conf" --connect-timeout 10 "$@"
}

ceph_osd_up() { ceph_cli "$1" osd stat 2>/dev/null | grep -q ' 1 up'; }
ceph_rgw_up() { curl -s -o /dev/null "http://127.0.0.1:$2/"; }

# Starts a daemon in the foreground of a background job and keeps its pid.
ceph_daemon() { # DIR name command...
  local dir=$1 name=$2
  shift 2
  "$@" -f >>"$dir/log/$name.out" 2>&1 &
  echo $! >"$dir/pids/$name"
  disown $! # its end (ceph_stop's kill) is not reported as a job's
}

ceph_start() {
  local dir=$1 mon_port rgw_port fsid osd_uuid id t0=$SECONDS
  mkdir -p "$dir"/{mon,osd0,rgw,run,log,pids} || return 1
  mon_port=$(ceph_free_port) && rgw_port=$(ceph_free_port) || return 1
  fsid=$(uuidgen) && osd_uuid=$(uuidgen) || return 1
  cat >"$dir/ceph.conf" <<CONF
[global]
fsid = $fsid
mon_host = v2:127.0.0.1:$mon_port
public_network = 127.0.0.0/8
auth_cluster_required = none
auth_service_required = none
auth_client_required = none
ms_mon_client_mode = crc
paxos_propose_interval = 0.05
osd_pool_default_size = 1
osd_pool_default_min_size = 1
mon_allow_pool_size_one = true
osd_pool_default_pg_num = 8
osd_pool_default_pgp_num = 8
mon_max_pg_per_osd = 1000
osd_crush_chooseleaf_type = 0
mon_data_avail_crit = 1
run_dir = $dir/run
admin_socket = $dir/run/\$name.asok
log_file = $dir/log/\$name.log
keyring = $dir/keyring
[mon.a]
mon_data = $dir/mon
[osd.0]
osd_data = $dir/osd0
osd_objectstore = memstore
memstore_device_bytes = 2147483648
[client.rgw.a]
rgw_data = $dir/rgw
rgw_frontends = beast endpoint=127.0.0.1:$rgw_port
CONF
  : >"$dir/keyring"
  export CEPH_CONF=$dir/ceph.conf
  monmaptool --create --fsid "$fsid" --addv a "[v2:127.0.0.1:$mon_port]" "$dir/monmap" \
    >>"$dir/log/setup.out" 2>&1 || { echo "ceph: monmaptool failed" >&2; return 1; }
  ceph-mon -c "$dir/ceph.conf" --mkfs -i a --monmap "$dir/monmap" >>"$dir/log/setup.out" 2>&1 ||
    { echo "ceph: ceph-mon --mkfs failed" >&2; return 1; }
  ceph_daemon "$dir" mon ceph-mon -c "$dir/ceph.conf" -i a
  ceph_wait 60 "the monitor" ceph_cli "$dir" mon stat || return 1
  id=$(ceph_cli "$dir" osd new "$osd_uuid" 2>>"$dir/log/setup.out") || { echo "ceph: osd new failed" >&2; return 1; }
  ceph-osd -c "$dir/ceph.conf" -i "$id" --mkfs --osd-uuid "$osd_uuid" >>"$dir/log/setup.out" 2>&1 ||
    { echo "ceph: ceph-osd --mkfs failed" >&2; return 1; }
  ceph_daemon "$dir" osd ceph-osd -c "$dir/ceph.conf" -i "$id"
  ceph_wait 60 "the OSD" ceph_osd_up "$dir" || return 1
  ceph_daemon "$dir" rgw radosgw -c "$dir/ceph.conf" -n client.rgw.a
  ceph_wait 120 "the gateway" ceph_rgw_up "$dir" "$rgw_port" || return 1
  timeout 60 radosgw-admin -c "$dir/ceph.conf" user create --uid=tavni --display-name=tavni \
    --access-key="$CEPH_S3_ACCESS" --secret-key="$CEPH_S3_SECRET" >>"$dir/log/setup.out" 2>&1 ||
    { echo "ceph: radosgw-admin user create failed" >&2; return 1; }
  export TAVNI_S3_ENDPOINT=http://127.0.0.1:$rgw_port
  export TAVNI_S3_ACCESS=$CEPH_S3_ACCESS
  export TAVNI_S3_SECRET=$CEPH_S3_SECRET
  export TAVNI_S3_REGION=$CEPH_S3_REGION
  # The names tavni-server itself reads its keys from.
  export TAVNI_S3_ACCESS_KEY_ID=$CEPH_S3_ACCESS
  export TAVNI_S3_SECRET_ACCESS_KEY=$CEPH_S3_SECRET
  echo "ceph: S3 endpoint $TAVNI_S3_ENDPOINT ready in $((SECONDS - t0)) s"
}

ceph_stop() {
  local dir=$1 f pid
  for f in "$dir"/pids/rgw "$dir"/pids/osd "$dir"/pids/mon; do
    [ -f "$f" ] || continue
    pid=$(cat "$f")
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
    rm -f "$f"
  done
  return 0
}
