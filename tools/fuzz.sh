#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Fuzzes with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer
# (Debian's clang): the plug-in through the in-process host (ovint_fuzzer),
# ovint-export's per-frame change (export_fuzzer), the latency key and
# matcher (core_fuzzer) or ovint-latency's reading of sightings files
# (sightings_fuzzer):
#
#   tools/fuzz.sh [SECONDS [CORPUS [TARGET]]]
#
# Runs TARGET (default ovint_fuzzer) for SECONDS (default 60) and keeps what
# it learns in CORPUS (default fuzz-corpus/TARGET in the work tree), so that
# the next run goes on from there. A crash leaves its input as crash-* in
# the build folder's fuzz-artifacts/ and fails the run.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
target=${3:-ovint_fuzzer}
corpus=${2:-$repo/fuzz-corpus/$target}
build=$repo/build-fuzz

cmake -S "$repo" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOVINT_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target "$target" >/dev/null
artifacts=$build/fuzz-artifacts
mkdir -p "$corpus" "$artifacts"
# As root the host ignores WIRESHARK_DATA_DIR, which the target points at an
# empty folder to keep its memory flat: root runs it as the user nobody.
as_user=()
if [ "$(id -u)" = 0 ]; then
    chown -R 65534:65534 "$corpus" "$artifacts"
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp)
fi
# The host library keeps some memory to the end of the process by design:
# leaks are not what this looks for.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "${as_user[@]}" "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$build/fuzz-$target.log" 2>&1 || status=$?
grep -E '^#[0-9]+ *DONE|^Done [0-9]+ runs|stat::number_of_executed_units|stat::peak_rss_mb|^frames dissected|ERROR|runtime error|_fuzzer:' "$build/fuzz-$target.log" || true
if [ "${status:-0}" -ne 0 ] || grep -qE 'ERROR: |runtime error|_fuzzer: |deadly signal' "$build/fuzz-$target.log"; then
    echo "fuzzing found a fault: see $build/fuzz-$target.log and the crash-* inputs in $artifacts"
    exit 1
fi
echo "fuzzing $target: no fault in ${seconds} s; corpus $(find "$corpus" -type f | wc -l) inputs"
