#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice: once
# in the normal build, once built with AddressSanitizer and
# UndefinedBehaviorSanitizer (any report fails the run). Then the tests that
# run threads (the record pipeline, qartool's add and extract, the mount and
# the Python module's decoding ahead) once more, built with ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
# chromium: the browser test opens sprtool's page in it, headless.
bash scripts/deps.sh chromium
jobs="$(nproc)"

bash scripts/build.sh build
ctest --test-dir build --output-on-failure -j"$jobs"

bash scripts/build.sh build-asan -DQAR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

cmake -S . -B build-tsan -DQAR_TSAN=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target libqar_tests qartool_tests mount_tests read_ahead_tests qartool
TSAN_OPTIONS=halt_on_error=1 \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -R '^(libqar\.(Threads|Encoding)|qartool\.|python\.ReadAhead)'

# The size of the tests against the code they test, for everyone to see.
bash scripts/line_ratio.sh
