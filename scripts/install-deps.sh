#!/bin/sh
# Installs the Debian 12 packages needed to build, run and test the service.
set -eu
PACKAGES="build-essential cmake pkg-config git libeasyloggingpp-dev googletest libgtest-dev libgmock-dev \
libmnl-dev libsystemd-dev openvpn stunnel4 nftables iproute2 openssl procps util-linux \
clang-14 libclang-rt-14-dev dpkg-dev ninja-build systemd coreutils passwd"
. "$(dirname "$0")/stage-lib.sh"
install_packages $PACKAGES
