#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""What the device did with every frame of a TAP capture, worked out from
the frames' bytes: which frame that entered the device left it on the other
link, and when.

    truth.py --device router|nat|bridge [--window MS] [--cabling NAME]
             [--full CAPTURE] CAPTURE OUT

A frame enters on a port toward the device and leaves on the other link's
port away from it: as the TAP is cabled by default (A-C), from Con A
(link 1) to Con C, or from Con D (link 2) to Con B; the cabling A-D, B-C
or B-D names link 1's port toward the device and link 2's away from it.
A frame that left is the one that entered, changed only as the device
changes it:

  bridge  nothing: every byte of the Ethernet frame
  router  the IP packet (to its own length) less its TTL or hop limit and
          the IPv4 header checksum
  nat     as router, less the addresses, TCP and UDP ports, ICMP echo
          identifiers, checksums and IPv6 fragment identifiers, also in
          the packet an ICMP error quotes

Of several equal frames waiting, the one that entered first leaves first;
one that waited longer than the window (MS, default 100) has not left. With
--full, CAPTURE is FULL cut short at its end: its frames whose other
sighting lies beyond the cut are counted apart.

OUT gets one line per pair, "pair LATER EARLIER LATENCY_NS FROM TO
EARLIER_TAP_TIME LATER_TAP_TIME ambiguous|unique" (frame numbers in
CAPTURE; ambiguous where more than one equal frame waited); one per frame
that entered and never left, "stayed FRAME PORT"; the directions frames
are forwarded in, "forwards FROM → TO"; per port the frames not seen on
the other link, "unmatched PORT COUNT BEYOND_THE_EDGE", and of those the
frames whose partner came within ten windows more, "late PORT COUNT"; how
many frames of each port have each fate, "fate PORT FATE COUNT" (named as
the tools' frames table names them: packets that entered whole and left
in pieces are fragmented with their pieces, records the capture host
merged with their pieces on the other link merged); and per direction
its latencies' figures in ns, "latency FROM → TO MIN MEAN MEDIAN P90 P99
P99.9 P99.99 MAX JITTER" (the mean to the nearest ns, percentiles by
nearest rank, the jitter the mean absolute difference of consecutive
latencies in the order of their entries' TAP times, rounded down). A
summary goes to standard output.
Exit status 1 when the pairs found do not hold together (a translation that
maps one flow two ways, a router that did not take exactly one off the TTL).
"""

import argparse
import collections
import os
import struct
import sys

CON_A, CON_B, CON_C, CON_D = 0x80, 0x40, 0x20, 0x10
PORT_NAMES = {CON_A: "Con A", CON_B: "Con B", CON_C: "Con C", CON_D: "Con D"}
LINK_2 = (CON_C, CON_D)
# The port a frame leaves on, by the port it entered on, as the TAP is cabled.
CABLINGS = {
    "A-C": {CON_A: CON_C, CON_D: CON_B},
    "A-D": {CON_A: CON_D, CON_C: CON_B},
    "B-C": {CON_B: CON_C, CON_D: CON_A},
    "B-D": {CON_B: CON_D, CON_C: CON_A},
}

TRAILER_LENGTH = 20
TRAILER_MARKER = bytes([0xC8, 0x3E, 0xA7, 0x00, 0x01, 0x61])  # marker, version 2

ETH_IPV4, ETH_IPV6 = 0x0800, 0x86DD
VLAN_TAGS = (0x8100, 0x88A8)
IPPROTO_ICMP, IPPROTO_TCP, IPPROTO_UDP, IPPROTO_ICMPV6 = 1, 6, 17, 58
IPV6_HOP_BY_HOP, IPV6_ROUTING, IPV6_FRAGMENT, IPV6_DESTINATION = 0, 43, 44, 60
VXLAN_PORT = 4789
ICMP_ECHO_TYPES = {0, 8, 13, 14}          # echo and timestamp, reply and request
ICMP_ERROR_TYPES = {3, 4, 5, 11, 12}
ICMPV6_ECHO_TYPES = {128, 129}
ICMPV6_ERROR_TYPES = {1, 2, 3, 4}
# How many windows more the tools watch a frame alone for a late partner.
WATCH_WINDOWS = 10


class Frame:
    __slots__ = ("number", "port", "tap_time", "ethernet")

    def __init__(self, number, port, tap_time, ethernet):
        self.number, self.port, self.tap_time, self.ethernet = number, port, tap_time, ethernet


def read_capture(path):
    """The frames of a pcap file with a TAP trailer at each one's end."""
    frames = []
    with open(path, "rb") as file:
        header = file.read(24)
        magic = header[:4]
        formats = {b"\xd4\xc3\xb2\xa1": "<", b"\xa1\xb2\xc3\xd4": ">",
                   b"\x4d\x3c\xb2\xa1": "<", b"\xa1\xb2\x3c\x4d": ">"}
        if len(header) < 24 or magic not in formats:
            raise ValueError(f"{path}: not a pcap file")
        order = formats[magic]
        if struct.unpack(order + "I", header[20:24])[0] != 1:
            raise ValueError(f"{path}: not a capture of Ethernet frames")
        while True:
            record = file.read(16)
            if not record:
                break
            if len(record) < 16:
                raise ValueError(f"{path}: cut off in frame {len(frames) + 1}")
            _, _, captured, _ = struct.unpack(order + "IIII", record)
            data = file.read(captured)
            if len(data) < captured:
                raise ValueError(f"{path}: cut off in frame {len(frames) + 1}")
            trailer = data[-TRAILER_LENGTH:]
            if len(data) < 14 + TRAILER_LENGTH or trailer[4:10] != TRAILER_MARKER:
                raise ValueError(f"{path}: frame {len(frames) + 1} has no TAP trailer at its end")
            port = trailer[10]
            if port not in PORT_NAMES:
                raise ValueError(f"{path}: frame {len(frames) + 1} names no port (0x{port:02x})")
            tap_time = struct.unpack("<Q", trailer[12:20])[0]
            frames.append(Frame(len(frames) + 1, port, tap_time, data[:-TRAILER_LENGTH]))
    return frames


