#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Exact percentiles at any size: a router's capture of more than 20 million
# pairs each way, streamed from the device writer through a FIFO (it would
# fill some 90 GB), into ovint-latency -j 1, whose pairs table goes through
# another FIFO to a plain sort of each direction's latencies. Prints each
# direction's percentiles from the report beside the sort's nearest ranks,
# ovint-latency's peak resident memory against what it holds of latencies
# at most (ten million of 8 bytes a direction), and its time. Takes some
# 20 minutes on two cores.
#
# Usage: tools/benchmark-exact.sh [PACKETS]
#        (default 61000000: about 40 million pairs one way, 20 million the other)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
packets=${1:-61000000}

build=$repo/build-bench
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target ovint-latency write_captures >/dev/null

work=$(mktemp -d /var/tmp/ovint-exact-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkfifo "$work/capture.pcap" "$work/pairs.csv"
"$build/tests/write_captures" --device router "$work/capture.pcap" /dev/null "$packets" 2000 >/dev/null &
writer=$!
# Each direction's latencies, by the earlier sighting's port.
awk -F, -v folder="$work" 'NR > 1 { print $7 > (folder "/" ($3 == "Con A" ? "a" : "d") ".latencies") }' \
    "$work/pairs.csv" &
splitter=$!
start=$(date +%s)
TMPDIR=$work /usr/bin/time -f %M -o "$work/peak" "$build/ovint-latency" -j 1 --json --pairs "$work/pairs.csv" \
    "$work/capture.pcap" >"$work/report.json"
seconds=$(($(date +%s) - start))
wait "$writer" "$splitter"

echo "== Exact percentiles: $packets packets of a router's traffic, ovint-latency -j 1 against a plain sort"
for from in a d; do
    sort -n -S 1G -T "$work" "$work/$from.latencies" >"$work/$from.sorted"
    rm "$work/$from.latencies"
    python3 - "$work/report.json" "$work/$from.sorted" "$from" <<'EOF'
import json, sys
report, sorted_path, side = sys.argv[1:]
direction = next(d for d in json.load(open(report))["directions"] if d["from"] == "Con " + side.upper())
count = direction["matched"]
wanted = {"median_ns": 5000, "p90_ns": 9000, "p99_ns": 9900, "p99_9_ns": 9990, "p99_99_ns": 9999}
ranks = {name: max(1, (per * count + 9999) // 10000) for name, per in wanted.items()}
by_rank = {}
with open(sorted_path) as values:
    for n, line in enumerate(values, 1):
        for name, rank in ranks.items():
            if rank == n:
                by_rank[name] = int(line)
        last = n
print(f"   {direction['from']} -> {direction['to']}: {count} pairs (the sort: {last}), percentiles {direction['percentiles']}")
for name in wanted:
    mark = "same" if by_rank.get(name) == direction[name] else "DIFFERENT"
    print(f"     {name:10} report {direction[name]:>12}  sort {by_rank.get(name)!s:>12}  {mark}")
EOF
done
peak=$(cat "$work/peak")
echo "   ovint-latency: peak resident memory $((peak / 1024)) MB (latencies held at most: $((2 * 80)) MB for two" \
     "directions); $seconds s with the writer and the sort's feed on the same cores"
