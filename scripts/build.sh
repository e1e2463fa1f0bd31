#!/usr/bin/env bash
# build.sh DIR [cmake args...]: configures (once) and builds the project into DIR with ninja;
# BUILD_TARGETS="a b" builds only those targets (and what they need).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
launcher=()
# ccache keyed relative to the checkout, so a fresh clone elsewhere reuses earlier compilations.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
targets=()
for t in ${BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
