#!/usr/bin/env bash
# Runs the benchmark against a finished build and prints one table.
#
# Usage: bench/run.sh [BUILD_DIR] [RUNS] [--quick] [--boost] [--only=STEP]
#   BUILD_DIR  the build folder of the README's build (default: build)
#   RUNS       timed runs per figure; the table shows the median (default: 3)
#   --quick    a small corpus and one run: a smoke test of the whole script
#   --boost    (root) time in a scheduling group of its own at nice -19, so
#              that other work on a shared machine disturbs the figures less
#   --only=STEP  one step of the run only: add mixed, add tree, archive size,
#              mount, memory, sprtool, sprtool k and v
#
# The corpus is made once, from a fixed seed, in BUILD_DIR/bench-corpus and kept
# for later runs. lzop is installed with apt-get when it is missing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exec python3 "$here/bench.py" "$@"
