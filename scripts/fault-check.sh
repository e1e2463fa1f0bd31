#!/usr/bin/env bash
# fault-check.sh [NAME...]: applies each fault patch of scripts/faults (all, or those named, with or
# without .patch), builds the targets its "# targets:" line names, runs the tests its "# tests:"
# regex selects and reverts the patch (also on failure or interrupt); prints CAUGHT when a test
# failed, MISSED when all passed, BROKEN when the patch did not build or selected no test.
# BUILD_DIR (default build/faults) is configured Release with warnings as errors.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
dir=${BUILD_DIR:-build/faults}
applied=
revert() { [ -n "$applied" ] && git apply -R "$applied"; applied=; }
trap revert EXIT
trap 'exit 130' INT TERM

if [ $# -eq 0 ]; then set -- scripts/faults/*.patch; fi
for name in "$@"; do
  patch=scripts/faults/$(basename "${name%.patch}").patch
  tests=$(sed -n 's/^# tests: //p' "$patch")
  targets=$(sed -n 's/^# targets: //p' "$patch")
  git apply "$patch"
  applied=$patch
  log=$dir/fault-check.log
  mkdir -p "$dir"
  if ! BUILD_TARGETS="$targets" bash scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=Release \
    -DZYLD_WERROR=ON >"$log" 2>&1; then
    verdict="BROKEN (build failed, see $log)"
  elif [ "$(ctest --test-dir "$dir" -N -R "$tests" | grep -c 'Test *#')" -eq 0 ]; then
    verdict="BROKEN (no test matches $tests)"
  elif ctest --test-dir "$dir" -R "$tests" >>"$log" 2>&1; then
    verdict=MISSED
  else
    verdict=CAUGHT
  fi
  revert
  echo "$verdict $(basename "$patch" .patch)"
done
