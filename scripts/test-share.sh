#!/usr/bin/env bash
# test-share.sh: prints the share of test code, as lines of *.cpp *.h *.py *.sh under tests/ over
# those under tests/ apps/ platform/ lib/ tools/.
set -euo pipefail
cd "$(dirname "$0")/.."
lines() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.sh' \) -print0 |
    xargs -0 cat | wc -l
}
tests=$(lines tests)
all=$(lines tests apps platform lib tools)
awk -v t="$tests" -v a="$all" 'BEGIN { printf "tests %d of %d lines: %.1f%%\n", t, a, 100 * t / a }'
