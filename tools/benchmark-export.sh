#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# ovint-export against the host's editcap on the same capture (both read
# and write through wiretap): wall time over interleaved repeated runs,
# and peak resident memory on two capture sizes, to show that it does not
# grow with the file.
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
echo "== ovint-export against $("$editcap" --version | head -n 1) on $(nproc) cores"
echo "   $(du -h "$work/large.pcap" | cut -f1)B, $frames frames of mixed traffic with TAP trailers"

nanoseconds() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    echo $((end - start))
}

: >"$work/times.txt"
for ((round = 0; round < rounds; round++)); do
    rm -f "$work/out.pcapng"
    exported=$(nanoseconds "$build/ovint-export" --quiet "$work/large.pcap" "$work/out.pcapng")
    rm -f "$work/out.pcapng"
    edited=$(nanoseconds "$editcap" -F pcapng "$work/large.pcap" "$work/out.pcapng")
    echo "$exported $edited" >>"$work/times.txt"
done
rm -f "$work/out.pcapng"
awk '{ e[NR] = $1 / 1e9; c[NR] = $2 / 1e9; r[NR] = $1 / $2 }
     function median(a, n,   i, j, t) { for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
                                        return a[int((n + 1) / 2)] }
     END { n = NR; printf "   wall time, median of %d: ovint-export %.2f s, editcap %.2f s; ratio %.3f (min %.3f, max %.3f)\n",
                          n, median(e, n), median(c, n), median(r, n), r[1], r[n] }' "$work/times.txt"

peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
for size in small large; do
    rm -f "$work/out.pcapng"
    exported=$(peak "$build/ovint-export" --quiet "$work/$size.pcap" "$work/out.pcapng")
    rm -f "$work/out.pcapng"
    edited=$(peak "$editcap" -F pcapng "$work/$size.pcap" "$work/out.pcapng")
    echo "   peak resident memory, $(du -h "$work/$size.pcap" | cut -f1)B capture: ovint-export ${exported} kB, editcap ${edited} kB"
done
