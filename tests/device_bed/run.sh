#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# The device bed: the Linux kernel between the TAP's two links, as a
# router, an address translator and a bridge, in network namespaces, with
# real traffic (iperf3, ping, curl) through a shaped queue that delays and
# drops. tcpdump captures both links; tap_capture makes one TAP capture of
# the two; truth.py works out from the frames' bytes alone what the device
# did with each frame. ovint-latency and the plug-in in tshark must find
# exactly those pairs, to the nanosecond, and count the frames that never
# came out.
#
# Usage: run.sh BUILD_DIR [TSHARK_BINDIR]   (as root; about two minutes)
#   BUILD_DIR      a build with its tests: ovint.so, ovint-latency,
#                  tests/tap_capture
#   TSHARK_BINDIR  the folder of the tshark that module was built for
#                  (default /usr/bin)
# OVINT_KEEP_WORK=1 keeps the captures.
set -u
build=$(cd "${1:?usage: run.sh BUILD_DIR [TSHARK_BINDIR]}" && pwd) || exit 1
tshark_bindir=${2:-/usr/bin}
here=$(cd "$(dirname "$0")" && pwd)

if [ "$(id -u)" != 0 ]; then
    echo "device bed: skipped: it needs root, for its network namespaces"
    exit 0
fi
missing=()
for program in ip tc nft ethtool tcpdump iperf3 ping curl python3 setpriv ss; do
    command -v "$program" >/dev/null || missing+=("$program")
done
if [ "${#missing[@]}" -ne 0 ]; then
    echo "device bed: missing ${missing[*]}: apt-get install iproute2 nftables ethtool tcpdump iperf3 iputils-ping curl python3" >&2
    exit 1
fi
module=$build/ovint.so
[ -f "$module" ] || module=$build/ovint/ovint.so
latency_program=$build/ovint-latency
tap_capture=$build/tests/tap_capture
for file in "$module" "$latency_program" "$tap_capture"; do
    [ -x "$file" ] || [ -f "$file" ] || { echo "device bed: $file is missing: build with ./run-tests.sh" >&2; exit 1; }
done
series=$("$tshark_bindir/tshark" --version 2>/dev/null | sed -n '1s/^TShark (Wireshark) \([0-9]*\.[0-9]*\)\..*/\1/p')

. "$here/../tshark/lib.sh" "$module" "$series" "$tshark_bindir"
bed=ovbed$$
. "$here/device.sh"
trap 'device_down; [ -n "${OVINT_KEEP_WORK:-}" ] && echo "device bed: captures kept in $work" || rm -rf "$work"' EXIT
mkdir -p "$work/config/profiles"
cp -r "$(dirname "$module")/profile/BRAXEL TAP" "$work/config/profiles/"
chmod -R a+rX "$work/config/profiles"
trap 'exit 130' INT
trap 'exit 143' TERM
started=$(date +%s)

# ---- What the tools say, in the truth's terms ----

