#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Fuzzes ovint with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer (Debian's clang), through the in-process host:
#
#   tools/fuzz.sh [SECONDS [CORPUS]]
#
# Runs for SECONDS (default 60) and keeps what it learns in
# CORPUS (default fuzz-corpus/ in the work tree), so that the next run goes
# on from there. A crash leaves its input as crash-* in CORPUS's parent
# folder and fails the run.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
corpus=${2:-$repo/fuzz-corpus}
build=$repo/build-fuzz

cmake -S "$repo" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOVINT_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target ovint_fuzzer >/dev/null
mkdir -p "$corpus"
cd "$(dirname "$corpus")"
# The host library keeps some memory to the end of the process by design:
# leaks are not what this looks for.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/ovint_fuzzer" -max_total_time="$seconds" -rss_limit_mb=4096 -print_final_stats=1 \
    "$corpus" >"$build/fuzz.log" 2>&1 || status=$?
grep -E '^#[0-9]+ *DONE|^Done [0-9]+ runs|stat::number_of_executed_units|ERROR|runtime error|ovint_fuzzer:' "$build/fuzz.log" || true
if [ "${status:-0}" -ne 0 ] || grep -qE 'ERROR: |runtime error|ovint_fuzzer: |deadly signal' "$build/fuzz.log"; then
    echo "fuzzing found a fault: see $build/fuzz.log and the crash-* inputs"
    exit 1
fi
echo "fuzzing: no fault in ${seconds} s; corpus $(find "$corpus" -type f | wc -l) inputs"
