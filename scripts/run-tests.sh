#!/usr/bin/env bash
# Installs what the tests need, then builds and runs every test: a Release build with all tests
# (unit, integration against PyKMIP, nftables in a private network namespace), and an
# ASan+UBSan build that runs the unit tests. Warnings are errors in both.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
jobs=$(nproc)

status=0
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DZYLD_WERROR=ON
(cd build/release && ctest --output-on-failure -j "$jobs" --timeout 600) || status=1

bash scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DZYLD_WERROR=ON -DZYLD_SANITIZE=ON -DZYLD_BENCH=OFF
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j "$jobs" -L unit --timeout 600) || status=1
exit $status
