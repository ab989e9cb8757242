#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Watching a device live: ovint-latency --interval and --metrics on device
# captures streamed through a pipe, against its own report of the same
# capture, and scraped by a real Prometheus server (Debian's), started on
# the loopback address with its own configuration and storage and stopped
# after, which also evaluates the shipped alert rules.
set -u
write_captures=$4
latency_program=$5
service_dir=$6
. "$(dirname "$0")/lib.sh" "$1" "$2" "$3"

for device in router switch; do
    "$write_captures" --device "$device" "$work/$device.pcap" "$work/$device.expected" 3000 50000 >/dev/null || exit 1
done
"$write_captures" --device router --hold 300 "$work/held.pcap" "$work/held.expected" 400 2000000 >/dev/null || exit 1
# The router's capture without Con B's first 30 ms: Con D's first frames,
# some without a key, are told before its direction has a match.
"$latency_program" --force --frames "$work/router.csv" "$work/router.pcap" >/dev/null &&
    editcap "$work/router.pcap" "$work/late_start.pcap" $(awk -F, 'NR == 2 { t0 = $4 }
        NR > 1 && $2 == "Con B" && $4 - t0 < 30000000 { print $1 }' "$work/router.csv") || exit 1

# Per direction and port, from the offline JSON report: matched, not seen
# leaving and the fates; the intervals' sums must be the same.
report_totals() {  # CAPTURE...
    "$latency_program" --json "$@" | python3 -c 'import json, sys
r = json.load(sys.stdin)
for d in r["directions"]:
    print("direction", d["from"], d["to"], d["matched"], d["not_seen_leaving"], d["late"])
for p in r["ports"]:
    print("port", p["name"], p["frames"], *(p["fates"][f] for f in sorted(p["fates"])))
for g in sorted((r.get("groups") or {}).get("entries", []), key=lambda g: (-g["matched"], g["label"])):
    print("group", g["label"], g["matched"], g["not_seen_leaving"])'
}
interval_totals() {  # JSON LINES on standard input
    python3 -c 'import json, sys, collections
directions, ports, groups, last = collections.OrderedDict(), collections.OrderedDict(), {}, []
for line in sys.stdin:
    r = json.loads(line)
    last.append(r["last"])
    for d in r["directions"]:
        t = directions.setdefault((d["from"], d["to"]), [0, 0, 0])
        for i, name in enumerate(("matched", "not_seen_leaving", "late")):
            t[i] += d[name]
        # Two matches make a jitter, in the interval they were made in.
        if (d["matched"] >= 2) != (d["jitter_ns"] is not None):
            print("jitter", d["jitter_ns"], "of", d["matched"], "matches", d["from"], d["to"])
    for p in r["ports"]:
        t = ports.setdefault(p["name"], collections.Counter())
        t["frames"] += p["frames"]
        t.update(p["fates"])
    for g in (r.get("groups") or {}).get("entries", []):
        t = groups.setdefault(g["label"], [0, 0])
        t[0] += g["matched"]
        t[1] += g["not_seen_leaving"]
for (f, t), v in directions.items():
    print("direction", f, t, *v)
for name, t in sorted(ports.items()):  # as the report orders its ports
    print("port", name, t["frames"], *(t[f] for f in sorted(k for k in t if k != "frames")))
for name, t in sorted(groups.items(), key=lambda item: (-item[1][0], item[0])):
    print("group", name, *t)
print("last", last.count(True), "of", len(last), "at the end" if last and last[-1] else "")'
}
for device in router switch held late_start; do
    for interval in 5ms 1h; do
        check "$device, --interval $interval through a pipe: the intervals add up to the report (also by DSCP), the last line last" \
            "$(report_totals --by dscp "$work/$device.pcap")
last 1 of $(cat "$work/$device.pcap" | "$latency_program" --interval "$interval" - | grep -c .) at the end" \
            "$(cat "$work/$device.pcap" | "$latency_program" --by dscp --interval "$interval" - | interval_totals)"
    done
    # One interval holding the whole capture: its percentiles, jitter,
    # each port's busiest windows and the groups are the report's, exactly
    # (bursts in bytes, and in bits on the wire at a line rate).
    for rates in "" "--line-rate 10G,1G" "--by protocol"; do
        # shellcheck disable=SC2086
        check "$device, one interval${rates:+ ($rates)}: its percentiles, jitter, bursts and groups are the report's" \
            "$("$latency_program" $rates --json "$work/$device.pcap" |
               python3 -c 'import json, sys
r = json.load(sys.stdin)
for d in r["directions"]:
    print(d["from"], d["to"], d["median_ns"], d["p99_ns"], d["p99_9_ns"], d["max_ns"], d["jitter_ns"])
for p in r["ports"]:
    print(p["name"], p["bursts"])
print(r.get("groups"))')" \
            "$("$latency_program" $rates --interval 1h "$work/$device.pcap" |
               python3 -c 'import json, sys
for line in sys.stdin:
    r = json.loads(line)
    for d in r["directions"]:
        if d["matched"]:
            print(d["from"], d["to"], d["median_ns"], d["p99_ns"], d["p99_9_ns"], d["max_ns"], d["jitter_ns"])
    for p in r["ports"]:
        print(p["name"], p["bursts"])
print(r.get("groups"))')"
    done
done

# The TAP's flags per port, summed over the intervals, are what the
# plug-in's Ports and errors statistics count.
check "the intervals' flagged frames per port are the plug-in's port statistics" \
    "$(with_ovint -q -r "$work/router.pcap" -z ovint,tree |
       awk '/^  Port / { port = $2 " " $3 }
            /^   [A-Z]/ && match($0, /[^ ]  +/) { name = substr($0, 4, RSTART - 3); split(substr($0, RSTART + RLENGTH), rest, " ")
                                                 gsub(/ /, "_", name); print port, tolower(name), rest[1] }' | sort)" \
    "$("$latency_program" --interval 5ms "$work/router.pcap" | python3 -c 'import json, sys, collections
counts = collections.Counter()
for line in sys.stdin:
    for p in json.loads(line)["ports"]:
        for flag, n in p["flagged"].items():
            counts[(p["name"], flag)] += n
for (port, flag), n in counts.items():
    print(port, flag, n)' | sort)"

check "--interval takes TAP time with its unit" \
    "2 2 2 0" \
    "$(for value in 10 1us -5s 10s; do "$latency_program" --interval "$value" "$work/router.pcap" >/dev/null 2>&1; printf '%s ' $?; done | sed 's/ $//')"

# SIGTERM ends the input: the interval under way is written, status 0.
fifo=$work/feed
mkfifo "$fifo"
(cat "$work/router.pcap"; sleep 30) >"$fifo" &
feeder=$!
"$latency_program" --interval 1h "$fifo" >"$work/stopped.jsonl" &
follower=$!
for _ in $(seq 50); do [ -s "$work/stopped.jsonl" ] && break; kill -0 "$follower" 2>/dev/null || break; sleep 0.1; done
sleep 1
kill -TERM "$follower"
wait "$follower"
status=$?
kill "$feeder" 2>/dev/null
wait "$feeder" 2>/dev/null
check "SIGTERM ends a followed pipe after its last interval is written" \
    "status 0, 1 line, last" \
    "status $status, $(grep -c . "$work/stopped.jsonl") line, $(python3 -c 'import json, sys; print("last" if json.loads(open(sys.argv[1]).readline())["last"] else "not last")' "$work/stopped.jsonl")"

# SIGINT ends standard input read for the report, with threads to spare
# too: the report of what was read follows, status 0. (A background job
# here starts with SIGINT ignored, which ovint keeps: it is given back.)
rm -f "$fifo" "$work/fed"
mkfifo "$fifo"
(cat "$work/router.pcap"; : >"$work/fed"; exec sleep 30) >"$fifo" &
feeder=$!
python3 -c 'import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])' \
    "$latency_program" -j 2 - <"$fifo" >"$work/interrupted.txt" &
reader=$!
# Once the capture is in the pipe and the reader has had time to take the
# last of it (a pipe holds 64 kB).
for _ in $(seq 100); do [ -e "$work/fed" ] && break; sleep 0.1; done
sleep 1
kill -INT "$reader"
for _ in $(seq 50); do kill -0 "$reader" 2>/dev/null || break; sleep 0.1; done
kill -0 "$reader" 2>/dev/null && { echo "(still reading 5 s after SIGINT)"; kill -KILL "$reader"; }
wait "$reader"
status=$?
kill "$feeder" 2>/dev/null
wait "$feeder" 2>/dev/null
check "SIGINT ends standard input read with -j 2: the report follows" \
    "status 0, $("$latency_program" "$work/router.pcap" | sed -n 's/^frames read \([0-9]*\).*/\1/p')" \
    "status $status, $(sed -n 's/^frames read \([0-9]*\).*/\1/p' "$work/interrupted.txt")"

# A live input falling quiet: after a grace of 2 s its TAP clock is taken
# to go on with the wall clock, so its last frames are settled (not seen,
# not at an edge) and the interval under way is told while the pipe is
# still open. It falls quiet in the middle of a record, as a writer that
# buffers does.
rm -f "$fifo"
mkfifo "$fifo"
(cat "$work/router.pcap"; tail -c +25 "$work/router.pcap" | head -c 30; sleep 8) >"$fifo" &
feeder=$!
"$latency_program" --interval 2s "$fifo" >"$work/quiet.jsonl" &
follower=$!
for _ in $(seq 70); do [ -s "$work/quiet.jsonl" ] && break; sleep 0.1; done
quiet_lines=$(cat "$work/quiet.jsonl")
kill -TERM "$follower"
wait "$follower"
kill "$feeder" 2>/dev/null
wait "$feeder" 2>/dev/null
# Every frame settled, the matches the report's; the frames alone as
# many, fewer of them at an edge (the capture's end is none).
check "a quiet pipe: its last frames settled and the interval told before it ends, matches as the report's" \
    "$("$latency_program" --json "$work/router.pcap" | python3 -c 'import json, sys
r = json.load(sys.stdin)
print(*("%s %s %d" % (d["from"], d["to"], d["matched"]) for d in r["directions"]))
print(*("%s %d settled, %d alone" % (p["name"], p["frames"], p["fates"]["not_seen_leaving"] + p["fates"]["at_edge"])
        for p in r["ports"]))
print("not last; at an edge fewer than", sum(p["fates"]["at_edge"] for p in r["ports"]))')" \
    "$(python3 -c 'import json, sys
lines = [json.loads(line) for line in sys.argv[1].splitlines()]
at_edge = sum(p["fates"]["at_edge"] for p in lines[0]["ports"]) if lines else 0
print(*("%s %s %d" % (d["from"], d["to"], sum(x["matched"] for l in lines for x in l["directions"] if x["from"] == d["from"])) for d in lines[0]["directions"]) if lines else "none")
print(*("%s %d %s, %d alone" % (p["name"], p["frames"], "settled" if sum(p["fates"].values()) == p["frames"] else "waiting",
                                 p["fates"]["not_seen_leaving"] + p["fates"]["at_edge"]) for p in lines[0]["ports"]) if lines else "")
print("last" if any(l["last"] for l in lines) else "not last", end="; ")
print("at an edge fewer than", sys.argv[2]) if at_edge < int(sys.argv[2]) else print("at an edge", at_edge)' "$quiet_lines" \
        "$("$latency_program" --json "$work/router.pcap" | python3 -c 'import json, sys; print(sum(p["fates"]["at_edge"] for p in json.load(sys.stdin)["ports"]))')")"

# A pipe quiet for 4 s in the middle of the capture, then going on: the
# frames after the quiet spell lie behind the time the clock was taken to
# reach, and are no step back; the intervals follow one another and their
# matches and frames add up to the report's. (The last frames are not seen
# rather than at the edge: the links were taken to go on past them.)
python3 -c 'import struct, sys
data = open(sys.argv[1], "rb").read()
at = 24  # the file header, then 3000 records
for _ in range(3000):
    at += 16 + struct.unpack_from("<I", data, at + 8)[0]
open(sys.argv[2], "wb").write(data[:at])
open(sys.argv[3], "wb").write(data[at:])' "$work/router.pcap" "$work/before.pcap" "$work/after.records" || exit 1
rm -f "$fifo"
mkfifo "$fifo"
(cat "$work/before.pcap"; sleep 4; cat "$work/after.records") >"$fifo" &
"$latency_program" --interval 500ms "$fifo" >"$work/resumed.jsonl"
wait
check "a pipe quiet for a while, then going on: the intervals in order, adding up to the report" \
    "$(report_totals "$work/router.pcap" | awk '{ print $1, $2, $3, $4, ($1 == "port" ? "" : $5) }')
last 1 of $(grep -c . "$work/resumed.jsonl") at the end
in order" \
    "$(interval_totals <"$work/resumed.jsonl" | awk '$1 == "last" { print; next } { print $1, $2, $3, $4, ($1 == "port" ? "" : $5) }')
$(python3 -c 'import json, sys
lines = [json.loads(line) for line in open(sys.argv[1])]
print("in order" if all(b["start_s"] >= a["end_s"] for a, b in zip(lines, lines[1:])) else
      "back: " + " ".join("[%s, %s)" % (l["start_s"], l["end_s"]) for l in lines))' "$work/resumed.jsonl")"

# --follow: a ring dumpcap is writing, its files appearing one by one (the
# third removed by the ring before it was read; dumpcap started again after
# the fifth, numbering from 1 anew beside the old run's files), and one file
# growing in pieces; each followed until SIGTERM, and the intervals add up
# to the report of what was there to read.
editcap -c 700 "$work/router.pcap" "$work/part.pcap" >/dev/null
parts=("$work"/part_*.pcap)
mkdir "$work/ring"
"$latency_program" --follow --interval 10ms "$work/ring/tap.pcap" >"$work/ring.jsonl" 2>"$work/ring.err" &
follower=$!
kept=()
for i in "${!parts[@]}"; do
    if [ "$i" -lt 5 ]; then
        name=tap_$(printf '%05d' $((i + 1)))_20251208132000.pcap
    else
        # Started again after a change of local time an hour back: the
        # newer run's names carry the earlier times.
        name=tap_$(printf '%05d' $((i - 4)))_20251208122500.pcap
    fi
    [ "$i" = 2 ] && continue
    kept+=("${parts[$i]}")
    cp "${parts[$i]}" "$work/ring/.copy"
    mv "$work/ring/.copy" "$work/ring/$name"
    sleep 0.3
done
sleep 1
kill -TERM "$follower"
wait "$follower"
check "--follow, a ring, dumpcap started again part way: every file read once, in order, the one removed named" \
    "$(report_totals "${kept[@]}")
last 1 of $(grep -c . "$work/ring.jsonl") at the end
$work/ring/tap_00003_*.pcap was removed before it was read: its frames are not counted." \
    "$(interval_totals <"$work/ring.jsonl"; sed 's/^ovint-latency: //' "$work/ring.err")"

size=$(stat -c %s "$work/router.pcap")
: >"$work/growing.pcap"
"$latency_program" --follow --interval 10ms "$work/growing.pcap" >"$work/growing.jsonl" &
follower=$!
for cut in 10 5000 77777 150000 "$size"; do
    written=$(stat -c %s "$work/growing.pcap")
    tail -c +$((written + 1)) "$work/router.pcap" | head -c $((cut - written)) >>"$work/growing.pcap"
    sleep 0.3
done
sleep 1
kill -TERM "$follower"
wait "$follower"
check "--follow, a file growing in pieces cut anywhere: the intervals add up to the report" \
    "$(report_totals "$work/router.pcap")
last 1 of $(grep -c . "$work/growing.jsonl") at the end" \
    "$(interval_totals <"$work/growing.jsonl")"
# A followed file emptied (copytruncate), or written anew under its name:
# reading ends there by itself, said in one sentence, status 3, not read on
# from where the old file was.
for change in "cut short|truncate -s 0" "written anew|rm -f"; do
    head -c 40000 "$work/router.pcap" >"$work/changing.pcap"
    status=0
    timeout 20 "$latency_program" --follow --interval 10ms "$work/changing.pcap" >/dev/null 2>"$work/changing.err" &
    follower=$!
    sleep 1
    ${change#*|} "$work/changing.pcap"
    [ "${change%%|*}" = "written anew" ] && cp "$work/router.pcap" "$work/changing.pcap"
    wait "$follower" || status=$?
    check "--follow, a file ${change%%|*} while followed: one sentence, status 3" \
        "3 1 1" "$status $(wc -l <"$work/changing.err") $(grep -c "the file was ${change%%|*} while it was followed" "$work/changing.err")"
done

# An interval is told as soon as the capture has passed its end, not once
# a reading buffer has filled: half the capture, then a pause.
rm -f "$fifo"
mkfifo "$fifo"
(head -c "$(( $(stat -c %s "$work/router.pcap") / 2 ))" "$work/router.pcap"; sleep 4; tail -c +$(( $(stat -c %s "$work/router.pcap") / 2 + 1 )) "$work/router.pcap") >"$fifo" &
feeder=$!
"$latency_program" --interval 5ms "$fifo" >"$work/early.jsonl" &
follower=$!
sleep 2
early=$(grep -c . "$work/early.jsonl")
wait "$feeder" "$follower"
check "intervals are told while the capture is still coming" \
    "yes" "$([ "$early" -gt 0 ] && [ "$early" -lt "$(grep -c . "$work/early.jsonl")" ] && echo yes)"

# --interval-log: the intervals appended to a log, which a rotation moves
# away and SIGHUP has reopened: nothing is lost between the two files.
half=$(( $(stat -c %s "$work/router.pcap") / 2 ))
rm -f "$fifo"
mkfifo "$fifo"
(head -c "$half" "$work/router.pcap"; sleep 1; tail -c +$((half + 1)) "$work/router.pcap") >"$fifo" &
feeder=$!
"$latency_program" --interval 5ms --interval-log "$work/intervals.log" "$fifo" &
follower=$!
sleep 0.6
mv "$work/intervals.log" "$work/intervals.log.1"
kill -HUP "$follower"
wait "$feeder"
wait "$follower"
check "--interval-log: SIGHUP reopens the log; the rotated and the new one hold every interval" \
    "$(report_totals "$work/router.pcap")
last 1 of $(cat "$work/intervals.log.1" "$work/intervals.log" | grep -c .) at the end
both written" \
    "$(cat "$work/intervals.log.1" "$work/intervals.log" | interval_totals)
$([ -s "$work/intervals.log.1" ] && [ -s "$work/intervals.log" ] && echo both written)"

# ---- Prometheus ----
if ! command -v prometheus >/dev/null || ! command -v promtool >/dev/null; then
    echo "FAIL Prometheus is not installed: run-tests.sh installs it (Debian: prometheus)"
    failures=$((failures + 1))
    finish
    exit 1
fi
check "the shipped alert rules pass promtool" \
    "SUCCESS: 3 rules found" \
    "$(promtool check rules "$service_dir/ovint-alerts.yml" 2>&1 | sed -n 's/^ *//; /SUCCESS/p')"

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
prometheus_port=$(free_port)
declare -A metrics_ports=([router]=$(free_port) [held]=$(free_port))
{
    echo "global: {scrape_interval: 1s, evaluation_interval: 1s}"
    echo "scrape_configs:"
    for device in router held; do
        echo "  - job_name: $device"
        echo "    static_configs: [{targets: ['127.0.0.1:${metrics_ports[$device]}']}]"
    done
} >"$work/prometheus.yml"
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address="127.0.0.1:$prometheus_port" >"$work/prometheus.log" 2>&1 &
prometheus_pid=$!
followers=()
for device in router held; do
    # One interval each: its percentiles are the whole capture's.
    "$latency_program" --interval 1h --metrics "127.0.0.1:${metrics_ports[$device]}" --linger "$work/$device.pcap" \
        >/dev/null &
    followers+=($!)
done
stop_all() {
    kill -TERM "${followers[@]}" "$prometheus_pid" 2>/dev/null
    wait "${followers[@]}" "$prometheus_pid" 2>/dev/null
}
trap 'stop_all; [ -n "${OVINT_KEEP_WORK:-}" ] || rm -rf "$work"' EXIT

# query EXPRESSION: "LABEL=VALUE;...<tab>VALUE" lines (the job's label,
# not the instance's), sorted.
query() {
    curl -s --get "http://127.0.0.1:$prometheus_port/api/v1/query" --data-urlencode "query=$1" |
        python3 -c 'import json, sys
try:
    r = json.load(sys.stdin)
except ValueError:  # not yet listening
    r = {}
for s in r.get("data", {}).get("result", []):
    m = s["metric"]
    print(";".join("%s=%s" % (k, m[k]) for k in sorted(m) if k not in ("__name__", "instance")) + "\t" + s["value"][1])' |
        sort
}
# Until both have been scraped and their series stand still: the
# captures have ended.
previous=
for _ in $(seq 120); do
    current=$(query 'ovint_direction_matched_total')
    [ "$(grep -c 'job=' <<<"$current")" -ge 4 ] && [ "$current" = "$previous" ] && break
    previous=$current
    sleep 1
done

check "Prometheus: the matched and not-seen counters equal the report's" \
    "$("$latency_program" --json "$work/router.pcap" | python3 -c 'import json, sys
for d in json.load(sys.stdin)["directions"]:
    print("from=%s;job=router;to=%s\t%d\t%d" % (d["from"], d["to"], d["matched"], d["not_seen_leaving"]))' | sort)" \
    "$(join -t $'\t' <(query 'ovint_direction_matched_total{job="router"}') \
                      <(query 'ovint_direction_not_seen_leaving_total{job="router"}'))"
check "Prometheus: the latency histogram's buckets equal the report's histogram" \
    "$("$latency_program" --json "$work/router.pcap" | python3 -c 'import json, sys
for d in json.load(sys.stdin)["directions"]:
    total = 0
    for r in d["histogram"]:
        total += r["frames"]
        print(d["from"], d["to"], "%.9f" % (r["to_ns"] / 1e9), total)' | sort)" \
    "$(query 'ovint_latency_seconds_bucket{job="router",le!="+Inf"}' |
       python3 -c 'import sys
for line in sys.stdin:
    labels, value = line.rstrip("\n").split("\t")
    l = dict(kv.split("=", 1) for kv in labels.split(";"))
    print(l["from"], l["to"], "%.9f" % float(l["le"]), value)' | sort)"
check "Prometheus: the cabling learnt and the window" \
    "cabling=A-C;from=learnt;job=router	1
job=router	0.1" \
    "$(query 'ovint_cabling_info{job="router"}'; query 'ovint_window_seconds{job="router"}')"
# The tail-latency alert's expression holds for the held device (a p99 of
# 2 ms), not for the router (150 µs).
tail_rule=$(sed -n 's/^ *expr: \(ovint_interval_latency_seconds.*\)$/\1/p' "$service_dir/ovint-alerts.yml")
check "Prometheus: the tail-latency alert rule holds for the held device only" \
    "held" \
    "$(query "$tail_rule" | sed -n 's/.*job=\([a-z]*\).*/\1/p' | sort -u)"
stop_all
trap '[ -n "${OVINT_KEEP_WORK:-}" ] || rm -rf "$work"' EXIT
finish