# Pairs as "LATER<tab>EARLIER<tab>LATENCY_NS", by later frame.
truth_pairs() {  # TRUTH
    awk -F'\t' '$1 == "pair" { print $2 "\t" $3 "\t" $4 }' "$1"
}
program_pairs() {  # CAPTURE [OPTION...]
    local capture=$1
    shift
    rm -f "$work/pairs.csv"
    "$latency_program" "$@" --pairs "$work/pairs.csv" "$capture" >/dev/null 2>"$work/stderr.txt" ||
        { echo "status $?: $(cat "$work/stderr.txt")"; return; }
    awk -F, 'NR > 1 { print $2 "\t" $1 "\t" $7 }' "$work/pairs.csv" | sort -n
}
# tshark's "LATER<tab>EARLIER<tab>SECONDS" (9 decimals) with the latency
# in ns, taken as text; any other line (an error) as it is.
latency_in_ns() {
    awk -F'\t' 'NF == 3 { split($3, t, "."); printf "%s\t%s\t%d\n", $1, $2, t[1] * 1000000000 + t[2]; next }
                /./ { print }'
}
# What tshark said on standard error, after its output (written apart, so
# that no line is cut into another): every line but a report of the host's
# own dissectors of other protocols (the traffic's random payloads trip the
# host's heuristics now and then: Thrift's item limit, for one).
tshark_said() {  # STDERR_FILE
    awk '/Dissector bug, protocol / && !/Dissector bug, protocol ovint/ { next } { print }' "$1"
}
# The plug-in's pairs in two passes; its Latency statistics into
# plugin-statistics.txt.
plugin_pairs() {  # CAPTURE [TSHARK_OPTION...]
    local capture=$1
    shift
    with_ovint -2 "$@" -r "$capture" -Y ovint.latency -T fields -e frame.number -e ovint.latency.earlier \
        -e ovint.latency -z ovint_latency,tree >"$work/plugin.txt" 2>"$work/tshark-said.txt"
    { awk '/^=+$/ { exit } { print }' "$work/plugin.txt"; tshark_said "$work/tshark-said.txt"; } | latency_in_ns
    sed -n '/^==*$/,$p' "$work/plugin.txt" >"$work/plugin-statistics.txt"
}
# In one pass: the pairs shown on their later sightings.
plugin_one_pass() {  # CAPTURE [TSHARK_OPTION...]
    local capture=$1
    shift
    with_ovint "$@" -r "$capture" -Y ovint.latency -T fields -e frame.number -e ovint.latency.earlier \
        -e ovint.latency >"$work/plugin.txt" 2>"$work/tshark-said.txt"
    { cat "$work/plugin.txt"; tshark_said "$work/tshark-said.txt"; } | latency_in_ns
}
# The plug-in's Latency statistics as plugin_figures gives ovint-latency's
# report; and per direction "figures<tab>FROM → TO<tab>MIN MEAN MEDIAN P99
# P99.9 MAX" in ns.
plugin_figures() {
    awk '/^[^ ]/ { section = $0 }
         section ~ /^Frames matched/ && /^ Con [A-D] → Con [A-D] / && $6 {
             direction = $1 " " $2 " → " $4 " " $5
             print "direction\t" direction "\t" $6 }
         section ~ /^Frames matched/ && /^   [a-z].* µs  / {
             match($0, /[0-9]+\.[0-9]+ µs/); value = substr($0, RSTART, RLENGTH - 4); sub(/\./, "", value)
             figures[direction] = figures[direction] (figures[direction] == "" ? "" : " ") value + 0 }
         section ~ /^Not seen on the other link/ && /^ Port Con [A-D] / && $4 { print "not_seen\t" $2 " " $3 "\t" $4 }
         section ~ /^At the capture.s edge/ && /^ Port Con [A-D] / && $4 { print "edge\t" $2 " " $3 "\t" $4 }
         /^Seen on the other link only after the window/ { sub(/^[^)]*\) +/, ""); print "late\t" $1 }
         /^ a window of [0-9]+ ms would have held them/ { print "holds\t" $4 }
         END { for (d in figures) print "figures\t" d "\t" figures[d] }' \
        "$work/plugin-statistics.txt"
}
# A pair's identity beyond frame numbers: ports and TAP times.
truth_identities() {  # TRUTH
    awk -F'\t' '$1 == "pair" { print $5 "\t" $6 "\t" $7 "\t" $8 }' "$1" | sort
}
# ovint-latency's JSON: per port "port<tab>PORT<tab>NOT_SEEN<tab>AT_EDGE";
# per direction "direction<tab>FROM → TO<tab>MATCHED" and its latencies'
# figures as the truth gives them; and what the plug-in's Latency
# statistics show of it: the frames not seen and at the edge per port,
# the late partners and the window that holds them.
program_figures() {  # CAPTURE [OPTION...]
    "$latency_program" --json "$@" >"$work/report.json" || { echo "status $?"; return; }
    python3 - "$work/report.json" <<'PYTHON'
import json, sys
report = json.load(open(sys.argv[1]))
for port in report["ports"]:
    not_seen, edge = port["not_seen_on_other_link"], port.get("at_capture_edge", "none")
    print(f"port\t{port['name']}\t{not_seen}\t{edge}\t{port['fates']['late']}")
    for figure, count in (("not_seen", not_seen), ("edge", edge)):
        if count and count != "none":
            print(f"{figure}\t{port['name']}\t{count}")
for direction in report["directions"]:
    if direction["matched"]:
        name = f"{direction['from']} → {direction['to']}"
        print(f"direction\t{name}\t{direction['matched']}")
        print(f"latency\t{name}\t" + " ".join(str(direction[figure]) for figure in (
            "min_ns", "mean_ns", "median_ns", "p90_ns", "p99_ns", "p99_9_ns", "p99_99_ns", "max_ns", "jitter_ns")))
check = report.get("window_check") or {}
if check.get("late_partners"):
    print(f"late\t{check['late_partners']}\nholds\t{check['window_that_holds_ms']}")
PYTHON
}

