#!/bin/sh
# Installs what is missing, builds, lays out the installed tree and runs the service
# in console mode with the built-in defaults. Run as root from the repository.
set -eu
cd "$(dirname "$0")/.."
PREFIX="${VORTAN_PREFIX:-/opt/vortanvpnservice}"
./scripts/install-deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVORTAN_TESTS=OFF -DCMAKE_INSTALL_PREFIX="$PREFIX" >/dev/null
cmake --build build-release -j "$(nproc)"
cmake --install build-release --prefix "$PREFIX" >/dev/null
echo "service installed in $PREFIX; its address is published in $PREFIX/conf/portused.txt"
exec "$PREFIX/bin/VortanVpnService" /console
