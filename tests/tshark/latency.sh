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

# Each with a line rate for the busiest bits on the wire; and a busy router,
# frames closer than the line allows.
declare -A line_rate=([switch]=10 [router]=1 [vlan]=25 [nat]=100 [busy]=10)
for device in switch router vlan nat; do
    "$write_captures" --device "$device" --line-rate "${line_rate[$device]}" "$work/$device.pcap" \
        "$work/$device.expected" || exit 1
done
"$write_captures" --device router --line-rate "${line_rate[busy]}" "$work/busy.pcap" "$work/busy.expected" 3000 1500 ||
    exit 1
# Routers that wrap their packets on link 2: every key but frame finds the
# same IP packet on both links.
wrapping="qinq mpls pppoe vxlan gre"
for device in $wrapping; do
    "$write_captures" --device "$device" "$work/$device.pcap" "$work/$device.expected" || exit 1
done
# A router whose link 2 takes packets of at most 576 bytes: it cuts longer
# ones into pieces. Long enough that most pieces are not at its edge.
"$write_captures" --device fragmenting "$work/fragmenting.pcap" "$work/fragmenting.expected" 400 2000000 || exit 1
# A router that holds some frames 300 ms, beyond the default window.
"$write_captures" --device router --hold 300 "$work/held.pcap" "$work/held.expected" 400 2000000 || exit 1
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
    "$latency_program" --force --key "$mode" --pairs "$work/pairs.csv" "$@" >/dev/null || echo "status $?"
    found=$(awk -F, 'NR > 1 { printf "%d\t%d\t%d.%09d\n", $2, $1, $7 / 1000000000, $7 % 1000000000 }' \
        "$work/pairs.csv" | sort -n)
    echo "${found:-none}"
}
for device in switch router vlan nat $wrapping fragmenting; do
    for mode in frame ip payload nat; do
        check "$device, key $mode: the pairings and latencies the writer knows" \
            "$(grep "^$mode	" "$work/$device.expected" | cut -f2-)" "$(pairings "$device" "$mode")"
        [ -n "$latency_program" ] &&
            check "$device, key $mode: ovint-latency pairs as the plug-in does" \
                "$(pairings "$device" "$mode")" "$(program_pairings "$mode" "$work/$device.pcap")"
    done
done
# The frames table, frame by frame, as the plug-in and the host's own
# dissectors show each: its channel, TAP time, Ethernet part (the trailer
# behind it), the frame it matched (rows come as frames are matched, not in
# frame order), and its addresses, protocol, ports, DSCP and outer VLAN.
# The vlan device's tag gives a frame's two sightings different lengths.
if [ -n "$latency_program" ]; then
    "$latency_program" --frames "$work/frames.csv" "$work/vlan.pcap" >/dev/null
    check "vlan: ovint-latency's frames table shows each frame as the plug-in and the host do" \
        "$(with_ovint -2 -r "$work/vlan.pcap" -Y ovint -T fields -E separator=, -E occurrence=f -e frame.number \
               -e ovint.channel -e ovint.timestamp -e frame.len -e ovint.latency.earlier -e ovint.latency.later \
               -e ip.src -e ip.dst -e ip.proto -e tcp.srcport -e udp.srcport -e tcp.dstport -e udp.dstport \
               -e ip.dsfield.dscp -e vlan.id |
           while IFS=, read -r frame channel time length earlier later src dst proto tsrc usrc tdst udst dscp vlan; do
               echo "$frame,$channel,$((time)),$((length - 20)),$earlier$later,$src,$dst,$proto,$tsrc$usrc,$tdst$udst,$dscp,$vlan"
           done)" \
        "$(awk -F, 'NR > 1 { print $1 "," $3 "," $4 "," $5 "," $8 "," $9 "," $10 "," $11 "," $12 "," $13 "," $14 "," $15 }' \
               "$work/frames.csv" | sort -t, -k1,1n)"
fi
check "key off: no latency" "none" "$(pairings router off)"
# Cabled the other way round, the router forwards in no direction its
# frames were seen in: nothing pairs; learnt, the cabling is the README's.
check "cabling B-D: no pair in a direction the device does not forward" "none" \
    "$(pairings router ip -o ovint.latency_cabling:B-D)"
check "cabling B-D: the Latency statistics count the frames against it, and name the cabling that fits" \
    "Cabling: Con B and Con C toward the device (B-D, as set; contradicted: 64 of the first 64 pairs fit A-C)
Met a partner only in a direction the device does not forward 397" \
    "$(with_ovint -2 -q -o ovint.latency_cabling:B-D -r "$work/router.pcap" -z ovint_latency,tree |
       sed -n -E 's/^ *(Cabling: .*\)) +[0-9]+ .*/\1/p; s/^(Met a partner [a-z ]+[a-z]) +([0-9]+) .*/\1 \2/p')"
if [ -n "$latency_program" ]; then
    check "ovint-latency: the cabling learnt, and frames only in a direction not forwarded, a cabling contradicted" \
        "A-C learnt 0 None
B-D given 397 A-C" \
        "$(for cabling in auto B-D; do
               "$latency_program" --json --cabling "$cabling" "$work/router.pcap" |
                   python3 -c 'import json, sys; r = json.load(sys.stdin)
print(r["cabling"]["name"], r["cabling"]["from"], r["wrong_direction"]["frames"], r["cabling"]["contradicted_by"])'
           done)"
fi
check "a window of 1 ms leaves out the tail beyond it" \
    "$(grep "^ip	" "$work/router.expected" | cut -f2- | awk -F'\t' '$3 <= 0.001')" \
    "$(pairings router ip -o ovint.latency_window:1)"
check "a window of 0 ms is refused with a sentence, and the window stays" \
    "tshark: The latency window must be at least 1 ms; it stays at 100 ms.
$(grep -c "^ip	" "$work/router.expected")" \
    "$(with_ovint -2 -o ovint.latency_window:0 -r "$work/router.pcap" -Y ovint.latency -T fields -e frame.number 2>&1 |
       awk '/^tshark:/ { print; next } { n++ } END { print n }')"

