# Sourced by ./run test: the release package (./run package: its own build
# of the shipped programs only, without the fault switch), unpacked into a
# fresh root and run from there.
echo "== release package"
cmd_package
bash "$ROOT/tests/package/release_deb.sh" "$PACKAGE_DEB"
