# Shell functions for an agent's installation folder and the server it backs
# up to. Source this file; it runs nothing by itself.
#
#   tavni_install_etc DIR   copies the e-mail report templates (etc/*.emt)
#                           into DIR/etc, creating the folder when needed.
#   tavni_serve SERVER STORE OUT [SERVE OPTIONS...]
#                           starts the tavni-server program SERVER on a free
#                           loopback port for STORE in the background, its
#                           output in OUT, with any further serve options;
#                           sets TAVNI_SERVER_PID, and TAVNI_SERVER_PORT once
#                           it listens (status 1 if it does not within
#                           TAVNI_E2E_WAIT seconds, 120 by default, or ends).

tavni_install_etc() {
  local dest=${1:?usage: tavni_install_etc DIR}
  local src
  src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/etc"
  mkdir -p "$dest/etc" || return 1
  cp "$src"/*.emt "$dest/etc/" || return 1
}

tavni_serve() {
  local server=${1:?usage: tavni_serve SERVER STORE OUT} store=${2:?} out=${3:?}
  shift 3
  "$server" serve --store "$store" --listen 127.0.0.1:0 "$@" >"$out" 2>&1 &
  TAVNI_SERVER_PID=$!
  TAVNI_SERVER_PORT=
  local deadline=$((SECONDS + ${TAVNI_E2E_WAIT:-120}))
  while [ "$SECONDS" -lt "$deadline" ]; do
    TAVNI_SERVER_PORT=$(sed -n 's/^serving .* on [^:]*:\([0-9]*\)$/\1/p' "$out")
    [ -n "$TAVNI_SERVER_PORT" ] && return 0
    kill -0 "$TAVNI_SERVER_PID" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}
