# Sourced by ./run test: the server on the back ends of a scaled-out service
# (PostgreSQL and S3, started and stopped by tests/services/all.sh).
services_main() {
  local t0=$SECONDS status=0
  echo "== services: PostgreSQL and S3 (one-node Ceph), the server's suites on them, two frontends"
  bash "$ROOT/tests/services/all.sh" "$BUILD" || status=$?
  echo "== services: $((SECONDS - t0)) s"
  return "$status"
}
services_main || exit 1
