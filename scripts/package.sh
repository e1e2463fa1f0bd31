#!/usr/bin/env bash
# package.sh [DIR]: builds Release without tests and benchmarks into DIR (default build/package)
# and makes the Debian package there with CPack; prints the path of the .deb.
#   apt-get install ./build/package/zyld_*.deb && systemctl enable --now zyld
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build/package}
bash "$root/scripts/install-deps.sh" package >&2
bash "$root/scripts/build.sh" "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DZYLD_TESTS=OFF -DZYLD_BENCH=OFF -DZYLD_WERROR=ON >&2
rm -f "$dir"/zyld_*.deb
(cd "$dir" && cpack -G DEB >&2)
deb=$(ls "$dir"/zyld_*.deb)
echo "$deb"
