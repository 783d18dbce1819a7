#!/usr/bin/env bash
# Prints the non-blank source lines of the tests against those of the product
# code (the library and its header, the platform layer, the two tools and the
# Python bindings); fuzz harnesses and benchmarks are counted on their own.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  find "$@" -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.sh' \) \
    -print0 | xargs -0 cat | grep -cv '^[[:space:]]*$' || true
}
code=$(count libqar include platform qartool sprtool python)
tests=$(count tests)
fuzz=$(count fuzz)
bench=$(count bench)
awk -v t="$tests" -v c="$code" -v f="$fuzz" -v b="$bench" 'BEGIN {
  printf "lines: tests : code = %d : %d = %.2f (fuzz %d, bench %d, on their own)\n", t, c, t / c, f, b }'
