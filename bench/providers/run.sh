#!/usr/bin/env bash
# Providers benchmark: how fast providers are created and deleted over the API, and whether a
# stream of changes to one provider delays the warm key operations of another. In one run:
#   - create+delete pairs of distinct providers on one keep-alive connection for BENCH_SECONDS
#     (pairs per second, p50/p99 of a pair);
#   - wrk on warm generate_key for the seeded provider A, idle (p99, requests per second);
#   - the same wrk run again while provider B's servers are updated back and forth as fast as the
#     answers come on one connection (p99, requests per second, updates per second).
# Prints the ratio of the loaded to the idle p99 against the goal of 2.0 (PASS or MISS; a MISS
# does not fail the script). Every management call and every generate_key must succeed.
#
#   bash bench/providers/run.sh        (after a Release build in build/release)
#   BENCH_CONNECTIONS=64 BENCH_SECONDS=20 bash bench/providers/run.sh
#
# Everything it starts (PyKMIP, zyld, the update loop) is stopped on exit, also on failure.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"
export ZYLD_BUILD_DIR=${ZYLD_BUILD_DIR:-$root/build/release}
work=$root/var/bench-providers
threads=${BENCH_THREADS:-2}
connections=${BENCH_CONNECTIONS:-16}
seconds=${BENCH_SECONDS:-10}
readonly WARM_TIMEOUT_S=150
readonly UPDATER_READY_TIMEOUT_S=30
readonly UPDATER_STOP_TIMEOUT_S=60
readonly P99_RATIO_GOAL=2.0
readonly PROVIDER_B=bench-b

# shellcheck source=scripts/lib/zyld-stack.sh
source scripts/lib/zyld-stack.sh
stack_binaries
command -v wrk >/dev/null || stack_die "wrk is not installed (bash scripts/install-deps.sh)"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || stack_die "BENCH_SECONDS must be a whole number of seconds"
grep -q 'CMAKE_BUILD_TYPE:STRING=Release' "$ZYLD_BUILD_DIR/CMakeCache.txt" 2>/dev/null ||
  echo "warning: $ZYLD_BUILD_DIR is not a Release build; the figures will not be representative" >&2

updater=
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [[ -n "$updater" ]] && kill -0 "$updater" 2>/dev/null; then
    kill -TERM "$updater" 2>/dev/null || true
    local deadline=$((SECONDS + UPDATER_STOP_TIMEOUT_S))
    while kill -0 "$updater" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.1; done
    kill -KILL "$updater" 2>/dev/null || true
  fi
  stack_down "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

admin() { "$ZYLD_STACK_PY" "$here/admin.py" "$@"; }

# run_wrk LABEL: wrk on warm generate_key for provider A; prints the CALL_RESULT line and dies
# when a request failed or an answer lacked the wrapped key.
run_wrk() {
  local line
  wrk -t"$threads" -c"$connections" -d"${seconds}s" --latency -s "$root/bench/lib/checked_call.lua" \
    "http://127.0.0.1:$PORT/api" >"$work/wrk-$1.out" 2>&1 ||
    { cat "$work/wrk-$1.out" >&2; stack_die "wrk failed ($1)"; }
  cat "$work/wrk-$1.out" >&2
  line=$(grep '^CALL_RESULT' "$work/wrk-$1.out") || stack_die "wrk printed no result ($1)"
  [[ "$(value "$line" errors)" == 0 && "$(value "$line" bad)" == 0 ]] ||
    stack_die "generate_key failed under wrk ($1): $line"
  echo "$line"
}

value() { sed -n "s/.*[ ]$2=\([0-9.]*\).*/\1/p" <<<"$1"; }

stack_down "$work"
rm -rf "$work"
mkdir -p "$work"
export ZYLD_STACK_OWNER_PID=$$

# The first status refresh runs at start-up and fills the provider's key cache.
stack_up "$work"

export BENCH_PORT=$PORT BENCH_ADMIN_TOKEN BENCH_PROVIDER_B=$PROVIDER_B CALL_TOKEN CALL_BODY
export CALL_EXPECT='"wrappedKey"'
CALL_TOKEN=$(stack_token "$work" attestation)
BENCH_ADMIN_TOKEN=$(stack_token "$work" admin KMS_ADMIN)
CALL_BODY=$(stack_generate_body)

stack_wait_warm "$work" "$PORT" "$CALL_TOKEN" "$WARM_TIMEOUT_S"

