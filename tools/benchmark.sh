#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# What ovint costs tshark: builds ovint, writes captures of mixed traffic
# with and without TAP trailers, and runs the host's tshark on them with and
# without ovint, with and without a protocol tree (-V). Prints
#   - instructions per frame (valgrind's callgrind) for the whole run,
#     start-up taken off, on CG_FRAMES frames: the mean over REPEATS runs,
#     each with a home folder of its own, since where the host's tables and
#     buffers fall moves tshark's own count by up to about 1% from one
#     set-up to the next; and for ovint's own routines (its heuristic's
#     inclusive cost less the host's Ethernet dissection it calls), which
#     repeat exactly;
#   - wall time with/without ovint over ROUNDS interleaved runs on
#     WALL_FRAMES frames: median and spread of the ratio;
#   - peak resident memory with and without ovint;
#   - what latency matching adds: ovint's own instructions per frame with the
#     key off and on (ip), and peak memory on a million trailer-bearing
#     frames with the key ip against off, per frame.
#
# Usage: tools/benchmark.sh [WALL_FRAMES [ROUNDS [CG_FRAMES [REPEATS [LATENCY_FRAMES]]]]]
#        (defaults 200000, 7, 20000, 3 and 1000000), against the Wireshark
#        pkg-config finds, as tools/test-host.sh and run-tests.sh do.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
wall_frames=${1:-200000}
rounds=${2:-7}
cg_frames=${3:-20000}
repeats=${4:-3}
latency_frames=${5:-1000000}

for tool in valgrind callgrind_annotate setarch /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "benchmark.sh needs $tool (Debian: valgrind, util-linux, time)" >&2; exit 1; }
done

build=$repo/build-bench
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target ovint write_captures >/dev/null
series=$(pkg-config --modversion wireshark | cut -d. -f1,2)
bindir=$(dirname "$(sed -n 's/^HOST_TSHARK:[A-Z]*=//p' "$build/CMakeCache.txt")")
# The tshark tests' set-up: private plug-in folders with and without ovint,
# tshark run as nobody when root.
. "$repo/tests/tshark/lib.sh" "$build/ovint.so" "$series" "$bindir"

# Each capture is the file capture.pcap in a folder of its own, all names
# of one length: tshark's start-up, which is taken off, then costs exactly
# the same for each.
write=$build/tests/write_captures
mkdir -p "$work"/{empty,plain,trail,worst,router,wallp,wallt}
"$write" --traffic 0 "$work/empty/capture.pcap"
"$write" --traffic "$cg_frames" "$work/plain/capture.pcap"
"$write" --traffic "$cg_frames" --trailers "$work/trail/capture.pcap"
"$write" --traffic "$cg_frames" --worst-case "$work/worst/capture.pcap"
# A device's frames, which pair: the device writer's router.
"$write" --device router "$work/router/capture.pcap" "$work/router/expected" $((cg_frames / 2)) 7000 >/dev/null
router_frames=$(capinfos -c -M "$work/router/capture.pcap" | awk '/Number of packets/ { print $NF }')
"$write" --traffic "$wall_frames" "$work/wallp/capture.pcap"
"$write" --traffic "$wall_frames" --trailers "$work/wallt/capture.pcap"
chmod -R a+rX "$work"
chmod a+rwx "$work"

echo "== ovint on Wireshark $("$tshark" --version 2>/dev/null | head -n 1 | sed 's/^TShark (Wireshark) //')"
echo "   $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"