# check_pairs NAME EXPECTED ACTUAL: like check, with a short difference.
check_pairs() {
    if [ "$2" == "$3" ]; then
        echo "ok   $1"
    else
        echo "FAIL $1: $(printf '%s\n' "$2" | grep -c .) expected, $(printf '%s\n' "$3" | grep -c .) found; first differences:"
        diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | grep '^[<>]' | head -n 8 | sed 's/^/     /'
        failures=$((failures + 1))
    fi
}

# ---- Captures ----

# Runs a device with traffic, captured into NAME.link1.pcap and .link2.pcap;
# PREPARE runs before the captures start.
capture_device() {  # NAME MODE [DEPTH_MS [TRAFFIC [PREPARE]]]
    local name=$1 mode=$2 depth=${3:-20} steps=${4:-traffic} prepare=${5:-true}
    device_up "$mode" "$depth" && "$prepare" && capture_start "$name" && "$steps" && capture_stop "$name" &&
        kernel_drops "$name"
    local status=$?
    device_down
    if [ "$status" -ne 0 ]; then
        echo "FAIL $name: the bed did not run"
        failures=$((failures + 1))
    fi
    return "$status"
}

# Makes NAME.pcap of NAME's link captures (or of SOURCE's); checks that
# every captured frame is in it, each link's on its two ports, and none
# longer than an Ethernet frame.
convert() {  # NAME [SOURCE] [OPTION...]
    local name=$1 source=${2:-$1}
    shift $(($# > 1 ? 2 : 1))
    "$tap_capture" "$@" "$work/$source.link1.pcap" "$client_mac" "$work/$source.link2.pcap" "$server_mac" \
        "$work/$name.pcap" >"$work/$name.converted" || return 1
    read -r _ con_a con_b con_c con_d _ _ _ longest _ merged <"$work/$name.converted"
}
captured() {  # NAME LINK: the frames tcpdump said it captured
    sed -n 's/^\([0-9]*\) packets captured$/\1/p' "$work/$1.link$2.log"
}

truth() {  # NAME DEVICE [OPTION...]
    local name=$1 device=$2
    shift 2
    python3 "$here/truth.py" --device "$device" "$@" "$work/$name.pcap" "$work/$name.truth" || {
        echo "FAIL $name: the truth does not hold together"
        failures=$((failures + 1))
    }
}

# ---- The checks of one capture against its truth ----

# NAME: the tools' pairs against the truth; the directions; the frames not
# seen on the other link per port: the truth's frames alone there, those
# beyond the capture's edge counted apart.
check_capture() {  # NAME KEY [OPTION...]
    local name=$1 key=$2
    shift 2
    local capture=$work/$name.pcap expected found_program found_plugin
    local -a plugin_options=(-o "ovint.latency_key:$key")
    [ "${1:-}" = --window ] && plugin_options+=(-o "ovint.latency_window:$2")
    expected=$(truth_pairs "$work/$name.truth")
    found_program=$(program_pairs "$capture" --key "$key" "$@")
    if [[ $found_program == "status 2:"* ]]; then
        echo "FAIL $name, key $key: ovint-latency refuses the command line: ${found_program#status 2: }"
        failures=$((failures + 1))
        return
    fi
    found_plugin=$(plugin_pairs "$capture" "${plugin_options[@]}")
    check_pairs "$name, key $key: ovint-latency's pairs are the device's" "$expected" "$found_program"
    check_pairs "$name, key $key: the plug-in's pairs are the device's" "$expected" "$found_plugin"
    check "$name, key $key: ovint-latency pairs only in the directions the device forwards" "" \
        "$(awk 'FNR == NR { if ($1 == "forwards") forwards[$2] = 1; next }
                FNR > 1 && !(($3 " → " $4) in forwards) { print "frame " $2 ": " $3 " → " $4 }' \
               FS=$'\t' "$work/$name.truth" FS=, "$work/pairs.csv" | head -n 5)"
    local figures
    figures=$(program_figures "$capture" --key "$key" "$@")
    check "$name, key $key: matches per direction" \
        "$(awk -F'\t' '$1 == "pair" { n[$5 " → " $6]++ } END { for (d in n) print "direction\t" d "\t" n[d] }' \
               "$work/$name.truth" | sort)" \
        "$(grep '^direction' <<<"$figures" | sort)"
    check "$name, key $key: ovint-latency's least, mean, percentiles, largest latency and jitter" \
        "$(grep '^latency' "$work/$name.truth" | sort)" "$(grep '^latency' <<<"$figures" | sort)"
    # Every frame alone on its link within the window is counted once, as
    # not seen on the other link, as late (its partner came after the
    # window) or as at the capture's edge; one whose other sighting lies
    # beyond the edge never as not seen.
    check "$name, key $key: frames not seen on the other link, late or at the edge, per port" \
        "$(awk -F'\t' '$1 == "unmatched" { print $2 "\tok" }' "$work/$name.truth")" \
        "$(join -t $'\t' <(awk -F'\t' '$1 == "unmatched" { print $2 "\t" $3 "\t" $4 }' "$work/$name.truth") \
                          <(awk -F'\t' '$1 == "port" { print $2 "\t" $3 "\t" $4 "\t" $5 }' <<<"$figures") |
           awk -F'\t' '{ edge = $5 == "none" ? 0 : $5
                         if ($4 + edge + $6 != $2 || $4 > $2 - $3)
                             print $1 "\t" $2 " alone, " $3 " beyond the edge; ovint-latency: " $4 " not seen, " $5 " at the edge, " $6 " late"
                         else print $1 "\tok" }')"
    check "$name, key $key: frames whose partner came after the window, per port" \
        "$(awk -F'\t' '$1 == "late" && $3 { print $2 "\t" $3 }' "$work/$name.truth")" \
        "$(awk -F'\t' '$1 == "port" && $5 { print $2 "\t" $5 }' <<<"$figures")"
    check "$name, key $key: the plug-in's Latency statistics count as ovint-latency's report" \
        "$(grep -E $'^(direction|not_seen|edge|late|holds)\t' <<<"$figures" | sort)" \
        "$(plugin_figures | grep -v '^figures' | sort)"
    check "$name, key $key: the plug-in's least, mean, median, p99, p99.9 and largest latency per direction" \
        "$(awk -F'\t' '$1 == "latency" { split($3, f, " ")
                                         print "figures\t" $2 "\t" f[1] " " f[2] " " f[3] " " f[5] " " f[6] " " f[8] }' \
               "$work/$name.truth" | sort)" \
        "$(plugin_figures | grep '^figures' | sort)"
    printf '     %s: truth %d pairs, ovint-latency %d, plug-in %d\n' "$name" \
        "$(grep -c . <<<"$expected")" "$(grep -c . <<<"$found_program")" "$(grep -c . <<<"$found_plugin")"
}

