#!/usr/bin/env bash
# Times the key-server object: warm-cache GenerateKey/Decrypt (in-process server), and against a
# fresh PyKMIP server a cold GenerateKey (new object per call, i.e. caching off) beside a bare
# fresh-session Get through the library, N samples each.
#
#   bench/kms/run.sh [BUILD_DIR] [N]     BUILD_DIR defaults to build/release, N to 30
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build/release}
samples=${2:-30}
[[ "$samples" =~ ^[1-9][0-9]{0,4}$ ]] || { echo "run.sh: N must be 1..99999" >&2; exit 2; }
bench="$build/bench/kms/kms_bench"
[[ -x "$bench" ]] || { echo "run.sh: $bench not built (cmake --build $build --target kms_bench)" >&2; exit 1; }
server="$root/scripts/pykmip/pykmip-server.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/zyld-kms-bench-XXXXXX")
cleanup() { bash "$server" stop "$work/server" || true; rm -rf "$work"; }
trap cleanup EXIT
PYKMIP_OWNER_PID=$$ bash "$server" start "$work/server" >/dev/null
key=$(bash "$server" create-key "$work/server" 256 active)

echo "== warm cache (in-process server) =="
"$bench" --benchmark_filter='Warm' --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
echo "== cold against PyKMIP, $samples samples =="
ZYLD_KMS_BENCH_DIR="$work/server" ZYLD_KMS_BENCH_KEY="$key" "$bench" \
  --benchmark_filter='Cold|Bare' --benchmark_repetitions="$samples" \
  --benchmark_report_aggregates_only=true --benchmark_out="$work/cold.json" --benchmark_out_format=json
/usr/bin/python3 - "$work/cold.json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
median = {b["run_name"].split("/")[0]: b["real_time"] for b in runs if b.get("aggregate_name") == "median"}
cold, bare = median.get("BM_ColdGenerateKey"), median.get("BM_BareFreshSessionGet")
if cold and bare:
    print("median: cold GenerateKey %.2f ms, bare fresh-session Get %.2f ms, ratio %.3f" % (cold, bare, cold / bare))
PY
