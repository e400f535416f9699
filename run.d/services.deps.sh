# Sourced by ./run deps: the real services that the service tests
# (-DTAVNI_SERVICE_TESTS=ON, tests/services/) start for themselves: a
# one-node Ceph cluster whose RADOS gateway is the S3 endpoint.
SERVICE_PACKAGES=(ceph-mon ceph-osd radosgw ceph-common uuid-runtime curl python3)
apt_install "${SERVICE_PACKAGES[@]}"
