#!/usr/bin/env bash
# Soak of the whole daemon: brings up the local stack (PyKMIP, store, zyld), waits until
# generate_key is answered from the key cache, then for SECONDS (default 600) runs waves of load:
# keep-alive generate_key and decrypt callers, new-connection callers, an idle-connection flood,
# slowly trickled bodies, cold decrypt calls naming unknown master keys, the key server stopped
# (SIGSTOP/SIGCONT) and once restarted. A probe times warm generate_key calls throughout; the
# daemon's resident memory is read after each wave. Prints a table and exits non-zero when the
# daemon died, its memory grew beyond the bound, or a wave's warm p99 exceeded the bound
# (bench/soak/soak.py names both bounds).
#
#   bash bench/soak/run.sh [SECONDS]
#   ZYLD_BUILD_DIR=build/tsan TSAN_OPTIONS=... bash bench/soak/run.sh 120
#
# SOAK_WORK sets the state folder (default var/soak). Everything it starts is stopped on exit.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"
seconds=${1:-600}
export ZYLD_BUILD_DIR=${ZYLD_BUILD_DIR:-$root/build/release}
work=${SOAK_WORK:-$root/var/soak}
readonly WARM_TIMEOUT_S=150
readonly DRIVER_STOP_TIMEOUT_S=10
readonly REFRESH_S=60

# shellcheck source=scripts/lib/zyld-stack.sh
source scripts/lib/zyld-stack.sh
stack_binaries
command -v wrk >/dev/null || stack_die "wrk is not installed (bash scripts/install-deps.sh)"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || stack_die "usage: bench/soak/run.sh [SECONDS]"

driver=
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [[ -n "$driver" ]] && kill -0 "$driver" 2>/dev/null; then
    kill -TERM "$driver" 2>/dev/null || true
    local deadline=$((SECONDS + DRIVER_STOP_TIMEOUT_S))
    while kill -0 "$driver" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.1; done
    kill -KILL "$driver" 2>/dev/null || true
  fi
  # A key server left stopped would not heed the stop request.
  if [[ -f "$work/pykmip/server.pid" ]]; then
    kill -CONT "$(head -c 16 "$work/pykmip/server.pid")" 2>/dev/null || true
  fi
  stack_down "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

stack_down "$work"
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
export ZYLD_STACK_OWNER_PID=$$
# The shortest status refresh interval (60 s), so that refreshes run under the load.
export ZYLD_STACK_EXTRA_XML="<statusUpdateIntervalSeconds>$REFRESH_S</statusUpdateIntervalSeconds>"
stack_up "$work"

token=$(stack_token "$work" attestation)

stack_wait_warm "$work" "$PORT" "$token" "$WARM_TIMEOUT_S"

echo "== soak: ${seconds}s of waves against zyld (pid $ZYLD_PID, port $PORT, state in $work)" >&2
SOAK_PORT=$PORT SOAK_TOKEN=$token SOAK_PROVIDER=$ZYLD_STACK_PROVIDER SOAK_ZYLD_PID=$ZYLD_PID \
  SOAK_CONFIG=$work/zyld.xml SOAK_WORK=$work SOAK_SECONDS=$seconds SOAK_LOG=$work/zyld.log \
  SOAK_REFRESH_SECONDS=$REFRESH_S \
  /usr/bin/python3 "$here/soak.py" run &
driver=$!
# The driver's status is the script's (the EXIT trap keeps it).
wait "$driver"
