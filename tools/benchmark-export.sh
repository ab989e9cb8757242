#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# ovint-export against the host's editcap on the same capture (both read
# and write through wiretap): wall and processor time over interleaved
# repeated runs, instructions (valgrind's callgrind) on a tenth of it, and
# peak resident memory on two capture sizes, also with a capture clock that
# bends away from the TAP's, to show that it does not grow with the file.
#
# Usage: tools/benchmark-export.sh [FRAMES [ROUNDS]]
#        (defaults 1700000 frames, about 1.1 GB, and 5 rounds)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
frames=${1:-1700000}
rounds=${2:-5}

build=$repo/build-bench
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target ovint-export write_captures >/dev/null
editcap=$(dirname "$(sed -n 's/^HOST_TSHARK:[A-Z]*=//p' "$build/CMakeCache.txt")")/editcap

work=$(mktemp -d /var/tmp/ovint-export-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
"$build/tests/write_captures" --traffic "$frames" --trailers "$work/large.pcap"
"$build/tests/write_captures" --traffic $((frames / 10)) --trailers "$work/small.pcap"
"$build/tests/write_captures" --traffic "$frames" --curving "$work/curving.pcap"
"$build/tests/write_captures" --traffic $((frames / 10)) --curving "$work/curving-small.pcap"
echo "== ovint-export against $("$editcap" --version | head -n 1) on $(nproc) cores"
echo "   $(du -h "$work/large.pcap" | cut -f1)B, $frames frames of mixed traffic with TAP trailers"

# Wall and processor (user + system) seconds of one run.
timed() {
    /usr/bin/time -f '%e %U %S' -o "$work/time.txt" "$@" >/dev/null 2>&1
    awk '{ printf "%s %.2f", $1, $2 + $3 }' "$work/time.txt"
}

: >"$work/times.txt"
for ((round = 0; round < rounds; round++)); do
    rm -f "$work/out.pcapng"
    exported=$(timed "$build/ovint-export" --quiet "$work/large.pcap" "$work/out.pcapng")
    rm -f "$work/out.pcapng"
    edited=$(timed "$editcap" -F pcapng "$work/large.pcap" "$work/out.pcapng")
    echo "$exported $edited" >>"$work/times.txt"
done
rm -f "$work/out.pcapng"
# Columns: export wall, export processor, editcap wall, editcap processor.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
column() { awk -v c="$1" '{ print $c }' "$work/times.txt" | median; }
ratios() { awk -v a="$1" -v b="$2" '{ printf "%.3f\n", $a / $b }' "$work/times.txt" | sort -n; }
echo "   wall time, median of $rounds interleaved runs: ovint-export $(column 1) s, editcap $(column 3) s;" \
     "ratio of each pair: median $(ratios 1 3 | median), from $(ratios 1 3 | head -n 1) to $(ratios 1 3 | tail -n 1)"
echo "   processor time (user + system), median: ovint-export $(column 2) s, editcap $(column 4) s;" \
     "ratio of each pair: median $(ratios 2 4 | median), from $(ratios 2 4 | head -n 1) to $(ratios 2 4 | tail -n 1)"

# Instructions (callgrind), exact and repeatable where wall time is not.
instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null | sed -n 's/.*Collected : //p'
}
rm -f "$work/out.pcapng"
exported=$(instructions "$build/ovint-export" --quiet "$work/small.pcap" "$work/out.pcapng")
rm -f "$work/out.pcapng"
edited=$(instructions "$editcap" -F pcapng "$work/small.pcap" "$work/out.pcapng")
echo "   instructions (callgrind), $((frames / 10)) frames: ovint-export $exported, editcap $edited;" \
     "ratio $(awk -v a="$exported" -v b="$edited" 'BEGIN { printf "%.3f", a / b }')"

peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
for size in small large curving-small curving; do
    rm -f "$work/out.pcapng"
    exported=$(peak "$build/ovint-export" --quiet "$work/$size.pcap" "$work/out.pcapng")
    rm -f "$work/out.pcapng"
    edited=$(peak "$editcap" -F pcapng "$work/$size.pcap" "$work/out.pcapng")
    case $size in curving*) kind="capture whose clock offset curves" ;; *) kind=capture ;; esac
    echo "   peak resident memory, $(du -h "$work/$size.pcap" | cut -f1)B $kind: ovint-export ${exported} kB, editcap ${edited} kB"
done
