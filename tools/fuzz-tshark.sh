#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Fuzzes ovint inside the host's own tshark, the way the host project fuzzes
# its dissectors: the project's captures corrupted with editcap -E at
# several error rates and seeds, and cut short with a snap length, read by
# tshark (one pass, two passes, with a tree) with ovint built with
# AddressSanitizer and UndefinedBehaviorSanitizer (clang, the runtime
# preloaded); then once under valgrind's memcheck with the ordinary build.
# Each run must end without a sanitizer or memcheck report and list exactly
# as many frames as the capture holds.
#
# Usage: tools/fuzz-tshark.sh [SEEDS]   (default 3 seeds per rate)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
seeds=${1:-3}

sanitized=$repo/build-sanitize
plain=$repo/build-tests
cmake -S "$repo" -B "$sanitized" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOVINT_SANITIZE=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$sanitized" --parallel "$(nproc)" --target ovint >/dev/null
cmake -S "$repo" -B "$plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build "$plain" --parallel "$(nproc)" --target ovint write_captures >/dev/null

series=$(pkg-config --modversion wireshark | cut -d. -f1,2)
bindir=$(dirname "$(sed -n 's/^HOST_TSHARK:[A-Z]*=//p' "$plain/CMakeCache.txt")")
. "$repo/tests/tshark/lib.sh" "$sanitized/ovint.so" "$series" "$bindir"
asan_runtime=$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)
chmod a+rwx "$work"

"$plain/tests/write_captures" "$work"
"$plain/tests/write_captures" --traffic 3000 --trailers "$work/traffic.pcap"
"$plain/tests/write_captures" --traffic 500 --worst-case "$work/worst.pcap"

# Frames tshark lists for a capture, with the sanitized ovint: one line
# each, or one "Frame N:" tree each with -V.
frames_listed() {
    if [ "$1" = -V ]; then
        LD_PRELOAD=$asan_runtime with_ovint "$@" 2>"$work/stderr.txt" | grep -c '^Frame [0-9]*:' || true
    else
        LD_PRELOAD=$asan_runtime with_ovint "$@" -T fields -e frame.number 2>"$work/stderr.txt" | wc -l
    fi
}

# The sanitized module must load and find the trailers, or nothing is tested.
taken=$(LD_PRELOAD=$asan_runtime ASAN_OPTIONS=detect_leaks=0 with_ovint -r "$work/trailers.pcap" -Y ovint 2>&1 | wc -l)
if [ "$taken" != 8 ]; then
    echo "FAIL the sanitized ovint found $taken trailer-bearing frames in trailers.pcap, not 8"
    exit 1
fi

runs=0
for capture in trailers traffic worst plain; do
    for rate in 0.002 0.02 0.1 0.3; do
        for ((seed = 1; seed <= seeds; seed++)); do
            for snaplen in 0 62; do
                fuzzed=$work/fuzzed.pcap
                options=(-E "$rate" --seed "$seed")
                [ "$snaplen" = 0 ] || options+=(-s "$snaplen")
                "$bindir/editcap" "${options[@]}" "$work/$capture.pcap" "$fuzzed" 2>/dev/null
                chmod a+r "$fuzzed"
                expected=$("$bindir/capinfos" -T -r -c "$fuzzed" | awk -F"\t" "{ print \$2 }")
                for pass in "-r $fuzzed" "-2 -r $fuzzed" "-V -r $fuzzed"; do
                    runs=$((runs + 1))
                    # shellcheck disable=SC2086
                    listed=$(ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 frames_listed $pass)
                    if grep -qE 'AddressSanitizer|runtime error|LeakSanitizer' "$work/stderr.txt" || [ "$listed" != "$expected" ]; then
                        cp "$fuzzed" "$repo/fuzz-tshark-failure.pcap"
                        echo "FAIL $capture, editcap ${options[*]}, tshark $pass: $listed of $expected frames"
                        head -n 40 "$work/stderr.txt"
                        echo "the capture is kept as fuzz-tshark-failure.pcap"
                        exit 1
                    fi
                done
            done
        done
    done
done
echo "tshark with ovint under AddressSanitizer and UBSan: $runs runs on corrupted captures, no report"

# Memcheck: the ordinary build, one corrupted capture of each kind.
cp "$plain/ovint.so" "$work/with/$series/epan/ovint.so"
run_tshark_memcheck() {
    local env=(env -u XDG_CONFIG_HOME HOME="$work/home" WIRESHARK_CONFIG_DIR="$work/config"
               WIRESHARK_PLUGIN_DIR="$work/with")
    local memcheck=(valgrind --tool=memcheck --leak-check=no --log-file="$work/memcheck.txt")
    if [ "$(id -u)" = 0 ]; then
        setpriv --reuid=65534 --regid=65534 --clear-groups "${env[@]}" "${memcheck[@]}" "$tshark" "$@"
    else
        "${env[@]}" "${memcheck[@]}" "$tshark" "$@"
    fi
}
for capture in trailers traffic; do
    "$bindir/editcap" -E 0.02 --seed 1 "$work/$capture.pcap" "$work/fuzzed.pcap" 2>/dev/null
    chmod a+r "$work/fuzzed.pcap"
    run_tshark_memcheck -2 -V -r "$work/fuzzed.pcap" >/dev/null 2>&1
    if grep -q 'ovint\.so' "$work/memcheck.txt"; then
        echo "FAIL memcheck reports an error involving ovint on $capture:"
        grep -B5 -A20 'ovint\.so' "$work/memcheck.txt" | head -n 60
        exit 1
    fi
    echo "tshark with ovint under valgrind memcheck, $capture corrupted at 2%: $(grep -o 'ERROR SUMMARY: [0-9]* errors' "$work/memcheck.txt"), none involving ovint"
done