def ip_packet(ethernet):
    """The IP packet of an Ethernet frame, to its own length (no padding), as
    a bytearray; None for a frame that is not IP or is cut short. A VXLAN
    packet gives the packet it carries."""
    outer = outer_ip_packet(ethernet)
    if outer is not None and outer[0] >> 4 == 4 and outer[9] == IPPROTO_UDP and \
            int.from_bytes(outer[6:8], "big") & 0x3FFF == 0:
        at = (outer[0] & 0x0F) * 4
        if int.from_bytes(outer[at + 2:at + 4], "big") == VXLAN_PORT and len(outer) >= at + 8 + 8 + 14:
            return ip_packet(bytes(outer[at + 16:]))
    return outer


def outer_ip_packet(ethernet):
    offset = 12
    while offset + 2 <= len(ethernet) and int.from_bytes(ethernet[offset:offset + 2], "big") in VLAN_TAGS:
        offset += 4
    if offset + 2 > len(ethernet):
        return None
    ethertype = int.from_bytes(ethernet[offset:offset + 2], "big")
    packet = ethernet[offset + 2:]
    if ethertype == ETH_IPV4 and len(packet) >= 20 and packet[0] >> 4 == 4:
        length = int.from_bytes(packet[2:4], "big")
    elif ethertype == ETH_IPV6 and len(packet) >= 40 and packet[0] >> 4 == 6:
        length = 40 + int.from_bytes(packet[4:6], "big")
    else:
        return None
    return bytearray(packet[:length]) if length <= len(packet) else None


def zero(data, start, end):
    """Clears data[start:end] as far as data reaches."""
    end = min(end, len(data))
    if start < end:
        data[start:end] = bytes(end - start)


def without_hop_count(packet):
    """An IP packet less what every router changes: the TTL and the IPv4
    header checksum, or the IPv6 hop limit."""
    if packet[0] >> 4 == 4:
        zero(packet, 8, 9)
        zero(packet, 10, 12)
    else:
        zero(packet, 7, 8)
    return packet


