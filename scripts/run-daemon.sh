#!/usr/bin/env bash
# Sets up the machine, builds the daemon and runs it with the development configuration
# (config/dev.xml: state under ./var, firewall backend "none", log on standard error).
# By default it runs for RUN_SECONDS (3) seconds and is then stopped with SIGTERM, which shows the
# whole life cycle; RUN_SECONDS=0 keeps it running until Ctrl-C.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${ZYLD_BUILD_DIR:-build/release}
seconds=${RUN_SECONDS:-3}

bash scripts/install-deps.sh demo
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release -DZYLD_WERROR=ON \
  -DZYLD_TESTS=OFF -DZYLD_BENCH=OFF >/dev/null
targets=(zyld)
if cmake --build "$build" --target help | grep -q '^ovik-configstore:'; then
  targets+=(ovik-configstore)
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

mkdir -p var/configstore var/log
echo "== starting zyld with config/dev.xml"
ZYLD_CONFIG=config/dev.xml "$build/apps/zyld/zyld" &
pid=$!
trap 'kill -TERM "$pid" 2>/dev/null || true' INT TERM
if [[ "$seconds" == 0 ]]; then
  status=0
  wait "$pid" || status=$?
  exit "$status"
fi
sleep "$seconds"
echo "== stopping zyld (pid $pid) with SIGTERM"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
echo "== zyld exited with status $status"
exit "$status"
