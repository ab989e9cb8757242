#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# tshark with the freshly built ovint.so on captures written for the test:
# trailers found where they are and nowhere else, display filters on the
# trailer's fields, frames without trailers left as they were, and the
# frame times that a second pass shows.
set -u
write_captures=$4
. "$(dirname "$0")/lib.sh" "$1" "$2" "$3"

"$write_captures" "$work" || exit 1
chmod a+r "$work"/*.pcap
trailers=$work/trailers.pcap
plain=$work/plain.pcap

# Frame numbers that match a display filter, on one line.
matching() {
    with_ovint -r "$trailers" -Y "$1" -T fields -e frame.number | paste -sd' '
}

# From 4.2 on also enabled by default, the internal and the display name.
heuristic="eth	ovint	T"
host_at_least 4 2 && heuristic="$heuristic	T	ovint_eth	BRAXEL TAP VESTRIL trailer over Ethernet"
check "the heuristic is listed under its protocol, enabled" \
    "$heuristic" "$(with_ovint -G heuristic-decodes | awk -F'\t' '$2 == "ovint"')"

# Frames 2-10: trailing (2, 6, 8, 9), in a 60-byte frame (3; 5 only at
# marker offset 16, so none; 7 at 17), leading (4, 10). Frame 8 is version
# 1 with a Receive Error, on the port byte of frame 2; frame 9's port has
# no channel. A flag's name alone matches
# every frame that shows the flag; "== 1" those where it is set. A leading
# record's FCS covers the first four marker bytes.
while IFS='|' read -r filter expected; do
    check "frames matching $filter" "$expected" "$(matching "$filter")"
done <<'TABLE'
ovint|2 3 4 6 7 8 9 10
ovint.port == 0x80|2 7 8
ovint.channel == 1|2 4 7 8
ovint.channel == 2|3 6 10
ovint.crcerror == 1|3
ovint.rxerror == 1|4 8
ovint.shortpacket == 1|4 7
ovint.lostpacket == 1|
ovint.shortpacket|2 4 6 7 9 10
ovint.wrongpreamble == 0|2 4 6 7 9 10
ovint.timestamp > 0x0000065dd0837000|3 4 7 8 9 10
_ws.malformed|7
TABLE

check "the internal name turns the heuristic off" \
    "" "$(with_ovint --disable-heuristic ovint_eth -r "$trailers" -Y ovint -T fields -e frame.number)"

# 3.2 pads hex fields to 32 bits: 0x00000080 for the port byte.
unpad_hex() {
    if host_at_least 4 0; then cat; else sed -E 's/\b0x000000([0-9a-f]{2})\b/0x\1/g'; fi
}

check "trailer fields of each frame" \
"2	0xddccbbaa	1	0x80	0x0000065dd0837000
3	0xddccbbaa	2	0x10	0x0000065e29eb9f00
4	0x00a73ec8	1	0x40	0x0000065e569fb680
6	0xddccbbaa	2	0x20	0x0000065dd0836fff
7	0xddccbbaa	1	0x80	0x0000065e8353ce00
8	0xddccbbaa	1	0x80	0x0000065ebeee9800
9	0xddccbbaa	65535	0x08	0x0000065efa896200
10	0x00a73ec8	2	0x10	0x0000065f36242c00" \
    "$(with_ovint -r "$trailers" -Y ovint -T fields -e frame.number -e ovint.fcs -e ovint.channel \
        -e ovint.port -e ovint.timestamp | unpad_hex)"

# The first trailer (frame 2) anchors the TAP clock; every later trailer
# frame sits at its TAP-clock distance from it: +1.5 s, +2.25 s, -1 ns
# +3 s, +4 s, +5 s and +6 s. Frames 1 and 5 keep the times they were captured at.
check "frame times in a second pass" \
"1	1000.000000000	0.000000000
2	1000.100000000	0.100000000
3	1001.600000000	1.600000000
4	1002.350000000	2.350000000
5	1000.400000000	0.400000000
6	1000.099999999	0.099999999
7	1003.100000000	3.100000000
8	1004.100000000	4.100000000
9	1005.100000000	5.100000000
10	1006.100000000	6.100000000" \
    "$(with_ovint -2 -r "$trailers" -T fields -e frame.number -e frame.time_epoch -e frame.time_relative)"

# Without a tree (a plain listing) frames are split, dissected below
# Ethernet and re-timed exactly as with one.
check "the listing is the same without a tree" \
    "$(with_ovint -r "$trailers" -P -V | grep -E '^ +[0-9]+ +-?[0-9]+\.[0-9]+ ')" \
    "$(with_ovint -r "$trailers")"

# The port statistics: each row's name (indented by its depth) and count.
stats_rows() {
    with_ovint -q -r "$1" -z ovint,tree |
        awk '/^-+$/ { rule++; next }
             rule == 1 && match($0, /[^ ]  +/) { split(substr($0, RSTART + RLENGTH), rest, " ")
                                                 print substr($0, 1, RSTART) "|" rest[1] }'
}
check "port statistics count frames per channel and port in their order, and each port's flags" \
"Frames with a TAP trailer|8
 Channel 1|4
  Port Con A|2
   Alignment Error|0
   Crc Error|0
   Long Packet|0
   Lost Packet|0
   Receive Error|0
   Short Packet|1
   Wrong IFG|0
   Wrong Preamble|0
  Port Con B|1
   Alignment Error|0
   Crc Error|0
   Long Packet|0
   Lost Packet|0
   Receive Error|1
   Short Packet|1
   Wrong IFG|0
   Wrong Preamble|0
  Port X1.1|1
   Alignment Error|0
   Crc Error|0
   Receive Error|1
 Channel 2|3
  Port Con C|1
   Alignment Error|0
   Crc Error|0
   Long Packet|0
   Lost Packet|0
   Receive Error|0
   Short Packet|0
   Wrong IFG|0
   Wrong Preamble|0
  Port Con D|1
   Alignment Error|0
   Crc Error|0
   Long Packet|0
   Lost Packet|0
   Receive Error|0
   Short Packet|0
   Wrong IFG|0
   Wrong Preamble|0
  Port X2.2|1
   Alignment Error|0
   Crc Error|1
   Receive Error|0
 No channel|1
  Port 0x08|1
   Alignment Error|0
   Crc Error|0
   Long Packet|0
   Lost Packet|0
   Receive Error|0
   Short Packet|0
   Wrong IFG|0
   Wrong Preamble|0" \
    "$(stats_rows "$trailers")"
check "no port statistics without trailers" "Frames with a TAP trailer|0" "$(stats_rows "$plain")"

check "frame times without ovint" \
    "1000.000000000 1000.100000000 1000.200000000 1000.300000000 1000.400000000 1000.500000000 1000.600000000 1000.700000000 1000.800000000 1000.900000000" \
    "$(without_ovint -2 -r "$trailers" -T fields -e frame.time_epoch | paste -sd' ')"

check "frames without a trailer are dissected as without ovint" \
    "$(without_ovint -2 -r "$plain" -V -x)" "$(with_ovint -2 -r "$plain" -V -x)"
check "no frame without a trailer matches" "" \
    "$(with_ovint -r "$plain" -Y ovint -T fields -e frame.number)"

finish