def transport(packet):
    """(protocol, offset) of an IP packet's transport header; protocol None
    for a fragment that does not start the datagram. IPv6 fragment
    identifiers are cleared on the way."""
    if packet[0] >> 4 == 4:
        if len(packet) < 20:
            return None, len(packet)
        if int.from_bytes(packet[6:8], "big") & 0x1FFF:
            return None, len(packet)
        return packet[9], (packet[0] & 0x0F) * 4
    protocol, offset = packet[6], 40
    while protocol in (IPV6_HOP_BY_HOP, IPV6_ROUTING, IPV6_FRAGMENT, IPV6_DESTINATION) and offset + 8 <= len(packet):
        following = packet[offset]
        if protocol == IPV6_FRAGMENT:
            zero(packet, offset + 4, offset + 8)
            if int.from_bytes(packet[offset + 2:offset + 4], "big") & 0xFFF8:
                return None, len(packet)
            offset += 8
        else:
            offset += (packet[offset + 1] + 1) * 8
        protocol = following
    return protocol, offset


def untranslated(packet):
    """An IP packet less what an address and port translator changes (and
    a router); in an ICMP error, in the packet it quotes too."""
    without_hop_count(packet)
    version = packet[0] >> 4
    if version == 4:
        zero(packet, 10, 20)        # checksum, addresses
    else:
        zero(packet, 8, 40)         # addresses
    protocol, at = transport(packet)
    if protocol in (IPPROTO_TCP, IPPROTO_UDP):
        zero(packet, at, at + 4)    # ports
        checksum = at + (16 if protocol == IPPROTO_TCP else 6)
        zero(packet, checksum, checksum + 2)
    elif protocol in (IPPROTO_ICMP, IPPROTO_ICMPV6) and at + 8 <= len(packet):
        icmp_type = packet[at]
        echo, error = ((ICMP_ECHO_TYPES, ICMP_ERROR_TYPES) if protocol == IPPROTO_ICMP
                       else (ICMPV6_ECHO_TYPES, ICMPV6_ERROR_TYPES))
        zero(packet, at + 2, at + 4)
        if icmp_type in echo:
            zero(packet, at + 4, at + 6)
        elif icmp_type in error and at + 8 < len(packet):
            quoted = packet[at + 8:]
            if quoted[0] >> 4 in (4, 6) and len(quoted) >= (20 if quoted[0] >> 4 == 4 else 40):
                packet[at + 8:] = untranslated(quoted)
    return packet


def key_function(device):
    """How a frame is recognised on the other side of this kind of device."""
    if device == "bridge":
        return bytes
    change = without_hop_count if device == "router" else untranslated

    def key(ethernet):
        packet = ip_packet(ethernet)
        return ("eth", bytes(ethernet)) if packet is None else ("ip", bytes(change(packet)))
    return key


def piece_of(ethernet):
    """(packet, first) of a fragment: its packet's identity on its link
    (addresses and identification) and whether it starts the packet; None
    for a whole packet."""
    packet = ip_packet(ethernet)
    if packet is None:
        return None
    if packet[0] >> 4 == 4:
        fragment = int.from_bytes(packet[6:8], "big")
        if not fragment & 0x3FFF:
            return None
        return (bytes(packet[12:20]), packet[9], bytes(packet[4:6])), not fragment & 0x1FFF
    protocol, offset = packet[6], 40
    while protocol in (IPV6_HOP_BY_HOP, IPV6_ROUTING, IPV6_DESTINATION) and offset + 8 <= len(packet):
        protocol, offset = packet[offset], offset + (packet[offset + 1] + 1) * 8
    if protocol != IPV6_FRAGMENT or offset + 8 > len(packet):
        return None
    return ((bytes(packet[8:40]), bytes(packet[offset + 4:offset + 8])),
            not int.from_bytes(packet[offset + 2:offset + 4], "big") & 0xFFF8)


def late_partners(frames, key, window_ns, leaves_on, partnered):
    """The frames alone within the window but paired, among the frames
    alone, within ten windows more: late, both sightings (the tools watch
    that long for a late partner). A frame whose would-be partner was
    paired within the window with an equal frame is not late but alone: a
    dropped request repeated a second later leaves the first unanswered."""
    alone = [frame for frame in frames if frame.number not in partnered]
    late = pair_frames(alone, key, window_ns * (1 + WATCH_WINDOWS), leaves_on)
    return {number for pair in late.items() for number in pair}