check_cabling() {  # NAME KEY CABLING
    check "$1, key $2: ovint-latency learns how the TAP is cabled" "$3 learnt" \
        "$("$latency_program" --key "$2" --json "$work/$1.pcap" | python3 -c '
import json, sys
cabling = json.load(sys.stdin).get("cabling") or {}
print(cabling.get("name"), cabling.get("from"))')"
}

# A device's captures: converted as they came and again unpadded and out
# of order (neither changes what the tools find), checked against the
# truth.
check_device() {  # NAME DEVICE KEY
    local name=$1 device=$2 key=$3 variant
    convert "$name" || { failures=$((failures + 1)); return; }
    check "$name: every captured frame in the TAP capture, on the ports of its link, none merged" \
        "$(captured "$name" 1) $(captured "$name" 2) 0" "$((con_a + con_b)) $((con_c + con_d)) $merged"
    check "$name: frames entered the device from both links and left it on both, none longer than 1514 bytes" "yes" \
        "$( ((con_a && con_b && con_c && con_d && longest <= 1514)) && echo yes)"
    truth "$name" "$device"
    echo "     $name: $(cat "$work/$name.converted"); $(grep -c '^stayed' "$work/$name.truth") entered and never left"
    check_capture "$name" "$key"
    check_cabling "$name" "$key" A-C
    # Told how the TAP is cabled rather than learning it: the same pairs.
    check_pairs "$name, key $key, cabling A-C: ovint-latency's pairs are the device's" \
        "$(truth_pairs "$work/$name.truth")" "$(program_pairs "$work/$name.pcap" --key "$key" --cabling A-C)"
    check_pairs "$name, key $key, cabling A-C: the plug-in's pairs are the device's" \
        "$(truth_pairs "$work/$name.truth")" \
        "$(plugin_pairs "$work/$name.pcap" -o "ovint.latency_key:$key" -o ovint.latency_cabling:A-C)"
    for variant in unpadded out-of-order; do
        case $variant in
            unpadded) convert "$name-$variant" "$name" --unpadded ;;
            out-of-order) convert "$name-$variant" "$name" --out-of-order 30000 ;;
        esac
        truth "$name-$variant" "$device"
        check_pairs "$name $variant: the same pairs by port and TAP time" \
            "$(truth_identities "$work/$name.truth")" "$(truth_identities "$work/$name-$variant.truth")"
        check_capture "$name-$variant" "$key"
    done
    # Read once, a pair shows on its later sighting when that was written
    # after the earlier one (with the cabling given: while it is learnt,
    # one pass may pair in any direction).
    check_pairs "$name-out-of-order, key $key: in one pass the plug-in shows each pair written in order" \
        "$(awk -F'\t' '$1 == "pair" && $2 > $3 { print $2 "\t" $3 "\t" $4 }' "$work/$name-out-of-order.truth")" \
        "$(plugin_one_pass "$work/$name-out-of-order.pcap" -o "ovint.latency_key:$key" -o ovint.latency_cabling:A-C)"
}