echo "== management: create+delete pairs of distinct providers for ${seconds}s, one connection" >&2
pairs_line=$(admin pairs "$seconds") || stack_die "the create+delete pairs failed"
echo "$pairs_line" >&2

echo "== warm-up (2 s)" >&2
wrk -t"$threads" -c"$connections" -d2s -s "$root/bench/lib/checked_call.lua" \
  "http://127.0.0.1:$PORT/api" >/dev/null

echo "== idle: wrk -t$threads -c$connections -d${seconds}s --latency (generate_key on $ZYLD_STACK_PROVIDER)" >&2
idle_line=$(run_wrk idle)

echo "== loaded: the same wrk run while $PROVIDER_B is updated in a loop" >&2
admin create || stack_die "creating $PROVIDER_B failed"
# Started directly, not through admin(), so that $! is the loop itself and SIGTERM reaches it.
"$ZYLD_STACK_PY" "$here/admin.py" updates "$work/updater.ready" >"$work/updates.out" &
updater=$!
deadline=$((SECONDS + UPDATER_READY_TIMEOUT_S))
until [[ -f "$work/updater.ready" ]]; do
  kill -0 "$updater" 2>/dev/null || { wait "$updater" || true; stack_die "the update loop failed"; }
  ((SECONDS < deadline)) || stack_die "the update loop made no update within ${UPDATER_READY_TIMEOUT_S}s"
  sleep 0.05
done
loaded_line=$(run_wrk loaded)
kill -TERM "$updater"
status=0
wait "$updater" || status=$?
updater=
((status == 0)) || stack_die "an update of $PROVIDER_B failed (status $status)"
updates_line=$(grep '^UPDATES' "$work/updates.out") || stack_die "the update loop printed no result"
echo "$updates_line" >&2

pairs=$(value "$pairs_line" pairs) pairs_s=$(value "$pairs_line" seconds)
updates=$(value "$updates_line" updates) updates_s=$(value "$updates_line" seconds)
idle_p99=$(value "$idle_line" p99_us) loaded_p99=$(value "$loaded_line" p99_us)
idle_rps=$(value "$idle_line" rps) loaded_rps=$(value "$loaded_line" rps)
pairs_per_s=$(awk -v n="$pairs" -v s="$pairs_s" 'BEGIN { printf "%.1f", n / s }')
updates_per_s=$(awk -v n="$updates" -v s="$updates_s" 'BEGIN { printf "%.1f", n / s }')
ratio=$(awk -v l="$loaded_p99" -v i="$idle_p99" 'BEGIN { printf "%.2f", (i > 0 ? l / i : 0) }')
verdict=$(awk -v r="$ratio" -v g="$P99_RATIO_GOAL" 'BEGIN { print (r <= g ? "PASS" : "MISS") }')
ms() { awk -v us="$1" 'BEGIN { printf "%.3f", us / 1000 }'; }

echo
echo "== results ($connections connections, $threads threads, ${seconds}s each)"
printf 'create+delete pairs   %8.1f pairs/s   pair p50 %8.3f ms   p99 %8.3f ms   (%d pairs)\n' \
  "$pairs_per_s" "$(value "$pairs_line" p50_ms)" "$(value "$pairs_line" p99_ms)" "$pairs"
printf 'generate_key idle     %8.0f req/s     p50 %8.3f ms        p99 %8.3f ms\n' \
  "$idle_rps" "$(ms "$(value "$idle_line" p50_us)")" "$(ms "$idle_p99")"
printf 'generate_key loaded   %8.0f req/s     p50 %8.3f ms        p99 %8.3f ms\n' \
  "$loaded_rps" "$(ms "$(value "$loaded_line" p50_us)")" "$(ms "$loaded_p99")"
printf 'updates of %s     %8.1f updates/s (%d updates, p50 %s ms, p99 %s ms)\n' "$PROVIDER_B" \
  "$updates_per_s" "$updates" "$(value "$updates_line" p50_ms)" "$(value "$updates_line" p99_ms)"
echo "p99 loaded/idle       $ratio (goal <= $P99_RATIO_GOAL): $verdict"
echo "PROVIDERS_RESULT pairs_per_s=$pairs_per_s idle_p99_ms=$(ms "$idle_p99") idle_rps=$idle_rps" \
  "loaded_p99_ms=$(ms "$loaded_p99") loaded_rps=$loaded_rps ratio=$ratio" \
  "updates_per_s=$updates_per_s goal=$verdict"
