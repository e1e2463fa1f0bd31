#!/usr/bin/env bash
# Installs what the tests need, then builds and runs every test: a Release build with all tests
# (unit, integration against PyKMIP, nftables in a private network namespace), and an
# ASan+UBSan build that runs the unit tests. Warnings are errors in both. Each stage starts with a
# banner; the last line is the verdict: "ALL TESTS PASSED" or "TESTS FAILED: <stages>".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
failed=()

banner() { printf '\n==================== %s ====================\n' "$*"; }

# stage NAME COMMAND...: runs the command under a banner; a failure is recorded, not fatal.
stage() {
  local name=$1
  shift
  banner "$name"
  "$@" || failed+=("$name")
}

in_dir() { (cd "$1" && shift && "$@"); }

stage "deps" bash scripts/install-deps.sh test
stage "release build" bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release \
  -DZYLD_WERROR=ON -DZYLD_TESTS=ON -DZYLD_BENCH=ON
if [[ " ${failed[*]} " != *" release build "* ]]; then
  stage "release tests" in_dir build/release ctest --output-on-failure -j "$jobs" --timeout 600
fi
stage "asan build" bash scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DZYLD_WERROR=ON \
  -DZYLD_SANITIZE=ON -DZYLD_TESTS=ON -DZYLD_BENCH=OFF
if [[ " ${failed[*]} " != *" asan build "* ]]; then
  stage "asan tests" in_dir build/asan env ASAN_OPTIONS=detect_leaks=1 \
    UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs" -L unit --timeout 600
fi

echo
if ((${#failed[@]} == 0)); then
  echo "ALL TESTS PASSED"
  exit 0
fi
(IFS=,; echo "TESTS FAILED: ${failed[*]}" | sed 's/,/, /g')
exit 1
