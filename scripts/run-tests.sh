#!/bin/sh
# Installs what is missing, builds and runs every test. Run as root (the route and
# tunnel tests create network namespaces, TAP devices and processes).
set -eu
cd "$(dirname "$0")/.."
BUILD="${VORTAN_BUILD_DIR:-build-test}"
./scripts/install-deps.sh
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VORTAN_CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
# The DNS tests run a private systemd-resolved from its unpacked package (never
# installed, so the host's resolver stays as it is); without it they skip.
if [ -z "${VORTAN_RESOLVED_ROOT:-}" ] && [ "${VORTAN_FETCH_RESOLVED:-yes}" = yes ]; then
  case "$BUILD" in /*) resolved="$BUILD/systemd-resolved" ;; *) resolved="$PWD/$BUILD/systemd-resolved" ;; esac
  if [ ! -x "$resolved/root/lib/systemd/systemd-resolved" ]; then
    rm -rf "$resolved" && mkdir -p "$resolved"
    (cd "$resolved" && apt-get download systemd-resolved >/dev/null && dpkg-deb -x systemd-resolved_*.deb root) ||
      echo "systemd-resolved could not be fetched: the DNS tests skip"
  fi
  if [ -x "$resolved/root/lib/systemd/systemd-resolved" ]; then
    VORTAN_RESOLVED_ROOT="$resolved/root"
    export VORTAN_RESOLVED_ROOT
  fi
fi
cd "$BUILD"
ctest -j "$(nproc)" --output-on-failure --timeout 300 ${VORTAN_CTEST_ARGS:-}