# Expert information: the TAP's CRC errors (every frame the writer damages),
# frames not seen on the other link and, the capture being shorter than the
# window, those at its edge told so (known in two passes only), and pairs
# above a threshold of 1 ms; each text the same whatever the preferences.
expert_counts() {  # OPTION...
    with_ovint "$@" -q -o ovint.latency_threshold:1000 -z expert -r "$work/router.pcap" |
        awk '/ovint / { sub(/^ +/, ""); split($0, f, /  +/); n[f[4]] += f[1] }
             END { for (s in n) print n[s] "\t" s }' | sort -k2
}
unseen_count=$(awk -F'\t' '$1 == "fate" && $3 == "not_seen_leaving" { n += $4 } END { print n }' "$work/router.expected")
flagged_count=$(awk -F'\t' '$1 == "nokey" { n += $3 } END { print n }' "$work/router.expected")
above_count=$(awk -F'\t' '$1 == "ip" && $4 > 0.001' "$work/router.expected" | wc -l)
edge_count=$(awk -F'\t' '$1 == "fate" && $3 == "at_edge" { n += $4 } END { print n }' "$work/router.expected")
check "expert information: CRC errors, frames not seen on the other link, a capture shorter than the window, latencies above the threshold" \
    "$above_count	Latency above the threshold
$unseen_count	Not seen on the other link within the latency window
$flagged_count	The TAP flagged a CRC error
$edge_count	The capture is shorter than the latency window: a shorter window tells more" \
    "$(expert_counts -2)"
check "expert information in one pass: the flags and the threshold, nothing yet not seen" \
    "$above_count	Latency above the threshold
$flagged_count	The TAP flagged a CRC error" \
    "$(expert_counts)"

# The "BRAXEL TAP" profile as the build makes it for this host (and the
# package installs it): its columns show each frame's port and latency; its
# colouring rules mark the frames the TAP flagged, then those not seen on
# the other link.
profile="$(dirname "$module")/profile/BRAXEL TAP"
mkdir -p "$work/config/profiles"
cp -r "$profile" "$work/config/profiles/"
chmod -R a+rX "$work/config/profiles"
check "the BRAXEL TAP profile: the port and latency (µs) columns" \
    "1 Con A
2 Con C 3
4 Con C 3.251" \
    "$(with_ovint -C "BRAXEL TAP" -2 -r "$work/router.pcap" -c 4 |
       awk '$6 == 2 || NR == 1 { printf "%s %s %s", $1, $4, $5; if ($7 ~ /^[0-9]+(\.[0-9]+)?$/) printf " %s", $7; print "" }')"
# Its colours are ovint's own: none is a colour of the host's rules, which
# follow ovint's in the same file.
check "the BRAXEL TAP profile: no colour of ovint's rules is one of the host's" \
    "" \
    "$(python3 -c 'import re, sys
rules = [line for line in open(sys.argv[1]) if line.startswith("@")]
colours = lambda lines: {c for line in lines for c in re.findall(r"\[[0-9,]+\]", line)}
ours = [line for line in rules if "@ovint." in line]
print(" ".join(sorted(colours(ours) & colours(set(rules) - set(ours)))))' "$profile/colorfilters")"
# From 4.4 the profile tells conversations apart by MAC and interface, and
# ovint makes the TAP link part of the interface: behind a switch (the same
# MACs on both links) a segment's second sighting is no retransmission.
if host_at_least 4 4; then
    retransmissions() { with_ovint "$@" -2 -r "$work/switch.pcap" -Y tcp.analysis.retransmission | wc -l; }
    default_count=$(retransmissions)
    profile_count=$(retransmissions -C "BRAXEL TAP")
    check "the BRAXEL TAP profile: a switch's second sightings are not retransmissions ($default_count, then $profile_count)" \
        "yes" "$( [ "$default_count" -gt 20 ] && [ $((profile_count * 100)) -le $((default_count * 12)) ] && echo yes)"
fi
# Under the profile the TAP link is part of each frame's VLAN, which IPv4
# reassembly mixes into the identification: each link's pieces make their
# own datagram, never one with another's pieces.
"$write_captures" --colliding-fragments "$work/colliding.pcap" || exit 1
chmod a+r "$work/colliding.pcap"
check "the BRAXEL TAP profile: each link's fragments reassembled apart, none into another datagram" \
    "1 bb
2 bb" "$(with_ovint -C "BRAXEL TAP" -2 -r "$work/colliding.pcap" -Y "ip.id == 0x3100 && udp" -T fields \
             -e ovint.channel -e data.data | awk -F'\t' '{ print $1, substr($2, 1, 2) }')"
# Every filter the profile holds (buttons, graphs) is one the host accepts.
while IFS= read -r filter; do
    check "the BRAXEL TAP profile's filter is valid: $filter" "0" \
        "$(with_ovint -r "$work/router.pcap" -c 1 -Y "$filter" >/dev/null 2>&1; echo $?)"
done < <(grep -h '^"' "$profile/dfilter_buttons" "$profile/io_graphs" | cut -d'"' -f6 | sort -u)
held_flagged=$(awk -F'\t' '$1 == "nokey" { n += $3 } END { print n }' "$work/held.expected")
held_unseen=$(awk -F'\t' '$1 == "fate" && $3 == "not_seen_leaving" { n += $4 } END { print n }' "$work/held.expected")
check "the BRAXEL TAP profile: frames the TAP flagged, then frames not seen on the other link, coloured" \
    "$held_flagged	TAP errors
$((held_unseen - held_flagged))	Not seen on the other link" \
    "$(with_ovint -C "BRAXEL TAP" -2 --color -r "$work/held.pcap" -T fields -e frame.coloring_rule.name |
       grep -E '^(TAP errors|Not seen)' | sort | uniq -c | sort -k2 -r | awk '{ n = $1; $1 = ""; sub(/^ /, ""); print n "\t" $0 }')"

# Every trailer-bearing frame's fate, per port, once the capture has been
# read through, and its expert entries: the loss, the late, and the frames
# seen on one link only that are no loss.
for device in router held fragmenting; do
    check "$device: every frame's fate per port (ovint.fate), as the writer knows it" \
        "$(grep -E '^fate' "$work/$device.expected" | sort)" \
        "$(with_ovint -2 -r "$work/$device.pcap" -T fields -e ovint.port -e ovint.fate |
           python3 -c 'import sys, collections
ports = {0x80: "Con A", 0x40: "Con B", 0x20: "Con C", 0x10: "Con D"}  # 3.2 writes 0x00000080
names = ["forwarded", "ambiguous", "fragmented", "late", "for_device", "from_device", "merged", "at_edge",
         "no_key", "not_seen_leaving"]
