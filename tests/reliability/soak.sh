#!/usr/bin/env bash
# A longer soak of the reliability trials: N adds killed at random moments
# and N file size limits, then the figures. Builds into the
# given build directory first (default: build in the checkout).
# Usage: tests/reliability/soak.sh N [build-dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
trials="${1:?usage: tests/reliability/soak.sh N [build-dir]}"
build="${2:-$root/build}"
cmake -S "$root" -B "$build" > /dev/null
cmake --build "$build" -j"$(nproc)" --target reliability_tests > /dev/null
QAR_KILL_TRIALS="$trials" QAR_FSIZE_TRIALS="$trials" \
    "$build/tests/bin/reliability_tests" --gtest_filter='Killed*:FileSizeLimit.*'
