#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Latency across the TAP's links, end to end: captures of a device between
# the links, written with what the writer knows of every frame, read by
# tshark with ovint in two passes under each key mode.
set -u
write_captures=$4
latency_program=${5:-}  # ovint-latency, where the host has it
. "$(dirname "$0")/lib.sh" "$1" "$2" "$3"

for device in switch router vlan nat; do
    "$write_captures" --device "$device" "$work/$device.pcap" "$work/$device.expected" || exit 1
done
chmod a+r "$work"/*

# Each later sighting with its earlier one and the latency: every pairing
# the writer knows and no other, or none where the mode cannot see through
# what the device changes (frame on routed traffic, ip behind translation).
pairings() {  # DEVICE MODE [OPTION...]
    local device=$1 mode=$2
    shift 2
    local found
    found=$(with_ovint -o "ovint.latency_key:$mode" "$@" -2 -r "$work/$device.pcap" -Y ovint.latency \
        -T fields -e frame.number -e ovint.latency.earlier -e ovint.latency)
    echo "${found:-none}"
}
# ovint-latency's --pairs in the same form: later frame, earlier, seconds.
program_pairings() {  # MODE CAPTURE...
    local mode=$1 found
    shift
    "$latency_program" --key "$mode" --pairs "$work/pairs.csv" "$@" >/dev/null || echo "status $?"
    found=$(awk -F, 'NR > 1 { printf "%d\t%d\t%d.%09d\n", $2, $1, $7 / 1000000000, $7 % 1000000000 }' \
        "$work/pairs.csv" | sort -n)
    echo "${found:-none}"
}
for device in switch router vlan nat; do
    for mode in frame ip payload; do
        check "$device, key $mode: the pairings and latencies the writer knows" \
            "$(grep "^$mode	" "$work/$device.expected" | cut -f2-)" "$(pairings "$device" "$mode")"
        [ -n "$latency_program" ] &&
            check "$device, key $mode: ovint-latency pairs as the plug-in does" \
                "$(pairings "$device" "$mode")" "$(program_pairings "$mode" "$work/$device.pcap")"
    done
done
# The frames table, frame by frame, as the plug-in shows each: its channel,
# TAP time, Ethernet part (the trailer behind it) and the frame it matched
# (rows come as frames are matched, not in frame order).
# The vlan device's tag gives a frame's two sightings different lengths.
if [ -n "$latency_program" ]; then
    "$latency_program" --frames "$work/frames.csv" "$work/vlan.pcap" >/dev/null
    check "vlan: ovint-latency's frames table shows each frame as the plug-in does" \
        "$(with_ovint -2 -r "$work/vlan.pcap" -Y ovint -T fields -E separator=, -e frame.number -e ovint.channel \
               -e ovint.timestamp -e frame.len -e ovint.latency.earlier -e ovint.latency.later |
           while IFS=, read -r frame channel time length earlier later; do
               echo "$frame,$channel,$((time)),$((length - 20)),$earlier$later"
           done)" \
        "$(awk -F, 'NR > 1 { print $1 "," $3 "," $4 "," $5 "," $8 }' "$work/frames.csv" | sort -t, -k1,1n)"
fi
check "key off: no latency" "none" "$(pairings router off)"
check "a window of 1 ms leaves out the tail beyond it" \
    "$(grep "^ip	" "$work/router.expected" | cut -f2- | awk -F'\t' '$3 <= 0.001')" \
    "$(pairings router ip -o ovint.latency_window:1)"

# The earlier sighting links to the later one, known after the first pass.
check "each earlier sighting names its later one" \
    "$(grep "^ip	" "$work/router.expected" | awk -F'\t' '{ print $3 "\t" $2 }' | sort -n)" \
    "$(with_ovint -2 -r "$work/router.pcap" -Y ovint.latency.later -T fields -e frame.number -e ovint.latency.later)"
check "in one pass the later sighting knows its latency" \
    "$(grep "^ip	" "$work/router.expected" | cut -f2-)" \
    "$(with_ovint -r "$work/router.pcap" -Y ovint.latency -T fields -e frame.number -e ovint.latency.earlier -e ovint.latency)"
# 4.6 shows a relative time in the unit that suits it.
latency_line="[Latency: 0.000003000 seconds]"
host_at_least 4 6 && latency_line="[Latency: 3.000 microseconds]"
check "the trailer's subtree shows both sightings" \
    "[Seen again on Con C in frame 2, 3.000 µs later]
[Seen on Con A in frame 1, 3.000 µs earlier]
$latency_line" \
    "$(with_ovint -2 -r "$work/router.pcap" -c 2 -V | grep -E '^ +\[(Seen|Latency)' | sed 's/^ *//')"