# NAME's fates: every frame's in ovint-latency per port as the truth has
# it, and in the plug-in as in ovint-latency; per direction, the frames
# not seen leaving exactly the frames the kernel dropped.
check_fates() {  # NAME [OPTION...]
    local name=$1
    shift
    local -a plugin_options=() options=("$@")
    while [ $# -ge 2 ]; do
        case $1 in
            --key) plugin_options+=(-o "ovint.latency_key:$2") ;;
            --window) plugin_options+=(-o "ovint.latency_window:$2") ;;
        esac
        shift 2
    done
    "$latency_program" "${options[@]}" --json "$work/$name.pcap" >"$work/$name.json"
    check "$name: every frame's fate in ovint-latency, per port, as the truth has it" \
        "$(awk -F'\t' '$1 == "fate" { print $2 " " $3 " " $4 }' "$work/$name.truth" | sort)" \
        "$(python3 -c 'import json, sys
for port in json.load(open(sys.argv[1]))["ports"]:
    for fate, count in port["fates"].items():
        if count: print("%s %s %d" % (port["name"], fate, count))' "$work/$name.json" | sort)"
    check "$name: every frame's fate in the plug-in (ovint.fate) as in ovint-latency, per port" \
        "$(python3 -c 'import json, sys
for port in json.load(open(sys.argv[1]))["ports"]:
    for fate, count in port["fates"].items():
        if count: print("%s %s %d" % (port["name"], fate, count))' "$work/$name.json" | sort)" \
        "$(with_ovint -2 "${plugin_options[@]}" -r "$work/$name.pcap" -T fields -e ovint.port -e ovint.fate |
           python3 -c 'import sys, collections
ports = {0x80: "Con A", 0x40: "Con B", 0x20: "Con C", 0x10: "Con D"}
names = ["forwarded", "ambiguous", "fragmented", "late", "for_device", "from_device", "merged", "at_edge",
         "no_key", "not_seen_leaving"]
n = collections.Counter(tuple(line.split()) for line in sys.stdin if line.strip())
for (port, fate), count in n.items():
    print("%s %s %d" % (ports[int(port, 16)], names[int(fate)], count))' | sort)"
    # A frame dropped while its flow's frames left merged into longer
    # records on the other link may have left inside one of them: the bytes
    # cannot tell, and its fate is merged. The kernel's drops then lie
    # between those not seen leaving and those plus the merged ones from
    # that port; with no merged record, they are exactly those not seen.
    check "$name: not seen leaving, per direction, is what the kernel dropped" \
        "$(sort -k2 "$work/$name.drops")" \
        "$(python3 -c 'import json, sys