# callgrind FOLDER CAPTURE OUT [tshark options]: instructions of the run.
callgrind() {
    local folder=$1 capture=$2 out=$3
    shift 3
    local valgrind=(setarch "$(uname -m)" -R valgrind --tool=callgrind --callgrind-out-file="$out" "$@")
    local options=()
    [ "${tree:-}" = yes ] && options=(-V)
    [ -n "${key:-}" ] && options+=(-o "ovint.latency_key:$key")
    # valgrind's own options come first: split them from tshark's.
    TSHARK_WRAPPER="${valgrind[*]}" run_tshark_wrapped "$folder" -r "$capture" "${options[@]}" >/dev/null 2>"$out.log"
    sed -n 's/.*Collected : //p' "$out.log"
}
run_tshark_wrapped() {
    local folder=$work/$1
    shift
    local home=${bench_home:-$work/home}
    local env=(env -u XDG_CONFIG_HOME HOME="$home" WIRESHARK_CONFIG_DIR="$home"
               WIRESHARK_PLUGIN_DIR="$folder")
    # shellcheck disable=SC2086
    if [ "$(id -u)" = 0 ]; then
        setpriv --reuid=65534 --regid=65534 --clear-groups "${env[@]}" $TSHARK_WRAPPER "$tshark" "$@"
    else
        "${env[@]}" $TSHARK_WRAPPER "$tshark" "$@"
    fi
}

name() { case $1 in plain | wallp) echo "mixed, no trailers" ;; *) echo "mixed, trailers" ;; esac; }
per_frame() { echo $((($1 - $2) / $3)); }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", a / b }'; }

# ovint's own instructions per frame: only its heuristic is counted, less
# the host's Ethernet dissection it calls.
own_cost() {
    local capture=$1 frames=$2 out=$work/own.out
    local inside ethernet
    inside=$(callgrind with "$capture" "$out" --collect-atstart=no --toggle-collect=dissect_ovint_heur)
    ethernet=$(callgrind_annotate --threshold=100 --inclusive=yes "$out" 2>/dev/null |
        awk '$0 ~ /:call_dissector / { gsub(",", "", $1); print $1; found = 1; exit } END { if (!found) print 0 }')
    echo $(((inside - ethernet) / frames))
}

echo
echo "== Instructions per frame (callgrind, $cg_frames frames of each capture, mean of $repeats set-ups)"
printf '   %-36s %10s %12s %8s  %s\n' "capture, tree" "without" "with ovint" "ratio" "(range of the ratio)"
mean() { awk '{ sum += $1 } END { printf "%d", sum / NR }'; }
for tree in no yes; do
    for capture in plain trail; do
        : >"$work/without.txt"
        : >"$work/with.txt"
        : >"$work/ratios.txt"
        for ((repeat = 0; repeat < repeats; repeat++)); do
            bench_home=$(mktemp -d "$work/home-XXXXXX")
            chmod a+rwx "$bench_home"
            without=$(per_frame "$(callgrind without "$work/$capture/capture.pcap" "$work/w0.out")" \
                "$(callgrind without "$work/empty/capture.pcap" "$work/w0.out")" "$cg_frames")
            with=$(per_frame "$(callgrind with "$work/$capture/capture.pcap" "$work/w1.out")" \
                "$(callgrind with "$work/empty/capture.pcap" "$work/w1.out")" "$cg_frames")
            echo "$without" >>"$work/without.txt"
            echo "$with" >>"$work/with.txt"
            ratio "$with" "$without" >>"$work/ratios.txt"
            echo >>"$work/ratios.txt"
            unset bench_home
        done
        without=$(mean <"$work/without.txt")
        with=$(mean <"$work/with.txt")
        printf '   %-36s %10s %12s %8s  (%s to %s)\n' "$(name "$capture"), tree: $tree" "$without" "$with" \
            "$(ratio "$with" "$without")" "$(sort -n "$work/ratios.txt" | head -n 1)" "$(sort -n "$work/ratios.txt" | tail -n 1)"
    done
done

