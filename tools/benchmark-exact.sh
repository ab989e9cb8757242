#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Exact percentiles at any size: more than 20 million pairs each way,
# streamed through a FIFO into ovint-latency -j 1 (as a file it would fill
# some 90 GB): the device writer's router capture, its records again and
# again (the TAP clock steps back each time, where the matcher settles what
# waits), and ovint-latency's pairs table through another FIFO to a plain
# sort of each direction's latencies. Prints each direction's percentiles
# from the report beside the sort's nearest ranks, ovint-latency's peak
# resident memory against what it holds of latencies at most (ten million
# of 8 bytes a direction), and its time. Takes some 10 minutes on two
# cores.
#
# Usage: tools/benchmark-exact.sh [PACKETS [TIMES]]
#        (defaults 300000 packets, about 200,000 pairs one way and 100,000
#        the other, 205 times)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
packets=${1:-300000}
times=${2:-205}

build=$repo/build-bench
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target ovint-latency write_captures >/dev/null

work=$(mktemp -d /var/tmp/ovint-exact-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkfifo "$work/capture.pcap" "$work/pairs.csv"
"$build/tests/write_captures" --device router "$work/once.pcap" /dev/null "$packets" 2000 >/dev/null
{
    cat "$work/once.pcap"
    for ((time = 1; time < times; time++)); do tail -c +25 "$work/once.pcap"; done  # records only
} >"$work/capture.pcap" &
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

echo "== Exact percentiles: $packets packets of a router's traffic $times times, ovint-latency -j 1 against a plain sort"
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
     "directions); $seconds s with the feed and the sort's on the same cores"
