#!/usr/bin/env bash
# install-deps.sh [demo|package|test]: installs the Debian packages the project needs, quietly
# (apt's output is shown only when it fails).
#   demo  what building the daemon and its tools and running the demo need (no test peers,
#         benchmark tools or second compiler);
#   package  the demo's set plus what scripts/package.sh needs (man pages);
#   test  all of that plus what the tests, the sanitizer and fuzz builds and the benchmarks need
#         (the default).
set -euo pipefail
DEMO_PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache
  libboost1.81-dev libboost-json1.81-dev libssl-dev libjwt-dev libsqlite3-dev zlib1g-dev
  libpugixml-dev libnftables-dev
  python3-pykmip openssl curl procps
)
PACKAGE_PACKAGES=(help2man)
TEST_PACKAGES=(
  systemd clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
  nftables iproute2 tinyproxy psmisc logrotate wrk nginx-light
)
case "${1:-test}" in
  demo) packages=("${DEMO_PACKAGES[@]}") ;;
  package) packages=("${DEMO_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}") ;;
  test) packages=("${DEMO_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  *) echo "usage: install-deps.sh [demo|package|test]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]})) || exit 0
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT
apt_quiet() {
  apt-get -qq -o=Dpkg::Use-Pty=0 "$@" >>"$log" 2>&1 || { cat "$log" >&2; return 1; }
}
apt_quiet update
apt_quiet install -y --no-install-recommends "${missing[@]}"
# The nginx and tinyproxy that the packages may start (ports 80 and 8888) are left alone: the
# benchmark and the KMIP proxy run their own instances, each with its own configuration on a free
# loopback port.