report = json.load(open(sys.argv[1]))
drops = {}
for line in open(sys.argv[2]):
    count, direction = line.rstrip("\n").split("\t")
    drops[direction] = int(count)
merged = {port["name"]: port["fates"].get("merged", 0) for port in report["ports"]}
for d in report["directions"]:
    direction = "%s → %s" % (d["from"], d["to"])
    seen = d["not_seen_leaving"]
    dropped = drops.get(direction, seen)
    told = dropped if seen <= dropped <= seen + merged.get(d["from"], 0) else seen
    print("%d\t%s" % (told, direction))' "$work/$name.json" "$work/$name.drops" | sort -k2)"
}

# Every ping is seen on both links: the host's own request and response
# tracking takes each second sighting for a request never answered. Under
# the BRAXEL TAP profile each link is tracked on its own.
check_pings() {  # NAME
    local name=$1 default profile
    unanswered() {
        with_ovint -2 "$@" -r "$work/$name.pcap" \
            -Y '(icmp || icmpv6) && _ws.expert.message contains "esponse"' | wc -l
    }
    default=$(unanswered)
    profile=$(unanswered -C "BRAXEL TAP")
    check "$name: under the BRAXEL TAP profile pings are answered on each link ($default unanswered, then $profile)" \
        "yes" "$( ((default > 0 && profile * 100 <= default * 12)) && echo yes)"
}

# ---- The scenarios ----

echo "== router (IPv4 and IPv6 forwarded), key ip"
capture_device router router && check_device router router ip
[ -f "$work/router.pcap" ] && check_pings router

# The TAP cabled the three other ways: learnt as such, the same pairs.
for cabling in A-D B-C B-D; do
    echo "== router, the TAP cabled $cabling"
    [ -f "$work/router.pcap" ] && convert "router-$cabling" router --cabling "$cabling" || continue
    truth "router-$cabling" router --cabling "$cabling"
    check_cabling "router-$cabling" ip "$cabling"
    check_capture "router-$cabling" ip
done

# A capture's edge: link 2's capture stopped 40 ms before link 1's, in the
# middle of the traffic. The frames that crossed while only one side was
# captured are at the edge, not lost.
echo "== router, link 2's capture stopped 40 ms before link 1's"
if [ -f "$work/router.pcap" ] && convert router-edge router --edge 40; then
    truth router-edge router --full "$work/router.pcap"
    check "router-edge: some frames crossed beyond the capture's edge" "yes" \
        "$(awk -F'\t' '$1 == "unmatched" { n += $4 } END { if (n > 0) print "yes" }' "$work/router-edge.truth")"
    check_capture router-edge ip
fi

echo "== nat (masquerade, random ports, IPv4 and IPv6), key nat"
capture_device nat nat && check_device nat nat nat

echo "== bridge, key frame"
capture_device bridge bridge && check_device bridge bridge frame
[ -f "$work/bridge.pcap" ] && check_pings bridge

# A deep queue: 300 ms at 40 Mbit/s, UDP at 60 Mbit/s into it. The
# default window of 100 ms cannot hold its latencies: the report says
# which window would, and with it every pair is found.
deep_traffic() {
    from_client iperf3 --client "$server4" --connect-timeout 2000 --time 1 --udp --bitrate 60M --length 1400
}
echo "== router with a 300 ms queue, key ip"
if capture_device deep router 300 deep_traffic && convert deep-700ms deep && convert deep-100ms deep; then
    truth deep-700ms router --window 700
    largest=$(awk -F'\t' '$1 == "pair" && $4 > n { n = $4 } END { print n + 0 }' "$work/deep-700ms.truth")
    largest_ms=$(((largest + 999999) / 1000000))
    late=$(awk -F'\t' '$1 == "pair" && $4 > 100000000 { n++ } END { print n + 0 }' "$work/deep-700ms.truth")
    echo "     deep: $(cat "$work/deep-700ms.converted"); largest latency $largest ns, $late pairs beyond 100 ms"
    check "deep: the queue held frames beyond 100 ms" "yes" "$( ((late > 0)) && echo yes)"
    report=$("$latency_program" "$work/deep-100ms.pcap")
    suggested=$(grep -o -E -- '--window [0-9]+' <<<"$report" | head -n 1 | cut -d' ' -f2)
    check "deep: the report names a window that holds the largest latency ($largest_ms ms), and no more than 1 ms longer" \
        "yes" "$( [ -n "$suggested" ] && ((suggested >= largest_ms && suggested <= largest_ms + 1)) && echo yes ||
                  echo "${suggested:-no window named}")"
    check "deep: the JSON report's window check" \
        "late_partners $late latest_partner_ns $largest window_that_holds_ms ${suggested:-none}" \
        "$("$latency_program" --json "$work/deep-100ms.pcap" | python3 -c '
