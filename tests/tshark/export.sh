#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# ovint-export end to end: what it writes, as the host's tshark reads it
# without ovint, against what tshark shows of the input with ovint.
set -u
write_captures=$4
export_program=$5
. "$(dirname "$0")/lib.sh" "$1" "$2" "$3"

"$write_captures" "$work" || exit 1
"$write_captures" --traffic 3000 --trailers "$work/traffic.pcap" || exit 1
chmod a+r "$work"/*.pcap
chmod a+rwx "$work"

export_capture() { "$export_program" --quiet "$@"; }

for capture in trailers traffic; do
    export_capture "$work/$capture.pcap" "$work/$capture.pcapng" || { echo "FAIL export of $capture"; exit 1; }
    chmod a+r "$work/$capture.pcapng"
    check "$capture: times without ovint as with it in a second pass" \
        "$(with_ovint -2 -r "$work/$capture.pcap" -T fields -e frame.time_epoch)" \
        "$(without_ovint -r "$work/$capture.pcapng" -T fields -e frame.time_epoch)"
    check "$capture: the frames' dissection without ovint as with it" \
        "$(with_ovint -2 -r "$work/$capture.pcap" -T fields -e _ws.col.Protocol -e _ws.col.Info)" \
        "$(without_ovint -r "$work/$capture.pcapng" -T fields -e _ws.col.Protocol -e _ws.col.Info)"
done

# Frames 2-10 of trailers.pcap: trailing, in a 60-byte frame at 44, leading,
# none (marker at 16), trailing behind 100 bytes, in a 60-byte frame at 17,
# version 1 on version 2's port byte with a Receive Error, a port of no
# channel, leading in a frame cut by a snap length (200 bytes, 80 captured).
check "trailers removed where ovint finds them, the TAP port as the interface, its flags as packet flags" \
"1	64	64			
2	64	64	Con A	BRAXEL TAP VESTRIL Con A, channel 1	
3	40	40	X2.2	BRAXEL TAP VESTRIL X2.2, channel 2	crc
4	60	60	Con B	BRAXEL TAP VESTRIL Con B, channel 1	symbol short
5	60	60			
6	100	100	Con C	BRAXEL TAP VESTRIL Con C, channel 2	
7	13	13	Con A	BRAXEL TAP VESTRIL Con A, channel 1	short
8	64	64	X1.1	BRAXEL TAP VESTRIL X1.1, channel 1	symbol
9	64	64	0x08	BRAXEL TAP VESTRIL port 0x08 of trailer version 2, no channel	
10	180	60	Con D	BRAXEL TAP VESTRIL Con D, channel 2	" \
    "$(without_ovint -r "$work/trailers.pcapng" -T fields -e frame.number -e frame.len -e frame.cap_len \
        -e frame.interface_name -e frame.interface_description -e frame.packet_flags_crc_error \
        -e frame.packet_flags_symbol_error -e frame.packet_flags_packet_too_short_error |
        awk -F'\t' -v OFS='\t' 'function set(value) { return value == "1" || value == "True" }  # "True" from 4.2 on
            { flags = ""
            if (set($6)) flags = flags " crc"; if (set($7)) flags = flags " symbol"; if (set($8)) flags = flags " short"
            sub(/^ /, "", flags); if ($4 == "unknown") $4 = ""; print $1, $2, $3, $4, $5, flags }')"

# One interface per link: both trailer versions' ports of a link on one, a
# port of no channel on its own.
export_capture --interface-per-link "$work/trailers.pcap" "$work/links.pcapng"
chmod a+r "$work/links.pcapng"
check "--interface-per-link: one interface per TAP link" \
    "link 1|link 2|link 1||link 2|link 1|link 1|0x08|link 2" \
    "$(without_ovint -r "$work/links.pcapng" -T fields -e frame.interface_name | sed -n '2,$p' |
       sed 's/^unknown$//' | paste -sd'|')"

export_capture --keep-trailers "$work/trailers.pcap" "$work/kept.pcapng"
chmod a+r "$work/kept.pcapng"
check "--keep-trailers keeps the frames whole" \
    "64 84 60 80 60 120 60 84 84 80" "$(without_ovint -r "$work/kept.pcapng" -T fields -e frame.cap_len | paste -sd' ')"

# Files the host writes that the first interface does not open: decryption
# secrets first (editcap --inject-secrets), and two files made one, of
# microsecond and then nanosecond interfaces, each section numbering its
# own. Frames without a trailer keep their time to the nanosecond.
printf 'CLIENT_RANDOM %064d %096d\n' 0 0 >"$work/keys.txt"
editcap --inject-secrets "tls,$work/keys.txt" "$work/trailers.pcap" "$work/secrets.pcapng" &&
    editcap -F pcap -r "$work/trailers.pcap" "$work/first.pcap" 1-5 &&
    editcap -F pcapng "$work/first.pcap" "$work/first.pcapng" &&
    editcap -F pcapng -t 0.000000123 -r "$work/plain.pcap" "$work/second.pcapng" 1-3 &&
    editcap -F pcapng -r "$work/trailers.pcap" "$work/third.pcapng" 6-10 &&
    cat "$work/first.pcapng" "$work/second.pcapng" "$work/third.pcapng" >"$work/sections.pcapng" ||
    { echo "FAIL editcap"; exit 1; }
for capture in secrets sections; do
    export_capture "$work/$capture.pcapng" "$work/$capture.out.pcapng"
    check "$capture: exported" "0" "$?"
    chmod a+r "$work/$capture.pcapng" "$work/$capture.out.pcapng"
    check "$capture: times without ovint as with it in a second pass" \
        "$(with_ovint -2 -r "$work/$capture.pcapng" -T fields -e frame.time_epoch)" \
        "$(without_ovint -r "$work/$capture.out.pcapng" -T fields -e frame.time_epoch)"
done
check "sections: a later section's frames on their TAP port's interface" \
    "$(without_ovint -r "$work/trailers.pcapng" -T fields -e frame.interface_name | sed -n '6,10p')" \
    "$(without_ovint -r "$work/sections.out.pcapng" -T fields -e frame.interface_name | sed -n '9,13p')"

# Errors: one sentence, the exit status that tells what was written, and
# nothing half-written.
expect_failure() {
    local name=$1 expected_status=$2 sentence=$3 status=0
    shift 3
    "$@" 2>"$work/stderr.txt" >/dev/null || status=$?
    check "$name" "$expected_status|1|$sentence" \
        "$status|$(wc -l <"$work/stderr.txt")|$(grep -oF -- "$sentence" "$work/stderr.txt")"
}
head -c 300 "$work/trailers.pcap" >"$work/cut.pcap"
expect_failure "a capture cut off: the frame it ends in is named" 3 \
    "cut.pcap: frame 4: the capture is cut off in the middle of this frame" \
    export_capture "$work/cut.pcap" "$work/cut.pcapng"
check "a capture cut off: the frames before the cut are written" \
    "3" "$(without_ovint -r "$work/cut.pcapng" 2>/dev/null | wc -l)"
: >"$work/empty.pcap"
expect_failure "an empty input: said of the input, nothing written" 1 "empty.pcap: the file is empty: no capture." \
    export_capture "$work/empty.pcap" "$work/empty.pcapng"
# A name near the longest a folder takes: its temporary still fits.
long_name=$(printf 'a%.0s' $(seq 245)).pcapng
export_capture "$work/trailers.pcap" "$work/$long_name" || echo "FAIL export to a name of ${#long_name} characters"
check "an output named with ${#long_name} characters is written; nothing is left of an empty input" \
    "$(cksum <"$work/trailers.pcapng")|" "$(cksum <"$work/$long_name")|$(ls "$work/empty.pcapng" 2>/dev/null)"
cp "$work/trailers.pcapng" "$work/before.pcapng"
expect_failure "an existing output is refused" 1 "trailers.pcapng: the file exists; give --force" \
    export_capture "$work/traffic.pcap" "$work/trailers.pcapng"
check "an existing output is left as it was" "" "$(cmp "$work/before.pcapng" "$work/trailers.pcapng")"
# The input is never the output, under any of its names, --force or not.
ln -s traffic.pcap "$work/traffic-link.pcap"
ln "$work/traffic.pcap" "$work/traffic-hard.pcap"
sum=$(cksum <"$work/traffic.pcap")
for out in traffic.pcap traffic-link.pcap traffic-hard.pcap; do
    expect_failure "OUT $out, the input: a usage error, also with --force" 2 \
        "$out: the output would overwrite the input" export_capture --force "$work/traffic.pcap" "$work/$out"
done
# Nor is standard output, where the summary goes, sent into it.
into_input() { "$@" >>"$work/traffic.pcap"; }
expect_failure "standard output appended to the input: a usage error" 2 \
    "standard output: the output would overwrite the input" \
    into_input export_capture --json "$work/traffic.pcap" "$work/appended.pcapng"
check "the input refused as the output is as it was" "$sum" "$(cksum <"$work/traffic.pcap")"

# A symbolic link is written through, when its target is made and when it
# is replaced: the link stays, its target gets the capture. A FIFO gets it
# in place, whole.
mkdir "$work/elsewhere"
ln -s elsewhere/through.pcapng "$work/odd-link.pcapng"
mkfifo "$work/out.fifo"
timeout 60 cat "$work/out.fifo" >"$work/from-fifo.pcapng" &
for out in odd-link.pcapng odd-link.pcapng out.fifo; do
    export_capture --force "$work/trailers.pcap" "$work/$out" || echo "FAIL export to $out"
done
wait $!
check "a symbolic link as OUT: the link stays, its target gets the capture; a FIFO gets it whole" \
    "symbolic link elsewhere/through.pcapng|fifo|$(cksum <"$work/trailers.pcapng")|$(cksum <"$work/trailers.pcapng")" \
    "$(stat -c %F "$work/odd-link.pcapng") $(readlink "$work/odd-link.pcapng")|$(stat -c %F "$work/out.fifo")|$(
        cksum <"$work/elsewhere/through.pcapng")|$(cksum <"$work/from-fifo.pcapng")"
expect_failure "--json and OUT - are both standard output: a usage error" 2 \
    '--json and OUT "-" would both write to standard output' export_capture --json "$work/traffic.pcap" -
expect_failure "a full disk" 1 "full.pcapng: File too large" \
    bash -c "trap '' XFSZ; ulimit -f 16; exec \"$export_program\" --quiet \"$work/traffic.pcap\" \"$work/full.pcapng\""
check "a failed export leaves no file behind" "" "$(ls -A "$work" | grep full)"

# A damaged record (an absurd length, frame 6) is not a cut: the frames
# before it are written all the same, over an existing OUT only with --force.
offset=24
for length in $(without_ovint -r "$work/trailers.pcap" -c 5 -T fields -e frame.cap_len); do
    offset=$((offset + 16 + length))
done
cp "$work/trailers.pcap" "$work/damaged.pcap"
printf '\x00\xff\xff\xff' | dd of="$work/damaged.pcap" bs=1 seek=$((offset + 8)) conv=notrunc status=none
cp "$work/traffic.pcapng" "$work/replaced.pcapng"
expect_failure "a damaged record: the frame and wiretap's reason are named" 3 \
    "damaged.pcap: frame 6: The file appears to be damaged or corrupt (pcap: File has 4294967040-byte packet" \
    export_capture --force "$work/damaged.pcap" "$work/replaced.pcapng"
check "a damaged record: the frames before it replace the existing output" \
    "5" "$(capinfos -c -M "$work/replaced.pcapng" 2>/dev/null | awk '/Number of packets/ { print $NF }')"
"$export_program" --force "$work/damaged.pcap" "$work/replaced.pcapng" 2>"$work/stderr.txt"
check "a damaged record: the summary says what was replaced" \
    "partial export: frame 6 of the input is unusable" "$(grep -o 'partial export: frame 6 of the input is unusable' "$work/stderr.txt")"

# Times pcapng cannot hold: before 1970 from the TAP clock, or 2^62 s.
mkdir "$work/odd" && "$write_captures" --odd "$work/odd" || exit 1
expect_failure "a time from the TAP clock before 1970" 3 \
    "before-1970.pcapng: frame 3: its time, from the TAP clock, is outside what pcapng can hold" \
    export_capture "$work/odd/before-1970.pcapng" "$work/odd/before-1970.out.pcapng"
expect_failure "a captured time past what pcapng holds" 3 \
    "seconds-near-2-62.pcapng: frame 3: its time is outside what pcapng can hold" \
    export_capture "$work/odd/seconds-near-2-62.pcapng" "$work/odd/seconds.out.pcapng"
check "the frames before an unusable time are written" "2 2" \
    "$(for f in before-1970 seconds; do capinfos -c -M "$work/odd/$f.out.pcapng" | awk '/Number of packets/ { print $NF }'; done | paste -sd' ')"

expect_failure "a summary that cannot be written is an error" 4 "standard output: No space left on device" \
    bash -c "exec \"$export_program\" --json \"$work/traffic.pcap\" \"$work/json.pcapng\" >/dev/full"

# Pipes: standard input to standard output, as tcpdump -w - | ... | tshark -r -.
check "- reads standard input and writes standard output" \
    "$(without_ovint -r "$work/trailers.pcapng" -T fields -e frame.time_epoch -e frame.interface_name -e frame.len)" \
    "$(export_capture - - <"$work/trailers.pcap" | without_ovint -r - -T fields -e frame.time_epoch -e frame.interface_name -e frame.len)"

# Signals. The export reads from a fifo that is fed in two halves; the
# signal comes in between, once the temporary output exists.
mkfifo "$work/feed"
signalled() {  # SIGNAL IGNORED IN: prints how the export ended and the files left
    local signal=$1 ignored=$2 in=$3
    rm -f "$work/signalled.pcapng" "$work/pid"
    if [ "$ignored" = ignored ]; then
        (trap '' "$signal"; watched "$work/pid" "$export_program" --quiet "$in" "$work/signalled.pcapng" \
            <"$work/feed" >"$work/ended.txt") &
    else
        (trap - INT; watched "$work/pid" "$export_program" --quiet "$in" "$work/signalled.pcapng" \
            <"$work/feed" >"$work/ended.txt") &
    fi
    exec 3>"$work/feed"
    head -c 2000 "$work/traffic.pcap" >&3
    for _ in $(seq 50); do
        compgen -G "$work/.signalled.pcapng.*" >/dev/null && [ -f "$work/pid" ] && break
        sleep 0.1
    done
    kill -s "$signal" "$(cat "$work/pid")"
    sleep 0.3
    tail -c +2001 "$work/traffic.pcap" >&3 2>/dev/null
    exec 3>&-
    wait $!
    echo "$(cat "$work/ended.txt") $(ls -A "$work" | grep -c signalled)"
}
if [ "$(id -u)" = 0 ]; then trap '' PIPE; fi
check "SIGTERM: the temporary file removed, ended by SIGTERM" "signal 15 0" "$(signalled TERM caught /dev/stdin)"
check "SIGHUP: the temporary file removed, ended by SIGHUP" "signal 1 0" "$(signalled HUP caught /dev/stdin)"
check "SIGINT on a named input: the temporary file removed, ended by SIGINT" "signal 2 0" "$(signalled INT caught /dev/stdin)"
check "SIGHUP ignored (nohup): the export completes" "status 0 1" "$(signalled HUP ignored /dev/stdin)"
check "SIGINT on standard input ends it: what was read is written and kept" "status 0 1" "$(signalled INT caught -)"
trap - PIPE

check "--version names ovint's and the host's versions" "ovint-export 1.0.0; built for Wireshark $series" \
    "$("$export_program" --version | grep -o "^ovint-export [0-9.]*; built for Wireshark $series")"

finish