echo
echo "== ovint's own instructions per frame (its heuristic, less the Ethernet dissection it calls)"
printf '   %-56s %8s %8s\n' "" "measured" "budget"
tree=no
printf '   %-56s %8s %8s\n' "mixed traffic without trailers" "$(own_cost "$work/plain/capture.pcap" "$cg_frames")" 130
printf '   %-56s %8s\n' "60-byte worst case without trailers" "$(own_cost "$work/worst/capture.pcap" "$cg_frames")"
key=off
printf '   %-56s %8s\n' "mixed traffic with trailers, no tree, latency key off" "$(own_cost "$work/trail/capture.pcap" "$cg_frames")"
key=ip
printf '   %-56s %8s %8s\n' "mixed traffic with trailers (none pairs), no tree, key ip" \
    "$(own_cost "$work/trail/capture.pcap" "$cg_frames")" 1500
printf '   %-56s %8s %8s\n' "a router's frames (they pair), no tree, key ip" \
    "$(own_cost "$work/router/capture.pcap" "$router_frames")" 1200
unset key
tree=yes
printf '   %-56s %8s\n' "mixed traffic with trailers, tree (-V)" "$(own_cost "$work/trail/capture.pcap" "$cg_frames")"

# Wall time: rounds alternate which of the two runs first.
wall_seconds() {
    local start end
    start=$(date +%s%N)
    run_tshark "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    echo $((end - start))
}
echo
echo "== Wall time with/without ovint ($wall_frames frames, $rounds interleaved rounds; budget: median at most 1.02)"
for options in "" "-V"; do
    for capture in wallp wallt; do
        ratios=()
        for ((round = 0; round < rounds; round++)); do
            # shellcheck disable=SC2086
            if ((round % 2)); then
                with=$(wall_seconds with -r "$work/$capture/capture.pcap" $options)
                without=$(wall_seconds without -r "$work/$capture/capture.pcap" $options)
            else
                without=$(wall_seconds without -r "$work/$capture/capture.pcap" $options)
                with=$(wall_seconds with -r "$work/$capture/capture.pcap" $options)
            fi
            ratios+=("$(ratio "$with" "$without")")
        done
        printf '   %-30s median %s  (min %s, max %s)\n' "$(name "$capture")${options:+ $options}" \
            "$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')" \
            "$(printf '%s\n' "${ratios[@]}" | sort -n | head -n 1)" "$(printf '%s\n' "${ratios[@]}" | sort -n | tail -n 1)"
    done
done

echo
echo "== Peak resident memory (kB), $wall_frames frames"
for capture in wallp wallt; do
    peak() { TSHARK_WRAPPER="/usr/bin/time -f %M -o $work/peak.txt" run_tshark_wrapped "$1" -r "$work/$capture/capture.pcap" >/dev/null 2>&1; cat "$work/peak.txt"; }
    without=$(peak without)
    with=$(peak with)
    printf '   %-30s without %8s  with %8s  ratio %s\n' "$(name "$capture")" "$without" "$with" "$(ratio "$with" "$without")"
done

# What latency matching keeps per trailer-bearing frame, for the life of
# the capture: tshark's peak memory on a million such frames, key ip
# against key off.
echo
echo "== Latency tables: peak resident memory (kB), $latency_frames trailer-bearing frames, one pass"
mkdir -p "$work/lat"
"$write" --traffic "$latency_frames" --trailers "$work/lat/capture.pcap"
chmod -R a+rX "$work/lat"
# The host's IP dissection is off: it takes most of the time and none of
# ovint's memory (ovint keys frames from their bytes).
peak_key() {
    TSHARK_WRAPPER="/usr/bin/time -f %M -o $work/peak.txt" run_tshark_wrapped with -o "ovint.latency_key:$1" \
        --disable-protocol ip --disable-protocol arp -r "$work/lat/capture.pcap" >/dev/null 2>&1
    cat "$work/peak.txt"
}
off=$(peak_key off)
ip=$(peak_key ip)
printf '   key off %8s  key ip %8s  difference %s bytes per trailer-bearing frame\n' "$off" "$ip" \
    "$(awk -v a="$ip" -v b="$off" -v n="$latency_frames" 'BEGIN { printf "%.1f", (a - b) * 1024 / n }')"
rm -rf "$work/lat"