import json, sys
check = json.load(sys.stdin).get("window_check") or {}
print(" ".join(f"{k} {check.get(k)}" for k in ("late_partners", "latest_partner_ns", "window_that_holds_ms")))')"
    if [ -n "$suggested" ]; then
        check_pairs "deep: with the window the report names, ovint-latency finds every pair" \
            "$(truth_pairs "$work/deep-700ms.truth")" "$(program_pairs "$work/deep-100ms.pcap" --window "$suggested")"
    fi
    check_capture deep-700ms ip --window 700
    # Within the default window, exactly the pairs the truth has within it.
    truth deep-100ms router --window 100
    check_capture deep-100ms ip
fi

# Link 2 takes packets of at most 1,400 bytes: the kernel cuts longer IPv4
# packets into pieces, drops those it may not cut (and says so to the
# sender, which sends smaller ones), and answers IPv6 with "packet too
# big". What it forwarded whole or in pieces, and what it dropped, by its
# own counters. Pings to the router's own addresses, its neighbour
# discovery and ARP are for it, and no loss.
small_link2() {
    in_ns device ip link set d2 mtu 1400 && in_ns server ip link set s0 mtu 1400
}
fragmenting_traffic() {
    from_client ping -c 5 -i 0.2 -W 1 -M dont -s 1450 "$server4" || return 1
    # Refused by the router: the ping itself fails.
    in_ns client ping -c 3 -i 0.2 -W 1 -M do -s 1450 "$server4" >/dev/null 2>&1
    from_client ping -6 -c 3 -i 0.2 -W 1 -s 1450 "$server6" &&
        from_client iperf3 --client "$server4" --connect-timeout 2000 --time 1 &&
        from_client ping -c 5 -i 0.2 -W 1 "$server4" &&
        from_client ping -c 3 -i 0.2 -W 1 10.1.0.1 &&
        from_client ping -6 -c 3 -i 0.2 -W 1 fd00:1::1
}
echo "== router, link 2's MTU 1400, key ip"
if capture_device fragmenting router 20 fragmenting_traffic small_link2 && convert fragmenting; then
    truth fragmenting router
    echo "     fragmenting: $(cat "$work/fragmenting.converted"); kernel drops: $(paste -sd' ' "$work/fragmenting.drops")"
    check_capture fragmenting ip
    check_fates fragmenting
fi

# The same behind an address translator: the pieces leave from its own
# address, the packet entered from the client's.
nat_fragmenting_traffic() {
    from_client ping -c 5 -i 0.2 -W 1 -M dont -s 1450 "$server4" &&
        from_client iperf3 --client "$server4" --connect-timeout 2000 --time 1 && closing 0.2
}
echo "== nat, link 2's MTU 1400, key nat"
if capture_device nat-fragmenting nat 20 nat_fragmenting_traffic small_link2 && convert nat-fragmenting; then
    truth nat-fragmenting nat
    echo "     nat-fragmenting: $(cat "$work/nat-fragmenting.converted"); kernel drops: $(paste -sd' ' "$work/nat-fragmenting.drops")"
    check "nat-fragmenting: the translator cut packets into pieces" "yes" \
        "$(awk -F'\t' '$1 == "fate" && $3 == "fragmented" { n += $4 } END { if (n > 0) print "yes" }' "$work/nat-fragmenting.truth")"
    check_capture nat-fragmenting nat
    check_fates nat-fragmenting --key nat
fi

