#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# ovint-latency against the host's capinfos -c on the same capture (which
# reads every record through wiretap; ovint-latency reads pcap straight
# from the file): instructions (valgrind's callgrind,
# some minutes; also grouped by flow) and wall time over interleaved runs on the whole, with
# plain and with compressed (.gz) tables, and peak resident memory on it
# and on a tenth of it, to show what grows with the capture: at most the
# 8 bytes per match the exact percentiles keep. Then instructions with a
# TAP clock that runs backwards 1 ns a frame against the same traffic on a
# steady clock (a fortieth of the capture), in all and in the bursts' own
# routines; and peak memory when the clock steps back 1000 s or stamps one
# frame an hour ahead, against a steady clock's.
#
# Usage: tools/benchmark-latency.sh [PACKETS [ROUNDS]]
#        (defaults 800000 packets of a router's traffic, about 1.1 GB, and 5 rounds)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
packets=${1:-800000}
rounds=${2:-5}

build=$repo/build-bench
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target ovint-latency write_captures >/dev/null
capinfos=$(dirname "$(sed -n 's/^HOST_TSHARK:[A-Z]*=//p' "$build/CMakeCache.txt")")/capinfos

work=$(mktemp -d /var/tmp/ovint-latency-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
# A router between the links: every packet seen twice, packets of up to
# 1,400 bytes of payload about 2 us apart.
"$build/tests/write_captures" --device router "$work/large.pcap" "$work/large.expected" "$packets" 2000
"$build/tests/write_captures" --device router "$work/small.pcap" "$work/small.expected" $((packets / 10)) 2000
rm -f "$work"/*.expected
echo "== ovint-latency against $("$capinfos" --version | head -n 1) on $(nproc) cores"
echo "   $(du -h "$work/large.pcap" | cut -f1)B, $("$capinfos" -c -M "$work/large.pcap" | awk '/Number of packets/ { print $NF }') frames of a router's traffic"

instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null | sed -n 's/.*Collected : //p'
}
# Instructions on one thread against capinfos -c's, beside their budgets.
counted=$(instructions "$capinfos" -c "$work/large.pcap")
ratio_line() {  # WHAT BUDGET OVINT-LATENCY-ARGUMENTS...
    local what=$1 budget=$2 count
    shift 2
    count=$(instructions "$build/ovint-latency" -j 1 "$@" "$work/large.pcap")
    echo "   instructions (callgrind), $what: $count against capinfos -c $counted," \
         "ratio $(awk -v a="$count" -v b="$counted" 'BEGIN { printf "%.3f", a / b }') (the budget is at most $budget)"
}
ratio_line "the report alone" 1.1
ratio_line "with both tables" 1.3 --force --pairs "$work/pairs.csv" --frames "$work/frames.csv"
ratio_line "--by flow with both tables" 1.5 --by flow --force --pairs "$work/pairs.csv" --frames "$work/frames.csv"

# Wall and processor (user + system) seconds of one run. It starts with
# nothing left to write back: ext4 writes a file renamed over another back
# at once, and the run after one with plain tables would pay for 180 MB.
timed() {
    sync
    /usr/bin/time -f '%e %U %S' -o "$work/time.txt" "$@" >/dev/null 2>&1
    awk '{ printf "%s %.2f", $1, $2 + $3 }' "$work/time.txt"
}
tables() {  # SUFFIX
    timed "$build/ovint-latency" -j 1 --force --pairs "$work/pairs.csv$1" --frames "$work/frames.csv$1" "$work/large.pcap"
}
# The processor seconds the machine has spent (Linux), to tell what other
# programs took meanwhile: a .gz table's thread needs the second core.
machine_busy() { awk -v hz="$(getconf CLK_TCK)" '/^cpu / { printf "%.2f", ($2 + $3 + $4 + $7 + $8) / hz }' /proc/stat; }
: >"$work/times.txt"
busy_before=$(machine_busy)
for ((round = 0; round < rounds; round++)); do
    echo "$(tables '') $(tables .gz) $(timed "$capinfos" -c "$work/large.pcap")" >>"$work/times.txt"
done
others=$(awk -v before="$busy_before" -v after="$(machine_busy)" '{ own += $2 + $4 + $6; wall += $1 + $3 + $5 }
    END { printf "%.1f s of processor time during %.1f s", after - before - own, wall }' "$work/times.txt")
# Columns: plain tables wall, processor; .gz tables wall, processor;
# capinfos wall, processor.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
column() { awk -v c="$1" '{ print $c }' "$work/times.txt" | median; }
ratios() { awk -v a="$1" -v b="$2" '{ printf "%.3f\n", $a / $b }' "$work/times.txt" | sort -n; }
megabytes() { stat -c %s "$@" | awk '{ s += $1 } END { printf "%.1f", s / 1e6 }'; }
echo "   wall time, median of $rounds interleaved runs: ovint-latency with both tables $(column 1) s" \
     "(processor $(column 2) s), with both tables .gz $(column 3) s (processor $(column 4) s), capinfos -c $(column 5) s"
echo "   .gz tables against plain ones, wall time: ratio of the medians" \
     "$(awk -v a="$(column 3)" -v b="$(column 1)" 'BEGIN { printf "%.3f", a / b }') (the target is at most 1.5)," \
     "of each pair from $(ratios 3 1 | head -n 1) to $(ratios 3 1 | tail -n 1); the tables" \
     "$(megabytes "$work/pairs.csv" "$work/frames.csv") MB plain, $(megabytes "$work"/*.csv.gz) MB compressed"
echo "   other programs meanwhile: $others"

# A run that fails shows no figure: its memory is not the program's.
peak() {
    local figures
    figures=$(/usr/bin/time -f '%M %x' "$@" 2>&1 >/dev/null | tail -n 1)
    [ "${figures#* }" = 0 ] && echo "${figures% *}" || echo "(a failed run: ${figures})"
}
for size in small large; do
    echo "   peak resident memory, $(du -h "$work/$size.pcap" | cut -f1)B capture: ovint-latency" \
         "$(peak "$build/ovint-latency" -j 1 "$work/$size.pcap") kB, with both tables" \
         "$(peak "$build/ovint-latency" -j 1 --force --pairs "$work/pairs.csv" --frames "$work/frames.csv" "$work/$size.pcap") kB," \
         "with both tables .gz" \
         "$(peak "$build/ovint-latency" -j 1 --force --pairs "$work/pairs.csv.gz" --frames "$work/frames.csv.gz" "$work/$size.pcap") kB," \
         "capinfos -c $(peak "$capinfos" -c "$work/$size.pcap") kB"
done

# -j 2 on the one capture against capinfos -c: wall time over interleaved
# pairs, the median of the pairs' ratios (the budget: at most 1.0).
pairs_ratio() {  # FILE...
    : >"$work/pairs.txt"
    for ((round = 0; round < rounds; round++)); do
        echo "$(timed "$build/ovint-latency" -j 2 "$@") $(timed "$capinfos" -c "$@")" >>"$work/pairs.txt"
    done
    echo "-j 2 $(awk '{ print $1 }' "$work/pairs.txt" | median) s against capinfos -c" \
         "$(awk '{ print $3 }' "$work/pairs.txt" | median) s, median ratio" \
         "$(awk '{ printf "%.3f\n", $1 / $3 }' "$work/pairs.txt" | median) (the budget is at most 1.0)"
}
echo "   wall time on $(nproc) cores, one capture: $(pairs_ratio "$work/large.pcap")"

# The TAP clock running backwards: the bursts' own share from callgrind's
# inclusive totals of their routines (what restart() costs when the
# analysis calls it is not among them).
clock_packets=$((packets / 40))
"$build/tests/write_captures" --device router "$work/steady.pcap" "$work/steady.expected" "$clock_packets" 2000
"$build/tests/write_captures" --device router --clock backwards "$work/backwards.pcap" "$work/backwards.expected" \
    "$clock_packets" 2000
with_bursts() {  # CAPTURE: all instructions, and the bursts'
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" "$build/ovint-latency" -j 1 "$1" >/dev/null 2>&1
    callgrind_annotate --inclusive=yes "$work/callgrind.out" |
        awk '/PROGRAM TOTALS/ { gsub(",", "", $1); total = $1 }
             /PortBursts::(add|finish)\(.*\]$/ { gsub(",", "", $1); bursts += $1 }
             END { print total, bursts + 0 }'
}
read -r steady steady_bursts < <(with_bursts "$work/steady.pcap")
read -r backwards backwards_bursts < <(with_bursts "$work/backwards.pcap")
echo "   a TAP clock running backwards 1 ns a frame, $("$capinfos" -c -M "$work/steady.pcap" | awk '/Number of packets/ { print $NF }') frames:" \
     "ovint-latency $backwards instructions against $steady on a steady clock," \
     "ratio $(awk -v a="$backwards" -v b="$steady" 'BEGIN { printf "%.2f", a / b }') (the target is 3);" \
     "the bursts' own $backwards_bursts against $steady_bursts," \
     "ratio $(awk -v a="$backwards_bursts" -v b="$steady_bursts" 'BEGIN { printf "%.2f", a / b }')"

# The TAP clock stepping back 1000 s in the middle (a TAP restarted), and
# one frame stamped an hour ahead: memory stays that of a steady clock.
for clock in step-back ahead; do
    "$build/tests/write_captures" --device router --clock "$clock" "$work/$clock.pcap" "$work/$clock.expected" \
        "$packets" 2000
done
steady_peak=$(peak "$build/ovint-latency" -j 1 "$work/large.pcap")
for clock in step-back ahead; do
    clock_peak=$(peak "$build/ovint-latency" -j 1 "$work/$clock.pcap")
    case $clock in
        step-back) told="stepping back 1000 s in the middle" ;;
        ahead) told="stamping one frame an hour ahead" ;;
    esac
    echo "   peak resident memory with the TAP clock $told: $clock_peak kB against $steady_peak kB," \
         "ratio $(awk -v a="$clock_peak" -v b="$steady_peak" 'BEGIN { printf "%.2f", a / b }') (the target is 1.3)"
    rm -f "$work/$clock.pcap"
done

# Following a pipe, as from dumpcap: trailer-bearing frames a second, the
# capture replayed as fast as the pipe takes it (the best of three).
frames=$("$capinfos" -c -M "$work/large.pcap" | awk '/Number of packets/ { print $NF }')
best=
for _ in 1 2 3; do
    /usr/bin/time -f %e -o "$work/time.txt" sh -c 'cat "$1" | "$2" --interval 10s - >/dev/null' \
        sh "$work/large.pcap" "$build/ovint-latency"
    seconds=$(tail -n 1 "$work/time.txt")
    best=$(awk -v a="$seconds" -v b="${best:-$seconds}" 'BEGIN { print (a < b ? a : b) }')
done
echo "   following a pipe (--interval 10s -): $(awk -v n="$frames" -v s="$best" 'BEGIN { printf "%.2f", n / s / 1e6 }')" \
     "million frames a second (the target is at least 1)"

# -j: a ring buffer of the large capture (editcap -c, about six files) read by
# two threads against one, wall time over interleaved runs on this
# machine's cores, and the instructions of each (all threads').
"$(dirname "$capinfos")/editcap" -c $(((packets * 2 + 5) / 6 + 1)) "$work/large.pcap" "$work/ring.pcap" >/dev/null
ring=("$work"/ring_*.pcap)
rm -f "$work/large.pcap"
: >"$work/jobs.txt"
for ((round = 0; round < rounds; round++)); do
    echo "$(timed "$build/ovint-latency" -j 1 "${ring[@]}") $(timed "$build/ovint-latency" -j 2 "${ring[@]}")" >>"$work/jobs.txt"
done
one=$(awk '{ print $1 }' "$work/jobs.txt" | median)
two=$(awk '{ print $3 }' "$work/jobs.txt" | median)
one_instructions=$(instructions "$build/ovint-latency" -j 1 "${ring[@]}")
two_instructions=$(instructions "$build/ovint-latency" -j 2 "${ring[@]}")
echo "   a ring of ${#ring[@]} files: -j 2 $two s against -j 1 $one s, wall time (median of $rounds interleaved runs)," \
     "ratio $(awk -v a="$two" -v b="$one" 'BEGIN { printf "%.3f", a / b }') (the target is at most 0.65);" \
     "instructions $two_instructions against $one_instructions," \
     "ratio $(awk -v a="$two_instructions" -v b="$one_instructions" 'BEGIN { printf "%.3f", a / b }')"

echo "   wall time on $(nproc) cores, the ring: $(pairs_ratio "${ring[@]}")"

# -j bounded by bytes, not frames: one capture of 600 records of 256 kB
# each, peak memory with two threads against one (the target: at most 64 MB
# plus the records in flight); and a failure stops every thread: a missing
# first capture before the ring, the time to fail with -j 2 against -j 1
# (the target: within 10 ms of reading).
python3 - "$work/big-records.pcap" <<'PY'
import struct, sys
with open(sys.argv[1], "wb") as capture:
    capture.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 1))
    record = bytes(262144)
    for number in range(600):
        capture.write(struct.pack("<IIII", number, 0, len(record), len(record)) + record)
PY
echo "   600 records of 256 kB: peak resident memory -j 2 $(peak "$build/ovint-latency" -j 2 "$work/big-records.pcap") kB," \
     "-j 1 $(peak "$build/ovint-latency" -j 1 "$work/big-records.pcap") kB (the target: at most 64 MB plus the records in flight)"
# The ring matched slower than it is read (--by flow, both tables): the
# capture being matched waits at its share of the records too.
slow=(--by flow --pairs /dev/null --frames /dev/null --force)
echo "   the ring with --by flow and both tables: peak resident memory -j 2" \
     "$(peak "$build/ovint-latency" -j 2 "${slow[@]}" "${ring[@]}") kB, -j 1" \
     "$(peak "$build/ovint-latency" -j 1 "${slow[@]}" "${ring[@]}") kB (the target: at most 64 MB plus the records in flight)"
failing() { /usr/bin/time -f %e -o "$work/time.txt" "$@" >/dev/null 2>&1 || true; tail -n 1 "$work/time.txt"; }
two_fails=$(failing "$build/ovint-latency" -j 2 "$work/missing.pcap" "${ring[@]}")
one_fails=$(failing "$build/ovint-latency" -j 1 "$work/missing.pcap" "${ring[@]}")
echo "   a missing first capture before the ring: fails after $two_fails s with -j 2, $one_fails s with -j 1," \
     "$(awk -v a="$two_fails" -v b="$one_fails" 'BEGIN { printf "%.0f", (a - b) * 1000 }') ms later" \
     "(the budget: within 10 ms)"