def pair_frames(frames, key, window_ns, leaves_on=CABLINGS["A-C"], ambiguous=None):
    """Pairs each frame that left the device with the frame that entered it:
    {exit frame number: entry frame number}. Frames are taken in TAP-time
    order; of equal entries, the first in leaves first; an entry older than
    the window is gone. Fragments pair as packets: first pieces by their
    bytes, which makes their packets partners; a later piece only with a
    piece of its packet's partner, or, its packet's first piece lost, with a
    piece of a packet without a partner. A pair made where more than one
    equal frame waited goes into the set `ambiguous`, if given, by its
    frames' numbers."""
    entered_on = {leave: enter for enter, leave in leaves_on.items()}
    waiting = {enter: {} for enter in leaves_on}
    pairs = {}
    partners = {}  # (port, packet) -> (port, packet), both ways
    for frame in sorted(frames, key=lambda f: (f.tap_time, f.number)):
        if frame.port in leaves_on:
            waiting[frame.port].setdefault(key(frame.ethernet), collections.deque()).append(frame)
            continue
        queue = waiting[entered_on[frame.port]].get(key(frame.ethernet))
        while queue and frame.tap_time - queue[0].tap_time > window_ns:
            queue.popleft()
        if not queue:
            continue
        piece = piece_of(frame.ethernet)
        eligible = list(range(len(queue)))
        if piece is not None and not piece[1]:
            own = partners.get((frame.port, piece[0]))
            eligible = []
            for at, entry in enumerate(queue):
                other = piece_of(entry.ethernet)
                if other is None or other[1]:
                    continue
                if own == (entry.port, other[0]) or own is None and (entry.port, other[0]) not in partners:
                    eligible.append(at)
            if not eligible:
                continue
        chosen = eligible[0]
        if ambiguous is not None and len(eligible) > 1:
            ambiguous.update((frame.number, queue[chosen].number))
        entry = queue[chosen]
        del queue[chosen]
        pairs[frame.number] = entry.number
        other = piece_of(entry.ethernet)
        if piece is not None and other is not None:
            partners[(frame.port, piece[0])] = (entry.port, other[0])
            partners[(entry.port, other[0])] = (frame.port, piece[0])
    return pairs


def fragmented_frames(frames, partnered, window_ns, leaves_on):
    """The frames of IPv4 packets that entered whole and left in pieces (the
    same protocol and identification, and the same source or destination
    address, as a translator changes only one; within the window after),
    and their pieces: neither is paired."""
    def identities(frame):
        packet = ip_packet(frame.ethernet)
        if packet is None or packet[0] >> 4 != 4:
            return (), False
        piece = int.from_bytes(packet[6:8], "big") & 0x3FFF != 0
        rest = (packet[9], bytes(packet[4:6]))
        return (("from", bytes(packet[12:16])) + rest, ("to", bytes(packet[16:20])) + rest), piece
    wholes, pieces = [], collections.defaultdict(list)
    for frame in frames:
        if frame.number in partnered:
            continue
        keys, piece = identities(frame)
        if piece and frame.port not in leaves_on:
            for key in keys:
                pieces[key].append(frame)
        elif keys and not piece and frame.port in leaves_on:
            wholes.append((frame, keys))
    found = set()
    for whole, keys in wholes:
        left = {p.number for key in keys for p in pieces.get(key, ())
                if p.port == leaves_on[whole.port] and 0 <= p.tap_time - whole.tap_time <= window_ns}
        if left:
            found.add(whole.number)
            found.update(left)
    return found


def merged_frames(frames, partnered):
    """The records the capture host merged (longer than Ethernet's 1,518
    bytes and than any frame paired on their link) and their pieces: the
    frames alone on the other link that carry bytes of one of them (the
    same TCP flow, a sequence number within its payload)."""
    def link(frame):
        return 2 if frame.port in LINK_2 else 1

    def segment(frame):
        packet = ip_packet(frame.ethernet)
        if packet is None:
            return None
        protocol, at = transport(bytearray(packet))
        if protocol != IPPROTO_TCP or at + 20 > len(packet):
            return None
        payload = len(packet) - at - (packet[at + 12] >> 4) * 4
        return flows(packet), int.from_bytes(packet[at + 4:at + 8], "big"), payload

    largest = {1: 0, 2: 0}
    for frame in frames:
        if frame.number in partnered:
            largest[link(frame)] = max(largest[link(frame)], len(frame.ethernet))
    records = [f for f in frames if len(f.ethernet) > max(1518, largest[link(f)])]
    ranges = collections.defaultdict(list)
    for record in records:
        carried = segment(record)
        if carried is not None:
            flow, start, payload = carried
            ranges[(link(record), flow)].append((start, start + payload))
    found = {record.number for record in records}
    for frame in frames:
        carried = segment(frame) if frame.number not in partnered else None
        if carried is None:
            continue
        flow, start, _ = carried
        if any(low <= start < high for low, high in ranges.get((3 - link(frame), flow), ())):
            found.add(frame.number)
    return found


