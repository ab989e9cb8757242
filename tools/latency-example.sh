#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Remakes ovint-latency's first example in docs/ovint-latency.md: the report
# on the router capture the tests write (tests/write_captures --device
# router), printed here as the manual shows it (an indented block, ready to
# paste), and its picture, docs/images/latency-plot.png. The test
# documents_examples checks the block against the program.
#
# Usage: tools/latency-example.sh   (needs gnuplot: Debian's gnuplot-nox)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-example
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target ovint-latency write_captures >/dev/null

work=$(mktemp -d /tmp/ovint-example-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/tests/write_captures" --device router device.pcap device.expected >/dev/null
{
    echo "\$ ovint-latency --line-rate 10G --plot latency.png device.pcap | grep -v '^\$'"
    "$build/ovint-latency" --line-rate 10G --plot latency.png device.pcap | grep -v '^$'
} | sed 's/^/    /'
cp latency.png "$repo/docs/images/latency-plot.png"
