#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, benchmark and run its demo.
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache clang libclang-rt-14-dev
  libboost1.81-dev libboost-json1.81-dev libssl-dev libjwt-dev libsqlite3-dev zlib1g-dev
  libpugixml-dev libnftables-dev libgtest-dev libgmock-dev libbenchmark-dev
  python3-pykmip nftables openssl curl iproute2 tinyproxy procps psmisc
  wrk nginx-light
  help2man systemd
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The nginx and tinyproxy that the packages may start (ports 80 and 8888) are left alone: the
# benchmark and the KMIP proxy run their own instances, each with its own configuration on a free
# loopback port.
