#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Remakes docs/images/prometheus-p99.png, the README's picture of the live
# chain: the device writer's router, every 25th packet of its first half
# held 2 ms, fed at the pace of its TAP clock (under three minutes) through a
# pipe into ovint-latency --interval 5s --metrics, which a real Prometheus
# (Debian's) scrapes each second; then Prometheus's own graph of each
# direction's p99 per interval, as headless Chromium draws it.
#
# Usage: tools/prometheus-picture.sh   (installs prometheus and chromium if
#                                       they are missing)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
# Not in packages/: the tests and CI need neither.
"$repo/tools/install-packages.sh" <(printf '%s\n' prometheus chromium)

build=$repo/build-pictures
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target ovint-latency write_captures >/dev/null

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
# 24,000 packets 5 ms apart: under three minutes of TAP time.
"$build/tests/write_captures" --device router --hold 2 "$work/router.pcap" "$work/router.expected" 24000 5000000 \
    >/dev/null

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
metrics_port=$(free_port)
prometheus_port=$(free_port)
cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: ovint-latency
    static_configs:
      - targets: ["127.0.0.1:$metrics_port"]
EOF
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address="127.0.0.1:$prometheus_port" >"$work/prometheus.log" 2>&1 &
pids+=($!)

mkfifo "$work/feed"
"$build/ovint-latency" --interval 5s --metrics "127.0.0.1:$metrics_port" --linger "$work/feed" \
    >"$work/intervals.jsonl" &
pids+=($!)
# The capture's records, each when its TAP time comes.
python3 - "$work/router.pcap" >"$work/feed" <<'EOF' &
import struct, sys, time
with open(sys.argv[1], "rb") as capture:
    header = capture.read(24)
    nanoseconds = struct.unpack("<I", header[:4])[0] == 0xA1B23C4D
    sys.stdout.buffer.write(header)
    start, first = time.monotonic(), None
    while True:
        record = capture.read(16)
        if len(record) < 16:
            break
        seconds, fraction, captured, _ = struct.unpack("<IIII", record)
        at = seconds + fraction / (1e9 if nanoseconds else 1e6)
        first = at if first is None else first
        delay = start + (at - first) - time.monotonic()
        if delay > 0:
            sys.stdout.buffer.flush()
            time.sleep(delay)
        sys.stdout.buffer.write(record + capture.read(captured))
    sys.stdout.buffer.flush()
EOF
feeder=$!
# The whole feed, and a few scrapes of the last interval.
wait "$feeder"
sleep 4
query='ovint_interval_latency_seconds{quantile="0.99"}'
url="http://127.0.0.1:$prometheus_port/graph?g0.expr=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$query")&g0.tab=0&g0.range_input=3m&g0.stacked=0&g0.show_exemplars=0"
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1200,900 --virtual-time-budget=15000 \
    --screenshot="$work/prometheus-p99.png" "$url" >/dev/null 2>&1
cp "$work/prometheus-p99.png" "$repo/docs/images/prometheus-p99.png"
echo "wrote docs/images/prometheus-p99.png ($(grep -c . "$work/intervals.jsonl") intervals)"
