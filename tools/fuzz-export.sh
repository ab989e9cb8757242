#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Runs ovint-export and ovint-latency built with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang) over corrupted and cut captures: the project's captures and odd
# pcapng files (seconds near 2^62, a TAP time before 1970, a binary time
# resolution, 300 interfaces, other link types), corrupted with editcap -E
# at several rates, with and without a snap length, as pcap and as pcapng,
# with bytes of their record headers overwritten, and cut at several
# places. Each run must end with no sanitizer report, an exit status the
# README documents (0, 1 or 3), no temporary file left behind, and for 0 and
# 3 an output that capinfos reads to its end (ovint-export) or a table whose
# rows are whole (ovint-latency).
#
# Usage: tools/fuzz-export.sh [SEEDS]   (default 2 seeds per rate)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
seeds=${1:-2}

sanitized=$repo/build-sanitize
plain=$repo/build-tests
cmake -S "$repo" -B "$sanitized" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOVINT_SANITIZE=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$sanitized" --parallel "$(nproc)" --target ovint-export ovint-latency >/dev/null
cmake -S "$repo" -B "$plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build "$plain" --parallel "$(nproc)" --target write_captures >/dev/null
bindir=$(dirname "$(sed -n 's/^HOST_TSHARK:[A-Z]*=//p' "$plain/CMakeCache.txt")")
export_program=$sanitized/ovint-export
latency_program=$sanitized/ovint-latency
# A whole row has as many fields as the header: 15 (the traffic columns last).
# Every row has its header's fields: 15 in the pairs table, 16 (its fate
# last) in the frames table.
whole_rows='NR == 1 { fields = NF } NF != fields || fields != want { exit 1 }'

work=$(mktemp -d /tmp/ovint-fuzz-export-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/inputs" "$work/out"
"$plain/tests/write_captures" "$work/inputs"
"$plain/tests/write_captures" --traffic 2000 --trailers "$work/inputs/traffic.pcap"
"$plain/tests/write_captures" --example "$work/inputs/example.pcap"
"$plain/tests/write_captures" --odd "$work/inputs"
for capture in trailers traffic; do
    "$bindir/editcap" -F pcapng "$work/inputs/$capture.pcap" "$work/inputs/$capture-ng.pcapng"
done

runs=0
# export_one CAPTURE OPTION...: one run, checked.
export_one() {
    local capture=$1 status=0
    shift
    runs=$((runs + 1))
    rm -f "$work/out/"*
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
        "$export_program" --quiet --force "$@" "$capture" "$work/out/exported.pcapng" 2>"$work/stderr.txt" || status=$?
    local fault=
    if grep -qE 'AddressSanitizer|runtime error|UndefinedBehaviorSanitizer' "$work/stderr.txt"; then
        fault="a sanitizer report"
    elif [ "$status" != 0 ] && [ "$status" != 1 ] && [ "$status" != 3 ]; then
        fault="exit status $status"
    elif [ -n "$(ls -A "$work/out" | grep -v '^exported.pcapng$' || true)" ]; then
        fault="a file left behind: $(ls -A "$work/out" | grep -v '^exported.pcapng$' | head -n 1)"
    elif [ "$status" != 1 ] && ! "$bindir/capinfos" -c "$work/out/exported.pcapng" >/dev/null 2>"$work/capinfos.txt"; then
        fault="status $status, but capinfos cannot read the output: $(head -n 1 "$work/capinfos.txt")"
    elif [ "$status" = 1 ] && [ -e "$work/out/exported.pcapng" ]; then
        fault="status 1, yet an output was written"
    fi
    if [ -z "$fault" ]; then
        # ovint-latency on the same capture, with both tables, every other
        # run with the bursts on the wire.
        runs=$((runs + 1))
        rm -f "$work/out/"*
        status=0
        local bursts=()
        [ $((runs % 2)) = 0 ] || bursts=(--line-rate 1G)
        ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
            "$latency_program" "${bursts[@]}" --pairs "$work/out/pairs.csv" --frames "$work/out/frames.csv.gz" \
            "$capture" >/dev/null 2>"$work/stderr.txt" || status=$?
        if grep -qE 'AddressSanitizer|runtime error|UndefinedBehaviorSanitizer' "$work/stderr.txt"; then
            fault="ovint-latency: a sanitizer report"
        elif [ "$status" != 0 ] && [ "$status" != 1 ] && [ "$status" != 3 ]; then
            fault="ovint-latency: exit status $status"
        elif [ -n "$(ls -A "$work/out" | grep '^\.' || true)" ]; then
            fault="ovint-latency: a temporary file left behind"
        elif [ "$status" != 1 ] && ! { awk -F, -v want=15 "$whole_rows" "$work/out/pairs.csv" &&
                                       zcat "$work/out/frames.csv.gz" | awk -F, -v want=16 "$whole_rows"; }; then
            fault="ovint-latency: status $status, but a table has a row that is not whole"
        fi
    fi
    if [ -n "$fault" ]; then
        cp "$capture" "$repo/fuzz-export-failure.${capture##*.}"
        echo "FAIL $* on a corrupted $(basename "$capture"): $fault"
        head -n 40 "$work/stderr.txt"
        echo "the capture is kept as fuzz-export-failure.${capture##*.}"
        exit 1
    fi
}

# overwrite_bytes FILE SEED: eight bytes of the file somewhere past its
# first 24 overwritten with bytes of the seed's choosing.
overwrite_bytes() {
    local file=$1 size at
    RANDOM=$2
    size=$(stat -c %s "$file")
    for _ in 1 2 3 4 5 6 7 8; do
        at=$((24 + (RANDOM * 32768 + RANDOM) % (size > 24 ? size - 24 : 1)))
        printf "\\x$(printf %02x $((RANDOM % 256)))" | dd of="$file" bs=1 seek="$at" conv=notrunc status=none
    done
}

options_for() {  # alternate the options across runs
    case $(($1 % 3)) in
    0) echo "" ;;
    1) echo "--keep-trailers" ;;
    2) echo "--tap-clock" ;;
    esac
}

for input in "$work"/inputs/*; do
    export_one "$input"
    name=$(basename "$input")
    extension=${name##*.}
    for rate in 0.002 0.02 0.1 0.3; do
        for ((seed = 1; seed <= seeds; seed++)); do
            for snaplen in 0 62; do
                fuzzed=$work/fuzzed.$extension
                args=(-E "$rate" --seed "$seed")
                [ "$snaplen" = 0 ] || args+=(-s "$snaplen")
                "$bindir/editcap" "${args[@]}" "$input" "$fuzzed" 2>/dev/null || cp "$input" "$fuzzed"
                # shellcheck disable=SC2046
                export_one "$fuzzed" $(options_for "$runs")
            done
            cp "$input" "$work/headers.$extension"
            overwrite_bytes "$work/headers.$extension" "$seed$runs"
            # shellcheck disable=SC2046
            export_one "$work/headers.$extension" $(options_for "$runs")
        done
    done
    size=$(stat -c %s "$input")
    for cut in 30 100 $((size / 3)) $((size / 2)) $((size - 5)); do
        [ "$cut" -lt "$size" ] || continue
        head -c "$cut" "$input" >"$work/cut.$extension"
        export_one "$work/cut.$extension"
    done
done
echo "ovint-export and ovint-latency under AddressSanitizer and UBSan: $runs runs on corrupted and cut captures, no report," \
     "every status documented, no file left behind"