# The server's receive offloads on, as on many a capture host: what
# comes to it is captured merged, records of up to 9,000 bytes that are no
# frame (so no jumbo frames' limit tells them), their pieces on link 1.
offloads_on() {
    in_ns server ethtool -K s0 rx on gro on >/dev/null 2>&1 && in_ns server ip link set s0 gro_max_size 9000
}
merged_traffic() {
    from_client iperf3 --client "$server4" --connect-timeout 2000 --time 2 && closing 0.2
}
echo "== router, the server's receive offloads on"
if capture_device merged router 20 merged_traffic offloads_on && convert merged; then
    truth merged router
    echo "     merged: $(cat "$work/merged.converted"); kernel drops: $(paste -sd' ' "$work/merged.drops")"
    check "merged: records longer than a frame, none longer than 9,000 bytes" "yes" \
        "$( ((longest > 1514 && longest <= 9014)) && echo yes || echo "longest $longest")"
    check_capture merged ip
    check_fates merged
fi

# An address translator whose way out drops: IPv6 pings cut into pieces
# by the client, in a UDP flood that overfills the queue. The translator
# gathers each packet's pieces and cuts it again, with an identification of
# its own: the key cannot tell pieces of equal payloads apart.
nat_fragments_traffic() {
    in_ns client ping -6 -c 40 -i 0.05 -W 1 -s 3000 "$server6" >/dev/null 2>&1 &
    local ping=$!
    from_client iperf3 --client "$server4" --connect-timeout 2000 --time 2 --udp --bitrate 50M --length 1400
    local status=$?
    wait "$ping"
    [ "$status" = 0 ] && closing 0.2
}
echo "== nat, IPv6 in pieces through a queue that drops, key nat"
if capture_device nat-fragments nat 20 nat_fragments_traffic && convert nat-fragments; then
    truth nat-fragments nat
    echo "     nat-fragments: $(cat "$work/nat-fragments.converted"); kernel drops: $(paste -sd' ' "$work/nat-fragments.drops")"
    check "nat-fragments: the queue dropped frames" "yes" \
        "$(awk -F'\t' '$1 == "stayed" { n++ } END { if (n > 0) print "yes" }' "$work/nat-fragments.truth")"
    check_capture nat-fragments nat
    check_fates nat-fragments --key nat
fi

# The 300 ms queue again, with byte-identical datagrams through it every
# 50 ms (and the server's equal answers): no pair of those is a measure of
# the window.
repeated_traffic() {
    in_ns client python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
s.bind(("::", 40009))
for _ in range(30):
    s.sendto(b"keepalive", (sys.argv[1], 9))
    time.sleep(0.05)' "$server6" &
    local sender=$!
    from_client iperf3 --client "$server4" --connect-timeout 2000 --time 1 --udp --bitrate 60M --length 1400
    local status=$?
    wait "$sender" || status=1
    [ "$status" = 0 ] && closing 0.8
}
echo "== router with a 300 ms queue and identical datagrams, key ip"
if capture_device deep-repeated router 300 repeated_traffic && convert deep-repeated; then
    truth deep-repeated router --window 700
    # Of equal datagrams, the bytes cannot tell which left when one was
    # dropped: the largest latency is the unique frames'.
    largest=$(awk -F'\t' '$1 == "pair" && $9 == "unique" && $4 > n { n = $4 } END { print n + 0 }' \
        "$work/deep-repeated.truth")
    largest_ms=$(((largest + 999999) / 1000000))
    suggested=$("$latency_program" "$work/deep-repeated.pcap" | grep -o -E -- '--window [0-9]+' | head -n 1 | cut -d' ' -f2)
    echo "     deep-repeated: largest latency $largest ns, window suggested ${suggested:-none}"
    check "deep-repeated: the report names a window that holds the largest latency ($largest_ms ms), and no more than 1 ms longer" \
        "yes" "$( [ -n "$suggested" ] && ((suggested >= largest_ms && suggested <= largest_ms + 1)) && echo yes ||
                  echo "${suggested:-no window named}")"
    check_capture deep-repeated ip --window 700
    check_fates deep-repeated --window 700
fi

# A tunnel's end: link 2 carries the packets in VXLAN.
echo "== router into a VXLAN tunnel, key ip"
tunnel_traffic() {
    traffic && closing 0.2
}
if capture_device tunnel tunnel 20 tunnel_traffic && convert tunnel; then
    truth tunnel router
    echo "     tunnel: $(cat "$work/tunnel.converted"); kernel drops: $(paste -sd' ' "$work/tunnel.drops")"
    check_capture tunnel ip
    check_fates tunnel
fi

echo "== the bed took $(($(date +%s) - started)) s"
finish