n = collections.Counter(tuple(line.split()) for line in sys.stdin if line.strip())
for (port, fate), count in n.items():
    print("fate\t%s\t%s\t%d" % (ports[int(port, 16)], names[int(fate)], count))' | sort)"
done
held_late=$(awk -F'\t' '$1 == "fate" && $3 == "late" { n += $4 } END { print n }' "$work/held.expected")
held_own=$(awk -F'\t' '$1 == "fate" && $3 == "from_device" { n += $4 } END { print n }' "$work/held.expected")
check "held: expert information for the late, the device's own and the loss" \
    "$(printf '%s\n' "$held_own	Seen on one link only, and not lost" \
                     "$held_late	Seen on the other link only after the latency window" \
                     "$held_unseen	Not seen on the other link within the latency window" | sort)" \
    "$(with_ovint -2 -q -z expert -r "$work/held.pcap" |
       awk '/ovint .*(one link|after the latency|Not seen)/ { sub(/^ +/, ""); split($0, f, /  +/); print f[1] "\t" f[4] }' |
       sort)"

# The earlier sighting links to the later one, known after the first pass.
check "each earlier sighting names its later one" \
    "$(grep "^ip	" "$work/router.expected" | awk -F'\t' '{ print $3 "\t" $2 }' | sort -n)" \
    "$(with_ovint -2 -r "$work/router.pcap" -Y ovint.latency.later -T fields -e frame.number -e ovint.latency.later)"
# Unless it was written first: then only its earlier sighting, read second,
# learns of the pair.
check "in one pass the later sighting knows its latency, when written second" \
    "$(grep "^ip	" "$work/router.expected" | awk -F'\t' '$2 > $3' | cut -f2-)" \
    "$(with_ovint -r "$work/router.pcap" -Y ovint.latency -T fields -e frame.number -e ovint.latency.earlier -e ovint.latency)"
# 4.6 shows a relative time in the unit that suits it.
latency_line="[Latency: 0.000003000 seconds]"
host_at_least 4 6 && latency_line="[Latency: 3.000 microseconds]"
check "the trailer's subtree shows both sightings" \
    "[Seen again on Con C in frame 2, 3.000 µs later]
[Seen on Con A in frame 1, 3.000 µs earlier]
$latency_line
[Latency (µs): 3]" \
    "$(with_ovint -2 -r "$work/router.pcap" -c 2 -V | grep -E '^ +\[(Seen|Latency)' | sed 's/^ *//')"

# The latency statistics, in two passes: per direction the frames matched,
# their least and largest latency; per port the frames never seen on the
# other link (dropped by the device, or of that link alone).
latency_rows() {
    with_ovint "$@" -q -z ovint_latency,tree |
        awk '/^-+$/ { rule++; next }
             rule == 1 && match($0, /[^ ]  +/) { split(substr($0, RSTART + RLENGTH), rest, " ")
                 name = substr($0, 1, RSTART); sub(/^ +/, "", name)
                 if ($0 !~ /^ /) top = name
                 if (name ~ / ns \(/) histogram += rest[1]
                 else if (name ~ /→/) { direction = name; matched = rest[1] }
                 else if (name == "Latency histogram (ns)")
                     print "direction\t" direction "\t" matched "\t" rest[3] "\t" rest[4]
                 else if (name ~ /^Port / && top ~ /^Not seen/) { port = name; unseen[port] = rest[1] }
                 else if (name ~ /^Port / && top ~ /^At the capture/) edge[name] = rest[1]
                 else if (name ~ /^without a key/) nokey[port] = rest[1]
                 else if (name ~ /^Seen on the other link only after/) late = rest[1]
                 else if (top ~ /^Seen on the other link only after/ && name ~ /^a window of/) {
                     split(name, words, " "); late_window = words[4] } }
             END { for (port in unseen) print "unseen\t" port "\t" unseen[port]
                   for (port in edge) print "edge\t" port "\t" edge[port]
                   for (port in nokey) print "nokey\t" port "\t" nokey[port]
                   if (late) print "late\t" late "\t" late_window
                   print "histogram\t" histogram }' |
        sort
}
for device in router switch held; do
    check "$device: latency statistics per direction and port, all matches in the histogram" \
        "$( (grep -E '^(direction|unseen|edge|nokey)' "$work/$device.expected"
             grep -E '^late\b' "$work/$device.expected" | cut -f1,2,4
             grep -c "^ip	" "$work/$device.expected" | sed 's/^/histogram\t/') | sort)" \
        "$(latency_rows -2 -r "$work/$device.pcap")"
done
# In one pass a pair is counted when its second sighting is read, whichever
# came first; whether a frame is never seen again is not known yet.
check "router: in one pass, every pair and nothing not seen" \
    "$( (grep -E '^direction' "$work/router.expected"
         grep -c "^ip	" "$work/router.expected" | sed 's/^/histogram\t/') | sort)" \
    "$(latency_rows -r "$work/router.pcap")"

if [ -n "$latency_program" ]; then
    # Per direction the plug-in's figures (least, mean, median, p99, p99.9,
    # largest; in µs to the ns) are ovint-latency's, to the ns.
    for device in router switch held; do
        check "$device: the Latency statistics' figures per direction are ovint-latency's" \
            "$("$latency_program" --json "$work/$device.pcap" | python3 -c 'import json, sys