# The latency statistics, in two passes: per direction the frames matched,
# their least and largest latency; per port the frames never seen on the
# other link (dropped by the device, or of that link alone).
latency_rows() {
    with_ovint -2 -q -r "$1" -z ovint_latency,tree |
        awk '/^-+$/ { rule++; next }
             rule == 1 && match($0, /[^ ]  +/) { split(substr($0, RSTART + RLENGTH), rest, " ")
                 name = substr($0, 1, RSTART); sub(/^ +/, "", name)
                 if (name ~ / ns \(/) histogram += rest[1]
                 else if (name ~ /→/) print "direction\t" name "\t" rest[1] "\t" rest[3] "\t" rest[4]
                 else if (name ~ /^Port /) { port = name; unseen[port] = rest[1] } }
             END { for (port in unseen) print "unseen\t" port "\t" unseen[port]; print "histogram\t" histogram }' |
        sort
}
for device in router switch; do
    check "$device: latency statistics per direction and port, all matches in the histogram" \
        "$( (grep -E '^(direction|unseen)' "$work/$device.expected"
             grep -c "^ip	" "$work/$device.expected" | sed 's/^/histogram\t/') | sort)" \
        "$(latency_rows "$work/$device.pcap")"
done

if [ -n "$latency_program" ]; then
    # The report's directions and ports against the writer's figures.
    program_rows() {
        "$latency_program" "$@" | awk '
            / frames matched/ { split($0, a, ":"); name = a[1]; sub(/ frames matched.*/, "", a[2]); count = a[2] + 0 }
            /latency \(/ { match($0, /min [0-9.]+/); least = substr($0, RSTART + 4, RLENGTH - 4)
                           match($0, /max [0-9.]+/); most = substr($0, RSTART + 4, RLENGTH - 4)
                           printf "direction\t%s\t%d\t%d\t%d\n", name, count, least * 1000 + 0.5, most * 1000 + 0.5 }
            /^port / { split($0, a, ":"); port = a[1]; sub(/^port /, "", port); sub(/ \(channel.*/, "", port)
                       match($0, /[0-9]+ not seen/); n = substr($0, RSTART, RLENGTH) + 0
                       if (n) printf "unseen\tPort %s\t%d\n", port, n }' | sort
    }
    check "ovint-latency: matches per direction, least and largest latency, frames not seen per port" \
        "$(grep -E '^(direction|unseen)' "$work/router.expected" | sort)" "$(program_rows "$work/router.pcap")"

    # The report's figures against the writer's, from the JSON report: per
    # direction the least, mean, percentiles, largest latency and jitter; per
    # port the busiest window of each length and where it starts.
    program_figures() {
        "$latency_program" --json "$1" | grep -o -E '\{"from":[^}]*\}|"name":"[^"]*"|\{"window_ns":[^}]*\}' |
            awk -F, '{
                delete v
                for (i = 1; i <= NF; i++) {
                    split($i, kv, ":"); gsub(/[{}"]/, "", kv[1]); gsub(/[{}"]/, "", kv[2]); v[kv[1]] = kv[2]
                }
                if ("from" in v)
                    printf "latency\t%s → %s\t%s %s %s %s %s %s %s %s %s\n", v["from"], v["to"], v["min_ns"],
                           v["mean_ns"], v["median_ns"], v["p90_ns"], v["p99_ns"], v["p99.9_ns"], v["p99.99_ns"],
                           v["max_ns"], v["jitter_ns"]
                else if ("name" in v)
                    port = v["name"]
                else
                    printf "burst\t%s\t%s\t%s\t%s\n", port, v["window_ns"], v["bytes"], v["start_tap_time_ns"]
            }'
    }
    for device in switch router vlan; do
        check "ovint-latency, $device: percentiles, jitter and bursts as the writer knows them" \
            "$(grep -E '^(latency|burst)' "$work/$device.expected")" "$(program_figures "$work/$device.pcap")"
    done

    # Several files are one capture continued: frame numbers run on.
    "$bindir/editcap" -c 300 "$work/router.pcap" "$work/ring.pcap" >/dev/null
    check "ovint-latency: a ring buffer's files read as one capture" \
        "$(program_pairings ip "$work/router.pcap")" "$(program_pairings ip $(ls "$work"/ring_*.pcap))"

    # Compressed tables hold the plain ones' rows, also across many of the
    # compressor's blocks of 64 kB: the frames table takes 120, enough for
    # the compressor to fall the most it may behind the rows.
    "$write_captures" --device router "$work/big.pcap" "$work/big.expected" 50000 2000 || exit 1
    chmod a+r "$work/big.pcap"
    "$latency_program" --pairs "$work/big-pairs.csv" --frames "$work/big-frames.csv" "$work/big.pcap" >/dev/null
    "$latency_program" --pairs "$work/big-pairs.csv.gz" --frames "$work/big-frames.csv.gz" "$work/big.pcap" >/dev/null
    for table in pairs frames; do
        check "ovint-latency: the $table table compressed holds the plain one's rows" \
            "same" "$(gzip -dc "$work/big-$table.csv.gz" | cmp - "$work/big-$table.csv" && echo same)"
    done
    # A full disk, as a file size limit whose writes fail (the signal it
    # sends ignored): one sentence naming the table, status 1, nothing left.
    for table in full.csv full.csv.gz; do
        status=0
        (trap '' XFSZ; ulimit -f 64; exec "$latency_program" --frames "$work/$table" "$work/big.pcap") \
            >/dev/null 2>"$work/stderr.txt" || status=$?
        check "ovint-latency --frames $table: a failed write is one sentence naming it, status 1, nothing left" \
            "1|1|yes|" "$status|$(wc -l <"$work/stderr.txt")|$(grep -qF "$work/$table: " "$work/stderr.txt" && echo yes)|$(ls -A "$work" | grep full)"
    done

    # A capture cut off: the report covers the frames before the cut.
    head -c 20000 "$work/router.pcap" >"$work/cut.pcap"
    chmod a+r "$work/cut.pcap"
    cut_frame=$(($(without_ovint -r "$work/cut.pcap" 2>/dev/null | wc -l) + 1))
    status=0
    "$latency_program" --pairs "$work/cut-pairs.csv" "$work/cut.pcap" >"$work/cut-report.txt" 2>"$work/stderr.txt" ||
        status=$?
    check "ovint-latency: a cut capture is reported up to the cut, status 3" \
        "3|1|cut.pcap: frame $cut_frame: the capture is cut off in the middle of this frame|yes" \
        "$status|$(wc -l <"$work/stderr.txt")|$(grep -o 'cut.pcap: frame [0-9]*: the capture is cut off in the middle of this frame' "$work/stderr.txt")|$(grep -q "^partial: reading ended at frame $cut_frame " "$work/cut-report.txt" && echo yes)"
    status=0
    "$latency_program" --pairs "$work/missing-pairs.csv" "$work/missing.pcap" >/dev/null 2>"$work/stderr.txt" || status=$?
    check "ovint-latency: a missing capture is one sentence, status 1, no table left" \
        "1|1|" "$status|$(wc -l <"$work/stderr.txt")|$(ls -A "$work" | grep missing-pairs)"
    for usage in "--line-rate 3G" "--plot $work/picture.jpg" "--window 0"; do
        status=0
        "$latency_program" $usage "$work/router.pcap" >/dev/null 2>"$work/stderr.txt" || status=$?
        check "ovint-latency $usage: a usage error" "2|1" "$status|$(wc -l <"$work/stderr.txt")"
    done

    # The picture: a histogram and a timeline per direction; without
    # gnuplot, one sentence that says what to install, and no file.
    picture="$work/router's \"picture\".svg"
    "$latency_program" --plot "$picture" "$work/router.pcap" >/dev/null
    check "ovint-latency --plot: an SVG with both directions' histogram and timeline, under its odd name" \
        "$(grep -E '^direction' "$work/router.expected" | awk -F'\t' '{ printf "%s: latencies of %s frames\n", $2, $3 }' | sort)
2" \
        "$(grep -o 'Con [A-D] → Con [A-D]: latencies of [0-9]* frames' "$picture" | sort)
$(grep -c 'latency over TAP time' "$picture")"
    status=0
    PATH=/nonexistent "$latency_program" --plot "$work/unseen.svg" "$work/router.pcap" >/dev/null 2>"$work/stderr.txt" ||
        status=$?
    check "ovint-latency --plot without gnuplot: one sentence naming it, status 1, no file" \
        "1|1|yes|" "$status|$(wc -l <"$work/stderr.txt")|$(grep -q 'apt install gnuplot' "$work/stderr.txt" && echo yes)|$(ls -A "$work" | grep unseen)"
fi

finish
