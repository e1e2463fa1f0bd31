#!/usr/bin/env bash
# fuzz.sh SECONDS [TARGET...]: runs libFuzzer targets already built in build/fuzz (FUZZ_BUILD
# overrides the folder; nothing is built here), each for SECONDS over a scratch folder plus its
# corpus tests/fuzz/corpus/TARGET (read only: new inputs go to the scratch folder). Without
# targets, every target that has a corpus. Prints per target the executions, the final coverage
# (libFuzzer's cov: and ft:) and the findings (crash, leak, timeout and oom files), and keeps the
# scratch folders of targets with findings. Exit status: 0 no findings, 1 findings, 2 bad usage.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build/fuzz}
corpora=$root/tests/fuzz/corpus
readonly kInputTimeoutSeconds=10

usage() {
  echo "usage: $0 SECONDS [TARGET...]" >&2
  exit 2
}

[[ $# -ge 1 && $1 =~ ^[1-9][0-9]*$ ]] || usage
seconds=$1
shift
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  mapfile -t targets < <(find "$corpora" -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort)
fi

# The target's executable in the build folder, or nothing.
binary_of() {
  find "$build" -type f -name "$1" -perm -u+x -not -path '*/CMakeFiles/*' 2>/dev/null | head -n 1
}

# Runs one target and prints its line; returns 1 when it found something.
run_target() {
  local name=$1 bin scratch log executions coverage findings finding
  bin=$(binary_of "$name")
  if [[ -z $bin ]]; then
    printf '%-20s not built in %s\n' "$name" "$build"
    return 0
  fi
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-$name.XXXXXX")
  mkdir -p "$scratch/new" "$scratch/findings"
  log=$scratch/fuzz.log
  # A finding ends the run early with a non-zero status; the summary below reports it.
  "$bin" -max_total_time="$seconds" -timeout="$kInputTimeoutSeconds" -print_final_stats=1 \
    -artifact_prefix="$scratch/findings/" "$scratch/new" "$corpora/$name" >"$log" 2>&1 || true
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  coverage=$(grep -E '^#[0-9]+.* cov: ' "$log" | tail -n 1 |
    sed -E 's/.*(cov: [0-9]+) (ft: [0-9]+).*/\1 \2/')
  findings=$(find "$scratch/findings" -type f | sort)
  printf '%-20s executions: %-10s %-24s findings: %s\n' "$name" "${executions:-?}" \
    "${coverage:-cov: ? ft: ?}" "$(grep -c . <<<"$findings" || true)"
  if [[ -n $findings ]]; then
    while IFS= read -r finding; do echo "    $finding"; done <<<"$findings"
    echo "    log: $log"
    return 1
  fi
  rm -rf "$scratch"
}

status=0
for name in "${targets[@]}"; do
  [[ -d $corpora/$name ]] || { echo "no corpus for $name in $corpora" >&2; exit 2; }
  run_target "$name" || status=1
done
exit "$status"
