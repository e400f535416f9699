# postgres.sh - a throwaway PostgreSQL cluster for tests (source it).
#
#   pg_start DIR   makes a cluster in DIR/pg (DIR must exist), starts it on a
#                  free loopback port with its socket in DIR/pg, waits until it
#                  answers and exports TAVNI_PG_CONNINFO (database tavni, user
#                  tavni, no password: trust on loopback only).
#   pg_stop DIR    stops it, whatever state it is in, and removes DIR/pg.
#
# initdb refuses to run as root: as root the cluster belongs to the postgres
# user (runuser), otherwise to the calling user.

pg_bin() {
    local b
    for b in "$(command -v pg_ctl 2>/dev/null)" /usr/lib/postgresql/*/bin/pg_ctl; do
        if [ -x "$b" ]; then
            dirname "$(readlink -f "$b")"
            return 0
        fi
    done
    return 1
}

pg_as_owner() {
    if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

# A TCP port nobody listens on now (a race with another starter is caught by
# pg_ctl failing, and pg_start tries again).
pg_free_port() {
    local port
    for _ in $(seq 1 50); do
        port=$((20000 + RANDOM % 20000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

pg_start() {
    local dir="$1/pg" bin port tries
    bin=$(pg_bin) || { echo "pg_start: no PostgreSQL server programs (postgresql-15)" >&2; return 1; }
    rm -rf "$dir"
    mkdir -p "$dir" || return 1
    if [ "$(id -u)" = 0 ]; then
        chmod o+x "$1" && chown postgres: "$dir" || return 1
    fi
    pg_as_owner "$bin/initdb" -D "$dir/data" -U tavni --auth=trust -E UTF8 --no-locale \
        --no-sync >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; return 1; }
    for tries in 1 2 3 4 5; do
        port=$(pg_free_port) || return 1
        # -w waits for the server to accept connections.
        if pg_as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/log" -w -t 60 \
            -o "-k $dir -p $port -c listen_addresses=127.0.0.1 -c fsync=off" start \
            >"$dir/pg_ctl.log" 2>&1; then
            break
        fi
        port=""
    done
    [ -n "$port" ] || { cat "$dir/pg_ctl.log" "$dir/log" >&2; return 1; }
    echo "$port" >"$dir/port"
    until "$bin/pg_isready" -q -h "$dir" -p "$port"; do
        pg_as_owner "$bin/pg_ctl" -D "$dir/data" status >/dev/null 2>&1 ||
            { cat "$dir/log" >&2; return 1; }
        sleep 0.1
    done
    "$bin/createdb" -h "$dir" -p "$port" -U tavni tavni || return 1
    export TAVNI_PG_CONNINFO="postgresql://tavni@127.0.0.1:$port/tavni"
}

pg_stop() {
    local dir="$1/pg" bin pid
    bin=$(pg_bin) || return 0
    if [ -f "$dir/data/postmaster.pid" ]; then
        pg_as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null 2>&1
        # A server that did not stop in time goes the hard way.
        pid=$(head -n 1 "$dir/data/postmaster.pid" 2>/dev/null)
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -9 "$pid" 2>/dev/null; fi
    fi
    rm -rf "$dir"
    unset TAVNI_PG_CONNINFO
}
