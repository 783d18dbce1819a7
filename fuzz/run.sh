#!/usr/bin/env bash
# Builds the fuzz harnesses with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in a build directory of their own and runs each
# for the given number of seconds, then prints executions and findings per
# harness. Exits 1 when any harness found something; the inputs that did are
# kept under <build>/findings/<harness>/ and printed in hex with the report.
#
# Every harness starts from the seeds fuzz/make_seeds.sh writes and from the
# inputs kept in fuzz/corpus/<harness>/ (read only; what a run discovers goes
# to <build>/corpus/<harness>/). The harnesses are the fuzz/*_fuzz.cpp files.
#
# Usage: fuzz/run.sh SECONDS [HARNESS...]
#   FUZZ_BUILD_DIR  build directory (default: build-fuzz in the checkout)
#   FUZZ_JOBS       harnesses run at the same time (default: 1)
# Reproduce a finding: <build>/fuzz/bin/<harness>_fuzz <build>/findings/<harness>/crash-...
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:?usage: fuzz/run.sh SECONDS [HARNESS...]}"
shift
all=()
for f in "$root"/fuzz/*_fuzz.cpp; do all+=("$(basename "$f" _fuzz.cpp)"); done
[ $# -gt 0 ] && harnesses=("$@") || harnesses=("${all[@]}")
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
jobs="${FUZZ_JOBS:-1}"

# clang and its libFuzzer and sanitizer runtimes.
bash "$root/scripts/deps.sh" clang libclang-rt-14-dev > /dev/null

# The libraries get the coverage instrumentation and the sanitizers too.
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
flags="$flags -fno-omit-frame-pointer -fsanitize-ignorelist=$root/fuzz/sanitizer_ignore.txt"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DQAR_FUZZ=ON -DQAR_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    > /dev/null
targets=(qartool sprtool)
for h in "${harnesses[@]}"; do targets+=("${h}_fuzz"); done
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" > /dev/null

rm -rf "$build/seeds"
bash "$root/fuzz/make_seeds.sh" "$build/bin" "$build/seeds"

# The harnesses write a file or more per input: keep them in memory when we can.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

run_one() {
    local h="$1"
    local corpus="$build/corpus/$h" findings="$build/findings/$h/" log="$build/logs/$h.log"
    mkdir -p "$corpus" "$findings" "$(dirname "$log")"
    local kept="$root/fuzz/corpus/$h"
    [ -d "$kept" ] || kept=""
    local max_len=4096
    case "$h" in archive_read|extract) max_len=16384 ;; esac
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/fuzz/bin/${h}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$max_len" -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$findings" "$corpus" "$build/seeds/$h" \
        ${kept:+"$kept"} > "$log" 2>&1 || true
}

# Findings of earlier runs stay in place; only those newer than this stamp count.
stamp="$build/logs/started"
mkdir -p "$build/logs" && touch "$stamp"
printf 'Running %d harness(es) for %s s each...\n' "${#harnesses[@]}" "$seconds"
running=0
for h in "${harnesses[@]}"; do
    run_one "$h" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
done
wait

status=0
failed=()
printf '\n%-18s %12s %10s %8s %9s\n' harness executions exec/s corpus findings
for h in "${harnesses[@]}"; do
    log="$build/logs/$h.log"
    execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
    rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)"
    corpus="$(find "$build/corpus/$h" -type f | wc -l)"
    found="$(find "$build/findings/$h" -type f -newer "$stamp" \( -name 'crash-*' \
             -o -name 'timeout-*' -o -name 'oom-*' -o -name 'leak-*' \) | wc -l)"
    printf '%-18s %12s %10s %8s %9s\n' "$h" "${execs:-?}" "${rate:-?}" "$corpus" "$found"
    if [ "$found" -gt 0 ] || [ -z "$execs" ]; then
        status=1
        echo "  see $log and $build/findings/$h/" >&2
        failed+=("$h")
    fi
done
# The report and the input itself, so that a finding in a CI log can be replayed.
for h in "${failed[@]}"; do
    printf '\n=== %s: end of the log\n' "$h"
    tail -n 60 "$build/logs/$h.log"
    find "$build/findings/$h" -type f -newer "$stamp" | while read -r f; do
        printf '\n=== %s: input %s (%d bytes), hex:\n' "$h" "$(basename "$f")" "$(stat -c %s "$f")"
        od -A x -t x1 -v "$f" | head -n 256
    done
done
exit "$status"
