# Sourced by ./run deps: the real services that the service tests
# (run.d/services.test.sh, tests/services/) start for themselves: a
# throwaway PostgreSQL cluster for the catalog, and a one-node Ceph cluster
# whose RADOS gateway is the S3 endpoint.
SERVICE_PACKAGES=(postgresql-15 ceph-mon ceph-osd radosgw ceph-common uuid-runtime curl python3)
apt_install "${SERVICE_PACKAGES[@]}"