DEVICE_MACS = (bytes.fromhex("020000000101"), bytes.fromhex("020000000201"))  # device.sh's


def ethertype_of(ethernet):
    """The EtherType behind any VLAN tags, and where what it names starts;
    of a VXLAN packet, its inner frame's."""
    offset = 12
    while offset + 2 <= len(ethernet) and int.from_bytes(ethernet[offset:offset + 2], "big") in VLAN_TAGS:
        offset += 4
    ethertype = int.from_bytes(ethernet[offset:offset + 2], "big")
    outer = outer_ip_packet(ethernet)
    if outer is not None and outer[0] >> 4 == 4 and outer[9] == IPPROTO_UDP:
        at = (outer[0] & 0x0F) * 4
        if int.from_bytes(outer[at + 2:at + 4], "big") == VXLAN_PORT and len(outer) >= at + 16 + 14:
            return ethertype_of(bytes(outer[at + 16:]))
    return ethertype


def link_scoped(packet):
    """Whether an IP packet never leaves its link: link-local addresses, a
    link-scope group, neighbour discovery."""
    if packet[0] >> 4 == 4:
        source, destination = packet[12:16], packet[16:20]
        return (destination[:3] == bytes([224, 0, 0]) or destination == b"\xff\xff\xff\xff" or
                source[:2] == bytes([169, 254]) or destination[:2] == bytes([169, 254]))
    source, destination = packet[8:24], packet[24:40]
    protocol, at = transport(bytearray(packet))
    return (source[:2] == b"\xfe\x80" or destination[:2] == b"\xfe\x80" or destination[:2] in (b"\xff\x01", b"\xff\x02")
            or protocol == IPPROTO_ICMPV6 and at < len(packet) and 133 <= packet[at] <= 137)


def device_frames(frames, alone, routes, leaves_on):
    """The frames alone on their link that were the device's own business,
    entering it: an IEEE 802.1 reserved group; when it routes, ARP, and
    packets that never leave their link or are addressed to an address the
    device sends its own packets from (one no forwarded packet went to)."""
    def destination(packet):
        return bytes(packet[16:20] if packet[0] >> 4 == 4 else packet[24:40])

    own, forwarded_to = set(), set()
    for frame in frames:
        packet = ip_packet(frame.ethernet)
        if packet is None:
            continue
        if frame.number not in alone and frame.port in leaves_on:
            forwarded_to.add(destination(packet))
        elif frame.number in alone and frame.port not in leaves_on and frame.ethernet[6:12] in DEVICE_MACS:
            own.add(bytes(packet[12:16] if packet[0] >> 4 == 4 else packet[8:24]))
    found = set()
    for frame in frames:
        if frame.number not in alone or frame.port not in leaves_on:
            continue
        if frame.ethernet[:5] == bytes([0x01, 0x80, 0xC2, 0, 0]) and frame.ethernet[5] <= 0x0F:
            found.add(frame.number)
            continue
        if not routes:
            continue
        packet = ip_packet(frame.ethernet)
        if ethertype_of(frame.ethernet) == 0x0806 or packet is not None and (
                link_scoped(packet) or destination(packet) in own - forwarded_to):
            found.add(frame.number)
    return found