for d in json.load(sys.stdin)["directions"]:
    if d["matched"]:
        print(d["from"], "→", d["to"], *(d[f] for f in ("min_ns", "mean_ns", "median_ns", "p99_ns", "p99_9_ns", "max_ns")))')" \
            "$(with_ovint -2 -q -r "$work/$device.pcap" -z ovint_latency,tree |
               awk '/^ [^ ].* → / { if (line) print line; line = $1 " " $2 " → " $4 " " $5 }
                    /^   [a-z].* µs  / { match($0, /[0-9]+\.[0-9]+ µs/); value = substr($0, RSTART, RLENGTH - 4)
                                         sub(/\./, "", value); line = line " " value + 0 }
                    END { if (line) print line }')"
    done
    # The report's directions and ports against the writer's figures.
    program_rows() {
        "$latency_program" "$@" | awk '
            / matched, / { split($0, a, ":"); name = a[1]; match(a[2], /[0-9]+ matched/); count = substr(a[2], RSTART) + 0 }
            /latency \(/ { match($0, /min [0-9.]+/); least = substr($0, RSTART + 4, RLENGTH - 4)
                           match($0, /max [0-9.]+/); most = substr($0, RSTART + 4, RLENGTH - 4)
                           printf "direction\t%s\t%d\t%d\t%d\n", name, count, least * 1000 + 0.5, most * 1000 + 0.5 }
            /^port / { split($0, a, ":"); port = a[1]; sub(/^port /, "", port); sub(/ \(channel.*/, "", port)
                       match($0, /[0-9]+ not seen/); n = substr($0, RSTART, RLENGTH) + 0
                       if (n) printf "unseen\tPort %s\t%d\n", port, n
                       if (match($0, /[0-9]+ at the capture/))
                           printf "edge\tPort %s\t%d\n", port, substr($0, RSTART, RLENGTH) + 0
                       if (match($0, /[0-9]+ of them without a key/))
                           printf "nokey\tPort %s\t%d\n", port, substr($0, RSTART, RLENGTH) + 0 }' | sort
    }
    check "ovint-latency: matches per direction, least and largest latency, frames not seen per port" \
        "$(grep -E '^(direction|unseen|edge|nokey)' "$work/router.expected" | sort)" "$(program_rows "$work/router.pcap")"
    check "ovint-latency: frames held beyond the window, per port, and the window that would have held them" \
        "$(grep -E '^(direction|unseen|edge|nokey|late\b)' "$work/held.expected" | sort)" \
        "$( (program_rows "$work/held.pcap"
             "$latency_program" --json "$work/held.pcap" | python3 -c 'import json, sys
c = json.load(sys.stdin)["window_check"]
print("late\t%d\t%d\t%d" % (c["late_partners"], c["latest_partner_ns"], c["window_that_holds_ms"]))') | sort)"

    # Every trailer-bearing frame's fate, per port, in the JSON report and
    # in the frames table's last column.
    for device in switch router vlan held $wrapping fragmenting; do
        "$latency_program" --force --frames "$work/fates.csv" --json "$work/$device.pcap" >"$work/fates.json"
        check "ovint-latency, $device: every frame's fate per port as the writer knows it, in JSON and the table" \
            "$(grep -E '^fate' "$work/$device.expected" | sort)
$(grep -E '^fate' "$work/$device.expected" | sort)" \
            "$(python3 -c 'import json, sys
for p in json.load(open(sys.argv[1]))["ports"]:
    for fate, n in p["fates"].items():
        if n: print("fate\t%s\t%s\t%d" % (p["name"], fate, n))' "$work/fates.json" | sort)
$(awk -F, 'NR > 1 { n["fate\t" $2 "\t" $NF]++ } END { for (k in n) print k "\t" n[k] }' "$work/fates.csv" | sort)"
    done

    # The plug-in and ovint-latency give every frame the same fate, also
    # where equal frames leave after a window of 1 ms (a pair that may be
    # two frames': late all the same, no measure of the window), and where
    # packets the device fragmented are still waiting, with their pieces,
    # when the capture ends (the pieces told after the packet).
    "$write_captures" --device router "$work/equal.pcap" "$work/equal.expected" 12000 20000 &&
        "$write_captures" --device fragmenting "$work/pieces.pcap" "$work/pieces.expected" 2000 7000 &&
        chmod a+r "$work/equal.pcap" "$work/pieces.pcap" || exit 1
    while read -r capture window what; do
        "$latency_program" --window "$window" --force --frames "$work/fates.csv" "$work/$capture.pcap" >/dev/null
        check "$what: the plug-in's fate of every frame is ovint-latency's" \
            "$(awk -F, 'NR > 1 { print $1 "\t" $NF }' "$work/fates.csv" | sort -n)" \
            "$(with_ovint -2 -o "ovint.latency_window:$window" -r "$work/$capture.pcap" -T fields -e frame.number \
                -e ovint.fate |
               awk -F'\t' 'BEGIN { split("forwarded ambiguous fragmented late for_device from_device merged at_edge no_key not_seen_leaving", name, " ") }
                            $2 != "" { print $1 "\t" name[$2 + 1] }' | sort -n)"
    done <<'CASES'
equal 1 equal frames late
pieces 10 packets fragmented at the capture's end
CASES

    # The report's figures against the writer's, from the JSON report: per
    # direction the least, mean, percentiles, largest latency and jitter; per
    # port the busiest window of each length, where it starts and its first
    # frame (bits on the wire with a line rate).
    program_figures() {  # CAPTURE [OPTION...]
        "$latency_program" --json "$@" | grep -o -E '\{"from":[^}]*\}|"name":"[^"]*"|\{"window_ns":[^}]*\}' |
            awk -F, '{
                delete v
                for (i = 1; i <= NF; i++) {
                    split($i, kv, ":"); gsub(/[{}"]/, "", kv[1]); gsub(/[{}"]/, "", kv[2]); v[kv[1]] = kv[2]
                }
                if ("from" in v)
                    printf "latency\t%s → %s\t%s %s %s %s %s %s %s %s %s\n", v["from"], v["to"], v["min_ns"],
                           v["mean_ns"], v["median_ns"], v["p90_ns"], v["p99_ns"], v["p99_9_ns"], v["p99_99_ns"],
                           v["max_ns"], v["jitter_ns"]
                else if ("name" in v)
                    port = v["name"]
                else
                    printf "%s\t%s\t%s\t%s\t%s\t%s\n", "bits" in v ? "wire" : "burst", port, v["window_ns"],
                           "bits" in v ? v["bits"] : v["bytes"], v["start_tap_time_ns"], v["start_frame"]
            }'
    }
    # Per group of traffic as it entered the device, as "group BY KEY
    # MATCHED LOST [MIN MEDIAN P99 P99.9 MAX]", a flow's key as
    # src:port>dst:port/protocol.
    program_groups() {  # BY CAPTURE [OPTION...]
        "$latency_program" --json --by "$@" | python3 -c 'import json, sys
by = sys.argv[1]
for e in json.load(sys.stdin)["groups"]["entries"]:
    if by == "flow":
        key = "none" if e["src"] is None else "%s:%s>%s:%s/%s" % (
            e["src"], e["src_port"], e["dst"], e["dst_port"], e["protocol"])
    else:
        key = "none" if e[by] is None else str(e[by])
    row = ["group", by, key, e["matched"], e["not_seen_leaving"]]
    if e["matched"]:
        row += [e[k] for k in ("min_ns", "median_ns", "p99_ns", "p99_9_ns", "max_ns")]
    print("\t".join(map(str, row)))' "$1"
    }
    # (The held capture is longer than the window: frames of link 2's own
    # are not at its edge, and not frames that entered the device.)
    for device in switch router vlan busy held qinq vxlan; do
        for by in flow dscp vlan protocol; do
            check "ovint-latency --by $by, $device: each group's latency and loss as the writer knows them" \
                "$(grep "^group	$by	" "$work/$device.expected" | sort)" \
                "$(program_groups "$by" "$work/$device.pcap" --top 100000000 | sort)"
        done
        [ "$device" = held ] || [ "$device" = qinq ] || [ "$device" = vxlan ] && continue
        # The first groups by each order: the writer's largest figures.
        for order in p99:8 count:4 max:10; do
            check "ovint-latency --by flow --top 5 --sort ${order%:*}, $device: the writer's five largest" \
                "$(grep "^group	flow	" "$work/$device.expected" |
                   awk -F'\t' '{ print ($4 + $5) "\t" $0 }' | cut -f "$([ "${order%:*}" = count ] && echo 1 || echo "$((${order#*:} + 1))")" |
                   sort -rn | head -n 5)" \
                "$(program_groups flow "$work/$device.pcap" --top 5 --sort "${order%:*}" |
                   awk -F'\t' '{ print ($4 + $5) "\t" $0 }' | cut -f "$([ "${order%:*}" = count ] && echo 1 || echo "$((${order#*:} + 1))")")"
        done
        check "ovint-latency, $device: percentiles, jitter and bursts as the writer knows them" \
            "$(grep -E '^(latency|burst)' "$work/$device.expected")" "$(program_figures "$work/$device.pcap")"
        check "ovint-latency --line-rate ${line_rate[$device]}G, $device: the busiest bits on the wire as the writer knows them" \
            "$(grep '^wire' "$work/$device.expected")" \
            "$(program_figures "$work/$device.pcap" --line-rate "${line_rate[$device]}G" | grep '^wire')"
    done

    # The JSON lines in pandas, as the README reads them: a row a direction,
    # port and group, with the JSON report's figures.
    "$latency_program" --json --by dscp "$work/busy.pcap" >"$work/report.json"
    "$latency_program" --json-lines --by dscp "$work/busy.pcap" >"$work/report.jsonl"
    check "ovint-latency --json-lines: pandas reads the JSON report's directions, ports and groups" "same" \
        "$(/usr/bin/python3 - "$work/report.json" "$work/report.jsonl" <<'PY'
import json, sys
import pandas as pd
report = json.load(open(sys.argv[1]))
lines = pd.read_json(sys.argv[2], lines=True)
def figures(rows, names):
    return [tuple(str(row[n]) if isinstance(row[n], str) else int(row[n]) for n in names) for row in rows]
direction = ["from", "to", "entered", "matched", "not_seen_leaving", "p99_ns", "max_ns", "jitter_ns"]
port = ["name", "frames", "not_seen_on_other_link", "at_capture_edge"]
group = ["label", "matched", "not_seen_leaving", "median_ns", "p99_ns"]
expected = (figures(report["directions"], direction), figures(report["ports"], port),
            figures(report["groups"]["entries"], group))
got = tuple(figures(lines[lines.record == kind].to_dict("records"), names)
            for kind, names in (("direction", direction), ("port", port), ("group", group)))
print("same" if got == expected and len(expected[0]) else "%r against %r" % (got, expected))
PY
)"

    # The pairs table grouped by DSCP, as the README's query does it (nearest
    # rank: the least latency whose rank r has 100 r >= 99 n), gives the
    # report's p99 of each class.
    "$latency_program" --force --pairs "$work/pairs.csv" "$work/busy.pcap" >/dev/null
    check "ovint-latency: the pairs table grouped by DSCP gives the report's p99 of each class" \
        "$(program_groups dscp "$work/busy.pcap" | cut -f 3,4,8 | sort)" \
        "$(python3 -c 'import csv, sys
groups = {}
for row in csv.DictReader(open(sys.argv[1])):
    groups.setdefault(row["dscp"], []).append(int(row["latency_ns"]))
for dscp, latencies in sorted(groups.items()):
    latencies.sort()
    n = len(latencies)
    print("%s\t%d\t%d" % (dscp, n, min(l for r, l in enumerate(latencies, 1) if 100 * r >= 99 * n)))' "$work/pairs.csv" | sort)"

    # The standard definitions move every pair by its frames' time on the
    # wire: (Ethernet part + FCS) x 8 bits at its link's rate, to the
    # nearest ns; below zero kept signed, and counted. The vlan device's
    # tag makes a frame's two sightings differ in length, and link 1 at
    # 1G against link 2 at 10G makes LIFO of a long frame negative.
    "$write_captures" --device vlan "$work/long.pcap" "$work/long.expected" 3000 5000 || exit 1
    "$latency_program" --line-rate 1G,10G --pairs "$work/fifo.csv" --frames "$work/fifo-frames.csv" \
        "$work/long.pcap" >/dev/null
    for definition in fifo lifo lilo filo; do
        below=$("$latency_program" --json --definition "$definition" --line-rate 1G,10G \
            --pairs "$work/$definition.csv" --force "$work/long.pcap" |
            python3 -c 'import json, sys; print(json.load(sys.stdin)["below_zero"])')
        check "ovint-latency --definition $definition --line-rate 1G,10G: every pair moved by its frames' time on the wire" \
            "same" "$(python3 - "$definition" "$below" "$work/fifo.csv" "$work/$definition.csv" "$work/fifo-frames.csv" <<'PY'
import csv, sys
definition, below, fifo, moved, frames = sys.argv[1], int(sys.argv[2]), *sys.argv[3:]
rates = {"1": 10**9, "2": 10**10}
frame = {row["frame"]: row for row in csv.DictReader(open(frames))}
def duration(number):
    bits_ns = (int(frame[number]["length"]) + 4) * 8 * 10**9
    rate = rates[frame[number]["channel"]]
    return (bits_ns + rate // 2) // rate
column = "latency_ns" if definition == "fifo" else "latency_%s_ns" % definition
negative = 0
for a, b in zip(csv.DictReader(open(fifo)), csv.DictReader(open(moved))):
    early, late = duration(a["earlier_frame"]), duration(a["later_frame"])
    want = int(a["latency_ns"]) + {"fifo": 0, "lifo": -early, "lilo": late - early, "filo": late}[definition]
    negative += want < 0
    if a["earlier_frame"] != b["earlier_frame"] or int(b[column]) != want:
        sys.exit("pair %s: %s, not %d" % (a["earlier_frame"], b[column], want))
print("same" if negative == below and (negative > 0 or definition != "lifo") else
      "below zero: %d, not %d" % (below, negative))
PY
)"
    done

    # Several files are one capture continued: frame numbers run on.
    "$bindir/editcap" -c 300 "$work/router.pcap" "$work/ring.pcap" >/dev/null
    check "ovint-latency: a ring buffer's files read as one capture" \
        "$(program_pairings ip "$work/router.pcap")" "$(program_pairings ip $(ls "$work"/ring_*.pcap))"

    # Sightings made file by file (as the Dask program's tasks make them)
    # and matched together: the report, tables and exit status of the
    # captures, byte for byte, also for a ring whose last file is cut off.
    # A sightings file damaged or foreign is refused whole, in one sentence.
    head -c -7 "$(ls "$work"/ring_*.pcap | tail -n 1)" >"$work/cut-ring.pcap"
    # (And one capture alone, cut into some forty stretches, each read and
    # keyed by a thread of its own, which come back in any order with -j 8.)
    "$write_captures" --device router "$work/stretched.pcap" "$work/stretched.expected" 20000 2000 || exit 1
    rings=("$(ls "$work"/ring_*.pcap)" "$(ls "$work"/ring_*.pcap | head -n -1) $work/cut-ring.pcap"
           "$work/stretched.pcap")
    for ring in "${rings[@]}"; do
        options=(--by dscp --line-rate 10G,1G --definition filo)
        status=0
        "$latency_program" "${options[@]}" --force --pairs "$work/from-captures.csv" $ring \
            >"$work/from-captures.txt" 2>/dev/null || status=$?
        made=
        for capture in $ring; do
            "$latency_program" --force --sightings "$capture.sightings" "$capture" 2>/dev/null
            made="$made $capture.sightings"
        done
        sighted=0
        "$latency_program" "${options[@]}" --force --pairs "$work/from-sightings.csv" --from-sightings $made \
            >"$work/from-sightings.txt" 2>/dev/null || sighted=$?
        check "ovint-latency --from-sightings: the report and table of $(echo $ring | wc -w) captures, status $status" \
            "same $status" \
            "$(cmp -s "$work/from-captures.txt" "$work/from-sightings.txt" &&
               cmp -s "$work/from-captures.csv" "$work/from-sightings.csv" && echo same) $sighted"
        # One thread in all, as two (the default here: one reads while one
        # matches) and eight (seven read).
        for jobs in 1 8; do
            threaded=0
            "$latency_program" -j $jobs "${options[@]}" --force --pairs "$work/threads.csv" $ring \
                >"$work/threads.txt" 2>/dev/null || threaded=$?
            check "ovint-latency -j $jobs: the report and table of $(echo $ring | wc -w) captures as -j 2's, status $status" \
                "same $status" \
                "$(cmp -s "$work/from-captures.txt" "$work/threads.txt" &&
                   cmp -s "$work/from-captures.csv" "$work/threads.csv" && echo same) $threaded"
        done
    done
    first=$(ls "$work"/ring_*.pcap.sightings | head -n 1)
    size=$(stat -c %s "$first")
    head -c $((size - 3)) "$first" >"$work/short.sightings"
    cp "$first" "$work/flipped.sightings"
    printf '\xff' | dd of="$work/flipped.sightings" bs=1 seek=$((size / 2)) conv=notrunc 2>/dev/null
    "$latency_program" --force --key frame --sightings "$work/keyed-by-frame.sightings" "$work/router.pcap" 2>/dev/null
    for refused in short flipped foreign keyed-by-frame; do
        [ "$refused" = foreign ] && cp "$work/router.pcap" "$work/foreign.sightings"
        status=0
        "$latency_program" --from-sightings "$first" "$work/$refused.sightings" >"$work/stdout.txt" \
            2>"$work/stderr.txt" || status=$?
        # (Without --key given, none is asked to be left out.)
        check "ovint-latency --from-sightings, a $refused file: one sentence, status 1, no report" \
            "1|1|0|0" "$status|$(wc -l <"$work/stderr.txt")|$(wc -c <"$work/stdout.txt")|$(grep -c -- --key "$work/stderr.txt")"
    done

    # The Dask program, on a local cluster of two workers: ovint-latency's
    # report and exit status on the same files.
    dask_program=$(dirname "$latency_program")/ovint-latency-dask
    if /usr/bin/python3 -c 'import distributed' 2>/dev/null; then
        for ring in "${rings[@]}"; do
            status=0
            "$latency_program" --json --by flow $ring >"$work/expected.json" 2>/dev/null || status=$?
            dasked=0
            "$dask_program" --workers 2 --program "$latency_program" --json --by flow $ring >"$work/dask.json" \
                2>/dev/null || dasked=$?
            check "ovint-latency-dask --workers 2: ovint-latency's report of $(echo $ring | wc -w) captures, status $status" \
                "same $status" "$(cmp -s "$work/expected.json" "$work/dask.json" && echo same) $dasked"
        done
        # What goes wrong is said in one sentence that names where: a
        # capture a worker cannot read; a real scheduler without workers
        # (started and stopped here), given up on in the time asked; a
        # local cluster that cannot start (its folder unwritable).
        dask_port=$((20000 + RANDOM % 20000))
        dask scheduler --host 127.0.0.1 --port "$dask_port" --dashboard-address 127.0.0.1:0 >/dev/null 2>&1 &
        scheduler=$!
        for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$dask_port") 2>/dev/null && break; sleep 0.1; done
        # NAME|WHAT THE SENTENCE SAYS|ENVIRONMENT|ARGUMENTS
        for case in "unread|worker tcp://127.0.0.1||--workers 1 $work/router.pcap $work/no-such.pcap" \
                    "no worker|no worker joined||--scheduler tcp://127.0.0.1:$dask_port --worker-timeout 1 $work/router.pcap" \
                    "no local cluster|could not start here|DASK_TEMPORARY_DIRECTORY=/proc/none|--workers 1 $work/router.pcap"; do
            IFS='|' read -r name sentence environment arguments <<<"$case"
            status=0
            # shellcheck disable=SC2086
            env $environment "$dask_program" --program "$latency_program" $arguments >/dev/null 2>"$work/dask.err" ||
                status=$?
            check "ovint-latency-dask, $name: one sentence, status 1" "1 1 $sentence" \
                "$status $(wc -l <"$work/dask.err") $(grep -o "$sentence" "$work/dask.err" | head -n 1)"
        done
        kill "$scheduler" 2>/dev/null
        wait "$scheduler" 2>/dev/null
    else
        echo "skip ovint-latency-dask: no Dask here (Debian: python3-distributed)"
    fi

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
    # pcap and pcapng are read straight from the file, the rest through
    # wiretap: each form the host writes gives the report (and status)
    # wiretap alone gives of the same bytes compressed, also where a file
    # turns odd part way (a second section) and where it is cut.
    # (Some megabytes: a few of the reader's chunks.)
    "$bindir/editcap" -r "$work/stretched.pcap" "$work/form.pcap" 1-4000
    "$bindir/editcap" -F pcap "$work/form.pcap" "$work/form-micro.pcap"
    "$bindir/editcap" -F pcapng "$work/form.pcap" "$work/form-ng.pcapng"
    cat "$work/form-ng.pcapng" "$work/form-ng.pcapng" >"$work/form-sections.pcapng"
    for form in form.pcap form-micro.pcap form-ng.pcapng form-sections.pcapng cut.pcap; do
        gzip -c "$work/$form" >"$work/$form.gz"
        straight=0 compressed=0
        "$latency_program" --json "$work/$form" >"$work/form.json" 2>/dev/null || straight=$?
        "$latency_program" --json "$work/$form.gz" >"$work/form-gz.raw" 2>/dev/null || compressed=$?
        sed 's/\.gz"/"/g' "$work/form-gz.raw" >"$work/form-gz.json"
        check "ovint-latency: $form as through wiretap alone" "same $compressed" \
            "$(cmp -s "$work/form.json" "$work/form-gz.json" && echo same) $straight"
    done
    status=0
    "$latency_program" --pairs "$work/missing-pairs.csv" "$work/missing.pcap" >/dev/null 2>"$work/stderr.txt" || status=$?
    check "ovint-latency: a missing capture is one sentence, status 1, no table left" \
        "1|1|" "$status|$(wc -l <"$work/stderr.txt")|$(ls -A "$work" | grep missing-pairs)"
    # An output that is the capture under any of its names, two outputs
    # that are one file or both standard output: usage errors, with --force
    # too, before anything is read or written.
    ln -s router.pcap "$work/router-link.pcap"
    ln "$work/router.pcap" "$work/router-hard.pcap"
    sum=$(cksum <"$work/router.pcap")
    for usage in "--line-rate 3X" "--line-rate 10G,1G,1G" "--line-rate 0.5M" "--line-rate 1.0000000001G" \
        "--line-rate 10G," "--definition lifo" "--definition fast --line-rate 1G" "--by port" "--top 5" \
        "--by flow --top 0" "--by dscp --sort p50" "--plot $work/picture.jpg" "--window 0" "--pairs $work/router.pcap" \
        "--force --frames $work/router-link.pcap" "--force --pairs $work/router-hard.pcap" \
        "--pairs $work/one.csv --frames $work/./one.csv" "--pairs - --frames -" "--metrics 19105,19106" \
        "--metrics 70000" "--metrics :9101"; do
        status=0
        "$latency_program" $usage "$work/router.pcap" >/dev/null 2>"$work/stderr.txt" || status=$?
        check "ovint-latency $usage: a usage error" "2|1" "$status|$(wc -l <"$work/stderr.txt")"
    done
    check "ovint-latency: the capture refused as an output is as it was, nothing written" \
        "$sum|" "$(cksum <"$work/router.pcap")|$(ls -A "$work" | grep one.csv)"

    # An existing table is replaced only with --force. A symbolic link is
    # written through (its target made when there is none), a FIFO and "-"
    # in place, the report then on standard error; .gz compressed all the
    # same.
    "$latency_program" --pairs "$work/router-pairs.csv" --frames "$work/router-frames.csv" "$work/router.pcap" \
        >"$work/router-report.txt"
    cp "$work/router.pcap" "$work/table.csv"
    status=0
    "$latency_program" --pairs "$work/table.csv" "$work/router.pcap" >/dev/null 2>"$work/stderr.txt" || status=$?
    check "ovint-latency: an existing table without --force: one sentence, status 1, the file as it was" \
        "1|1|$sum" "$status|$(grep -c 'table.csv: the file exists; give --force' "$work/stderr.txt")|$(cksum <"$work/table.csv")"
    chmod 640 "$work/table.csv"
    "$latency_program" --force --pairs "$work/table.csv" "$work/router.pcap" >/dev/null
    mkdir "$work/tables"
    ln -s tables/linked.csv "$work/link.csv"
    mkfifo "$work/frames.fifo.csv.gz"
    timeout 60 cat "$work/frames.fifo.csv.gz" | gzip -dc >"$work/from-fifo.csv" &
    "$latency_program" --pairs "$work/link.csv" --frames "$work/frames.fifo.csv.gz" "$work/router.pcap" >/dev/null
    wait $!
    "$latency_program" --pairs - "$work/router.pcap" >"$work/stdout.csv" 2>"$work/stderr.txt"
    # /dev/stdout's like, of our own: should it ever be replaced, this one is.
    ln -s /proc/self/fd/1 "$work/stdout"
    "$latency_program" --frames "$work/stdout" "$work/router.pcap" >"$work/dev-stdout.csv" 2>>"$work/stderr.txt"
    check "ovint-latency: --force replaces, keeping who may read the file; a link written through; a FIFO and - in place, the report on standard error" \
        "$(for _ in 1 2 3; do cksum <"$work/router-pairs.csv"; done)
640
symbolic link tables/linked.csv
$(cksum <"$work/router-frames.csv")
$(cksum <"$work/router-frames.csv")
$(cat "$work/router-report.txt" "$work/router-report.txt")" \
        "$(for table in table.csv tables/linked.csv stdout.csv; do cksum <"$work/$table"; done)
$(stat -c %a "$work/table.csv")
$(stat -c %F "$work/link.csv") $(readlink "$work/link.csv")
$(cksum <"$work/from-fifo.csv")
$(cksum <"$work/dev-stdout.csv")
$(cat "$work/stderr.txt")"

    # A signal ends the program by that signal, its temporary files removed:
    # here while it waits on a capture that does not end.
    mkfifo "$work/endless.pcap"
    exec 3<>"$work/endless.pcap"
    head -c 20000 "$work/router.pcap" >&3
    rm -f "$work/pid"
    watched "$work/pid" "$latency_program" --pairs "$work/killed.csv" "$work/endless.pcap" >"$work/ended.txt" &
    for _ in $(seq 50); do compgen -G "$work/.killed.csv.*" >/dev/null && [ -f "$work/pid" ] && break; sleep 0.1; done
    kill -TERM "$(cat "$work/pid")"
    wait $!
    exec 3>&-
    # A reader of standard output gone: SIGPIPE, the other table's
    # temporary file removed all the same.
    watched "$work/pid" perl -e 'pipe(my $read, my $write); close $read; open(STDOUT, ">&", $write);
                                 $SIG{PIPE} = "DEFAULT"; exec @ARGV' \
        "$latency_program" --pairs - --frames "$work/killed.csv" "$work/router.pcap" >>"$work/ended.txt"
    check "ovint-latency: SIGTERM ends it by SIGTERM, a closed pipe by SIGPIPE, no file left" \
        "signal 15
signal 13|" "$(cat "$work/ended.txt")|$(ls -A "$work" | grep killed)"
    # A signal while the tables are put in place (at the first rename):
    # both are put in place, then it ends the program, with no report.
    "$latency_program" --pairs "$work/both-pairs.csv" --frames "$work/both-frames.csv" "$work/held.pcap" >/dev/null
    watched "$work/pid" strace -f -o /dev/null -e trace=rename -e inject=rename:signal=SIGINT:when=1 \
        "$latency_program" --force --pairs "$work/both-pairs.csv" --frames "$work/both-frames.csv" \
        "$work/router.pcap" >"$work/both.txt"
    check "ovint-latency: a signal while the tables are put in place leaves both new, and no report" \
        "signal 2
$(cksum <"$work/router-pairs.csv")
$(cksum <"$work/router-frames.csv")" \
        "$(cat "$work/both.txt")
$(cksum <"$work/both-pairs.csv")
$(cksum <"$work/both-frames.csv")"

    # A TAP clock that steps back 1000 s from the middle frame on, or that
    # stamps the middle frame alone an hour ahead: the report and the
    # plug-in's Latency statistics say so, naming that frame.
    for clock in step-back ahead; do
        "$write_captures" --device router --clock "$clock" "$work/$clock.pcap" "$work/$clock.expected"
        middle=$(( $("$latency_program" --json "$work/$clock.pcap" | grep -o '"frames":[0-9]*' | head -n 1 | cut -d: -f2) / 2 + 1 ))
        case $clock in
            step-back) expected="\"steps_back\":1 \"first_step_back_frame\":$middle \"lone_frames_ahead\":0
TAP clock stepped back (ms) 1 first at frame $middle" ;;
            ahead) expected="\"steps_back\":0 \"lone_frames_ahead\":1 \"first_lone_ahead_frame\":$middle
Lone frames stamped ahead of the TAP clock (ms) 1 first at frame $middle" ;;
        esac
        check "$clock: the TAP clock's steps in ovint-latency's report and in the Latency statistics" "$expected" \
            "$("$latency_program" --json "$work/$clock.pcap" |
                 grep -o -E '"(steps_back|first_step_back_frame|lone_frames_ahead|first_lone_ahead_frame)":[0-9]+' |
                 grep -v -E '_frame":0$' | paste -sd' ')
$(with_ovint -2 -q -r "$work/$clock.pcap" -z ovint_latency,tree |
  awk '/^(TAP clock|Lone frames)/ { match($0, /\(ms\) +[0-9]+/); node = substr($0, 1, RSTART + 3)
                                   count = substr($0, RSTART + 5, RLENGTH - 5) + 0 }
       /first at frame/ { sub(/^ +/, ""); sub(/  .*/, ""); print node, count, $0 }')"
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
    # With --by, each group's CDF, named with its frames.
    "$latency_program" --by dscp --plot "$work/classes.svg" "$work/router.pcap" >/dev/null
    check "ovint-latency --by dscp --plot: a CDF per class, with the frames the writer matched in it" \
        "$(grep '^group	dscp	' "$work/router.expected" | cut -f 3,4 | sort)" \
        "$(grep -o -E '\([0-9]+\): [0-9]+ frames' "$work/classes.svg" | tr -d '()' | sed 's/: /\t/; s/ frames//' | sort -u)"
    # gnuplot writes a file: for a FIFO, one of ours in TMPDIR, copied
    # into it and removed. Both tables into a null device, which any number
    # of outputs may share (one of our own, where we may make it: should it
    # ever be replaced, the system's stays).
    mkfifo "$work/picture.fifo.svg"
    mkdir "$work/scratch"
    mknod "$work/null" c 1 3 2>/dev/null && nulls=(--pairs "$work/null" --frames "$work/null") || nulls=()
    timeout 60 cat "$work/picture.fifo.svg" >"$work/from-fifo.svg" &
    status=0
    TMPDIR=$work/scratch "$latency_program" --plot "$work/picture.fifo.svg" "${nulls[@]}" "$work/router.pcap" \
        >/dev/null || status=$?
    wait $!
    check "ovint-latency --plot into a FIFO: the same picture, no file left; two tables in a null device" \
        "0|$(cksum <"$picture")|" "$status|$(cksum <"$work/from-fifo.svg")|$(ls -A "$work/scratch")"
    status=0
    PATH=/nonexistent "$latency_program" --plot "$work/unseen.svg" "$work/router.pcap" >/dev/null 2>"$work/stderr.txt" ||
        status=$?
    check "ovint-latency --plot without gnuplot: one sentence naming it, status 1, no file" \
        "1|1|yes|" "$status|$(wc -l <"$work/stderr.txt")|$(grep -q 'apt install gnuplot' "$work/stderr.txt" && echo yes)|$(ls -A "$work" | grep unseen)"
fi

finish
