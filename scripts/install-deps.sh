#!/bin/sh
# Installs the Debian 12 packages needed to build, run and test the service.
set -eu
PACKAGES="build-essential cmake pkg-config git libeasyloggingpp-dev googletest libgtest-dev libgmock-dev \
libmnl-dev libsystemd-dev openvpn stunnel4 nftables iproute2 openssl procps util-linux \
clang-14 libclang-rt-14-dev dpkg-dev ninja-build systemd coreutils passwd"
missing=""
for package in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
fi
