#!/bin/sh
# Installs what is missing, builds and runs every test. Run as root (the route and
# tunnel tests create network namespaces, TAP devices and processes).
set -eu
cd "$(dirname "$0")/.."
BUILD="${VORTAN_BUILD_DIR:-build-test}"
./scripts/install-deps.sh
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VORTAN_CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
cd "$BUILD"
ctest -j "$(nproc)" --output-on-failure --timeout 300 ${VORTAN_CTEST_ARGS:-}