def frame_fates(frames, window_ns, leaves_on, partnered, ambiguous, late, fragmented, merged, for_device):
    """Every frame's fate by its number, as the tools name them. Of the
    frames alone that were no one's above, one whose other sighting would
    lie where the other link's capture did not reach (within the window
    after a frame entering, before one leaving) is at the capture's edge;
    else one entering was not seen leaving, and one leaving came from the
    device."""
    spans = {}
    for frame in frames:
        link = 2 if frame.port in LINK_2 else 1
        first, last = spans.get(link, (frame.tap_time, frame.tap_time))
        spans[link] = (min(first, frame.tap_time), max(last, frame.tap_time))
    fates = {}
    for frame in frames:
        n, toward = frame.number, frame.port in leaves_on
        first, last = spans.get(1 if frame.port in LINK_2 else 2, (1, 0))
        reach = (frame.tap_time, frame.tap_time + window_ns) if toward else (frame.tap_time - window_ns, frame.tap_time)
        covered = first <= reach[0] and reach[1] <= last
        if n in partnered:
            fates[n] = "ambiguous" if n in ambiguous else "forwarded"
        elif n in late:
            fates[n] = "late"
        elif n in fragmented:
            fates[n] = "fragmented"
        elif n in merged:
            fates[n] = "merged"
        elif n in for_device:
            fates[n] = "for_device"
        elif not covered:
            fates[n] = "at_edge"
        else:
            fates[n] = "not_seen_leaving" if toward else "from_device"
    return fates


