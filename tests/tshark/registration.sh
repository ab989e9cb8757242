#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# tshark with the freshly built ovint.so: the plug-in loads, and the host
# lists its protocol, fields and preference as registered.
set -u
. "$(dirname "$0")/lib.sh" "$@"

check "tshark lists the plug-in" \
    "ovint.so	1.0.0	dissector	$work/with/$series/epan/ovint.so" \
    "$(with_ovint -G plugins | awk -F'\t' -v OFS='\t' '$1 ~ /^ovint\.so / { sub(/ +$/, "", $1); print }')"

# From 4.2 on three more columns: enabled by default, enabled, can be toggled.
protocol="BRAXEL TAP VESTRIL trailer	ovint	ovint"
host_at_least 4 2 && protocol="$protocol	T	T	T"
check "tshark lists the protocol" \
    "$protocol" \
    "$(with_ovint -G protocols | awk -F'\t' '$3 == "ovint"')"

# A filter name registered twice is listed once.
check "tshark lists the fields" \
"F	Channel	ovint.channel	FT_UINT16	ovint	BASE_DEC	0x0	
F	Port	ovint.port	FT_UINT8	ovint	BASE_HEX	0xff	
F	Receive Error	ovint.rxerror	FT_BOOLEAN	ovint	8	0x80	
F	Wrong Preamble	ovint.wrongpreamble	FT_BOOLEAN	ovint	8	0x40	
F	Wrong IFG	ovint.wrongifg	FT_BOOLEAN	ovint	8	0x20	
F	Alignment Error	ovint.alignerror	FT_BOOLEAN	ovint	8	0x10	
F	Crc Error	ovint.crcerror	FT_BOOLEAN	ovint	8	0x8	
F	Lost Packet	ovint.lostpacket	FT_BOOLEAN	ovint	8	0x4	
F	Long Packet	ovint.longpacket	FT_BOOLEAN	ovint	8	0x2	
F	Short Packet	ovint.shortpacket	FT_BOOLEAN	ovint	8	0x1	
F	Timestamp	ovint.timestamp	FT_UINT64	ovint	BASE_HEX	0x0	
F	FCS	ovint.fcs	FT_UINT32	ovint	BASE_HEX	0x0	
F	reserved	ovint.reserved	FT_UINT32	ovint	BASE_HEX	0x0	
F	Latency	ovint.latency	FT_RELATIVE_TIME	ovint		0x0	
F	Latency (µs)	ovint.latency_us	FT_DOUBLE	ovint		0x0	
F	Seen earlier in frame	ovint.latency.earlier	FT_FRAMENUM	ovint		0x0	
F	Seen again in frame	ovint.latency.later	FT_FRAMENUM	ovint		0x0	
F	Fate	ovint.fate	FT_UINT8	ovint	BASE_DEC	0x0	
F	The TAP flagged a receive error	ovint.expert.receive_error	FT_NONE	ovint		0x0	
F	The TAP flagged a wrong preamble	ovint.expert.wrong_preamble	FT_NONE	ovint		0x0	
F	The TAP flagged a wrong inter-frame gap	ovint.expert.wrong_ifg	FT_NONE	ovint		0x0	
F	The TAP flagged an alignment error	ovint.expert.alignment_error	FT_NONE	ovint		0x0	
F	The TAP flagged a CRC error	ovint.expert.crc_error	FT_NONE	ovint		0x0	
F	The TAP lost frames before this one	ovint.expert.lost_packet	FT_NONE	ovint		0x0	
F	The TAP flagged a frame longer than Ethernet allows	ovint.expert.long_packet	FT_NONE	ovint		0x0	
F	The TAP flagged a frame shorter than Ethernet allows	ovint.expert.short_packet	FT_NONE	ovint		0x0	
F	Not seen on the other link within the latency window	ovint.expert.not_seen	FT_NONE	ovint		0x0	
F	Latency above the threshold	ovint.expert.latency_above_threshold	FT_NONE	ovint		0x0	
F	Seen on the other link only after the latency window	ovint.expert.late	FT_NONE	ovint		0x0	
F	Seen on one link only, and not lost	ovint.expert.one_link	FT_NONE	ovint		0x0	
F	A record the capture host merged from several frames: no port saw it as one	ovint.expert.merged	FT_NONE	ovint		0x0	
F	At the capture's edge: its partner may lie beyond the capture	ovint.expert.at_edge	FT_NONE	ovint		0x0	
F	The capture is shorter than the latency window: a shorter window tells more	ovint.expert.short_capture	FT_NONE	ovint		0x0	" \
    "$(with_ovint -G fields | grep -P '^F\t[^\t]*\tovint\.')"

# The field count tells every registration apart, duplicates included:
# the protocol, its twenty fields, two of which share a name with
# another, and its fifteen expert entries.
counts() {
    "$@" -G fieldcount 2>/dev/null | awk '/header fields registered/ { print $3 } /are protocols/ { print $1 }
                              /same name as another/ { print $1 }' | paste -sd' '
}
read -r fields_with protocols_with same_with <<<"$(counts with_ovint)"
read -r fields_without protocols_without same_without <<<"$(counts without_ovint)"
check "ovint adds one protocol, twenty fields (two pairs sharing a name) and fifteen expert entries" \
    "36 1 2" \
    "$((fields_with - fields_without)) $((protocols_with - protocols_without)) $((same_with - same_without))"

# A preferences file that still holds ovint's retired "enable" preference.
printf '02 00 00 00 00 01 02 00 00 00 00 02 88 b5 00 01 02 03\n' |
    sed 's/^/000000 /' >"$work/frame.txt"
"$text2pcap" -q "$work/frame.txt" "$work/frame.pcap"
chmod a+r "$work/frame.pcap"
printf 'ovint.enable: TRUE\n' >"$work/config/preferences"
chmod a+r "$work/config/preferences"
check "a stored \"enable\" preference is accepted silently" \
    "0 " \
    "$(with_ovint -r "$work/frame.pcap" 2>&1 >/dev/null; echo "$? ")"
check "without ovint the same preference is reported" \
    "1" \
    "$(without_ovint -r "$work/frame.pcap" 2>&1 >/dev/null | grep -c 'No such preference "ovint.enable"')"

finish
