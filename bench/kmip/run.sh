#!/usr/bin/env bash
# Times a KMIP Get per session against a fresh PyKMIP server: the project's client library
# (kmip_session_bench) beside PyKMIP's own client, both with N samples per mode.
#
#   bench/kmip/run.sh [BUILD_DIR] [N]     BUILD_DIR defaults to build/release, N to 50
#
# Prints the library's Google Benchmark aggregates and PyKMIP's client medians, then a summary.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build/release}
samples=${2:-50}
[[ "$samples" =~ ^[1-9][0-9]{0,4}$ ]] || { echo "run.sh: N must be 1..99999" >&2; exit 2; }
bench="$build/bench/kmip/kmip_session_bench"
[[ -x "$bench" ]] || { echo "run.sh: $bench not built (cmake --build $build --target kmip_session_bench)" >&2; exit 1; }
server="$root/scripts/pykmip/pykmip-server.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/zyld-kmip-bench-XXXXXX")
cleanup() { bash "$server" stop "$work/server" || true; rm -rf "$work"; }
trap cleanup EXIT
PYKMIP_OWNER_PID=$$ bash "$server" start "$work/server" >/dev/null
key=$(bash "$server" create-key "$work/server" 256 active)

echo "== qlkmipsimple (AES-256 Get, KMIP 1.1, TLS 1.2, loopback), $samples samples =="
ZYLD_KMIP_BENCH_DIR="$work/server" ZYLD_KMIP_BENCH_KEY="$key" "$bench" \
  --benchmark_repetitions="$samples" --benchmark_out="$work/library.json" --benchmark_out_format=json
echo "== PyKMIP client, $samples samples =="
/usr/bin/python3 "$root/bench/kmip/pykmip_client_bench.py" "$work/server" "$key" "$samples" | tee "$work/pykmip.txt"

echo "== summary: median wall time and mean client CPU per operation =="
/usr/bin/python3 - "$work/library.json" "$work/pykmip.txt" <<'PY'
import json, re, sys
library = json.load(open(sys.argv[1]))
medians, cpu = {}, {}
for b in library["benchmarks"]:
    name = b["run_name"].split("/")[0]
    if b.get("aggregate_name") == "median":
        medians[name] = b["real_time"]
    elif b.get("aggregate_name") == "mean":
        cpu[name] = b["cpu_time"]
python = {m: (w, c) for m, w, c in re.findall(
    r"pykmip-client (\w+)\s+n=\d+ median=([\d.]+) ms p90=[\d.]+ ms client-cpu=([\d.]+) ms", open(sys.argv[2]).read())}
for label, bench, mode in (("fresh session (connect + Get + close)", "BM_FreshSessionGet", "fresh"),
                           ("open session (Get only)", "BM_OpenSessionGet", "open")):
    wall, client_cpu = python.get(mode, ("?", "?"))
    print("%-38s library %.2f ms (client CPU %.2f ms), PyKMIP client %s ms (client CPU %s ms)"
          % (label + ":", medians.get(bench, float("nan")), cpu.get(bench, float("nan")), wall, client_cpu))
PY