def figures(latencies_by_entry):
    """A direction's figures from its latencies in the order of entry."""
    ordered = sorted(latencies_by_entry)
    count = len(ordered)
    ranks = [max(1, -(-per_10000 * count // 10000)) for per_10000 in (5000, 9000, 9900, 9990, 9999)]
    steps = [abs(b - a) for a, b in zip(latencies_by_entry, latencies_by_entry[1:])]
    return [ordered[0], (sum(ordered) + count // 2) // count] + [ordered[rank - 1] for rank in ranks] + \
        [ordered[-1], sum(steps) // len(steps) if steps else 0]


def identity(frame):
    return (frame.port, frame.tap_time, frame.ethernet)


def flows(packet):
    """(protocol, source, source port, destination, destination port) of a
    TCP or UDP packet or an ICMP echo (its identifier as both ports)."""
    version = packet[0] >> 4
    source, destination = (bytes(packet[12:16]), bytes(packet[16:20])) if version == 4 else \
        (bytes(packet[8:24]), bytes(packet[24:40]))
    protocol, at = transport(bytearray(packet))
    if protocol in (IPPROTO_TCP, IPPROTO_UDP) and at + 4 <= len(packet):
        return (protocol, source, bytes(packet[at:at + 2]), destination, bytes(packet[at + 2:at + 4]))
    echo = ICMP_ECHO_TYPES if protocol == IPPROTO_ICMP else ICMPV6_ECHO_TYPES
    if protocol in (IPPROTO_ICMP, IPPROTO_ICMPV6) and at + 8 <= len(packet) and packet[at] in echo:
        identifier = bytes(packet[at + 4:at + 6])
        return (protocol, source, identifier, destination, identifier)
    return None


def faults(frames, pairs, device):
    """What does not hold together in the pairs: a hop count not one less
    after a router, a translation that maps one flow two ways."""
    if device == "bridge":
        return []
    by_number = {frame.number: frame for frame in frames}
    found, inside_out, outside_in = [], {}, {}
    for later, earlier in pairs.items():
        entry, leaving = ip_packet(by_number[earlier].ethernet), ip_packet(by_number[later].ethernet)
        hop = 8 if entry[0] >> 4 == 4 else 7
        if leaving[hop] != entry[hop] - 1:
            found.append(f"frame {later}: hop count {leaving[hop]} after {entry[hop]} in frame {earlier}")
        if device != "nat":
            continue
        inside, outside = flows(entry), flows(leaving)
        if inside is None or outside is None:
            continue
        if by_number[earlier].port in LINK_2:  # a reply: the flow's other way
            inside, outside = outside, inside
            inside, outside = inside[:1] + inside[3:] + inside[1:3], outside[:1] + outside[3:] + outside[1:3]
        if inside_out.setdefault(inside, outside) != outside or outside_in.setdefault(outside, inside) != inside:
            found.append(f"frames {earlier} and {later}: a flow translated two ways")
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--device", choices=("router", "nat", "bridge"), required=True)
    parser.add_argument("--window", type=int, default=100, help="milliseconds")
    parser.add_argument("--cabling", choices=sorted(CABLINGS), default="A-C")
    parser.add_argument("--full", help="the capture CAPTURE was cut from")
    parser.add_argument("capture")
    parser.add_argument("out")
    args = parser.parse_args()
    window_ns = args.window * 1000000
    key = key_function(args.device)
    leaves_on = CABLINGS[args.cabling]

    try:
        frames = read_capture(args.capture)
        full = read_capture(args.full) if args.full else None
    except (OSError, ValueError) as error:
        sys.exit(f"truth.py: {error}")
    ambiguous = set()
    pairs = pair_frames(frames, key, window_ns, leaves_on, ambiguous)
    by_number = {frame.number: frame for frame in frames}
    partnered = set(pairs) | set(pairs.values())
    late_frames = late_partners(frames, key, window_ns, leaves_on, partnered)
    fragmented = fragmented_frames(frames, partnered | late_frames, window_ns, leaves_on)
    merged = merged_frames(frames, partnered)
    unexplained = {f.number for f in frames} - partnered - late_frames - fragmented - merged
    for_device = device_frames(frames, unexplained, args.device != "bridge", leaves_on)
    fates = frame_fates(frames, window_ns, leaves_on, partnered, ambiguous, late_frames, fragmented, merged,
                        for_device)
    # With the whole capture beside it: the frames paired there whose
    # partner is not in this one.
    beyond = set()
    if full is not None:
        whole_pairs = pair_frames(full, key, window_ns, leaves_on)
        here = {identity(frame): frame.number for frame in frames}
        for later, earlier in whole_pairs.items():
            ours = [here.get(identity(full[n - 1])) for n in (later, earlier)]
            if ours.count(None) == 1:
                beyond.update(n for n in ours if n is not None)

    with open(args.out, "w") as out:
        for later in sorted(pairs):
            earlier = pairs[later]
            leaving, entry = by_number[later], by_number[earlier]
            out.write(f"pair\t{later}\t{earlier}\t{leaving.tap_time - entry.tap_time}\t{PORT_NAMES[entry.port]}"
                      f"\t{PORT_NAMES[leaving.port]}\t{entry.tap_time}\t{leaving.tap_time}"
                      f"\t{'ambiguous' if later in ambiguous else 'unique'}\n")
        stayed = [f for f in frames if f.port in leaves_on and f.number not in partnered]
        for frame in stayed:
            out.write(f"stayed\t{frame.number}\t{PORT_NAMES[frame.port]}\n")
        for port in (CON_A, CON_B, CON_C, CON_D):
            alone = [f.number for f in frames if f.port == port and f.number not in partnered]
            out.write(f"unmatched\t{PORT_NAMES[port]}\t{len(alone)}\t{len(beyond.intersection(alone))}\n")
            out.write(f"late\t{PORT_NAMES[port]}\t{len(late_frames.intersection(alone))}\n")
            counted = collections.Counter(fates[f.number] for f in frames if f.port == port)
            for fate in sorted(counted):
                out.write(f"fate\t{PORT_NAMES[port]}\t{fate}\t{counted[fate]}\n")
        for entry_port, leave_port in leaves_on.items():
            out.write(f"forwards\t{PORT_NAMES[entry_port]} → {PORT_NAMES[leave_port]}\n")
            entered = sorted((by_number[earlier].tap_time, by_number[later].tap_time - by_number[earlier].tap_time)
                             for later, earlier in pairs.items() if by_number[earlier].port == entry_port)
            if entered:
                out.write(f"latency\t{PORT_NAMES[entry_port]} → {PORT_NAMES[leave_port]}\t"
                          + " ".join(str(n) for n in figures([latency for _, latency in entered])) + "\n")

    latencies = [by_number[later].tap_time - by_number[earlier].tap_time for later, earlier in pairs.items()]
    directions = collections.Counter(by_number[earlier].port for earlier in pairs.values())
    counts = ", ".join(f"{PORT_NAMES[enter]} → {PORT_NAMES[leave]} {directions[enter]}"
                       for enter, leave in leaves_on.items())
    print(f"     {os.path.basename(args.capture)}: {len(frames)} frames, {len(pairs)} pairs ({counts}), {len(stayed)} entered and never left"
          + (f" ({len(beyond)} frames with their other sighting beyond the capture's edge)" if full else "")
          + f", largest latency {max(latencies, default=0)} ns")
    problems = faults(frames, pairs, args.device)
    for problem in problems[:10]:
        print(f"truth.py: {problem}", file=sys.stderr)
    if problems:
        sys.exit(f"truth.py: {len(problems)} pairs do not hold together")


if __name__ == "__main__":
    main()
