#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The device bed's ground truth on frames made to order: what each kind of
device may change of a frame, which frames pair, and what it tells of a
capture cut at its edge."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import truth  # noqa: E402

CLIENT, SERVER, PUBLIC = bytes([10, 1, 0, 2]), bytes([10, 2, 0, 2]), bytes([10, 2, 0, 1])
CLIENT6, PUBLIC6, SERVER6 = bytes(15) + b"\x02", bytes(14) + b"\x01\x01", bytes(14) + b"\x02\x02"


def ipv4(protocol, payload, source=CLIENT, destination=SERVER, ttl=64, ident=7, checksum=0x1234, flags=0x4000):
    header = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), ident, flags, ttl, protocol, checksum,
                         source, destination)
    return header + payload


def ipv6(next_header, payload, source=CLIENT6, destination=SERVER6, hop_limit=64, flow=0):
    return struct.pack(">IHBB16s16s", 0x60000000 | flow, len(payload), next_header, hop_limit, source,
                       destination) + payload


def fragment_header(next_header, ident):
    return struct.pack(">BBHI", next_header, 0, 0x0001, ident)  # the first fragment, more to come


def tcp(source_port=40000, destination_port=5201, sequence=1000, data=b"segment", checksum=0xABCD):
    return struct.pack(">HHIIBBHHH", source_port, destination_port, sequence, 0, 0x50, 0x18, 8192, checksum,
                       0) + data


def udp(source_port=40000, destination_port=5201, data=b"datagram", checksum=0xABCD):
    return struct.pack(">HHHH", source_port, destination_port, 8 + len(data), checksum) + data


def icmp(icmp_type, identifier=0x1111, sequence=1, data=b"echo", checksum=0xABCD):
    return struct.pack(">BBHHH", icmp_type, 0, checksum, identifier, sequence) + data


def ethernet(packet, ethertype=0x0800, source=b"\x02\x00\x00\x00\x01\x02", pad=0x00):
    frame = b"\x02\x00\x00\x00\x01\x01" + source + struct.pack(">H", ethertype) + packet
    return frame + bytes([pad]) * max(0, 60 - len(frame))


def eth6(packet, **options):
    return ethernet(packet, ethertype=0x86DD, **options)


UDP, TCP, ICMP, ICMPV6 = 17, 6, 1, 58

# device, one sighting, the other, whether the device may have made one of
# the other
SAME_FRAME = [
    ("router", ethernet(ipv4(TCP, tcp())), ethernet(ipv4(TCP, tcp(), ttl=63, checksum=0x1334),
                                                    source=b"\x02\x00\x00\x00\x02\x01"), True),
    ("router", ethernet(ipv4(TCP, tcp())), ethernet(ipv4(TCP, tcp(), ident=8)), False),
    ("router", ethernet(ipv4(UDP, udp(data=b""))), ethernet(ipv4(UDP, udp(data=b"")), pad=0xEE), True),
    ("router", eth6(ipv6(UDP, udp())), eth6(ipv6(UDP, udp(), hop_limit=63)), True),
    ("router", eth6(ipv6(UDP, udp())), eth6(ipv6(UDP, udp(), flow=5)), False),
    ("router", ethernet(ipv4(TCP, tcp())), ethernet(ipv4(TCP, tcp(), source=PUBLIC)), False),
    ("bridge", ethernet(ipv4(TCP, tcp())), ethernet(ipv4(TCP, tcp())), True),
    ("bridge", ethernet(ipv4(TCP, tcp())), ethernet(ipv4(TCP, tcp(), ttl=63)), False),
    ("nat", ethernet(ipv4(TCP, tcp())),
     ethernet(ipv4(TCP, tcp(source_port=61000, checksum=0x1111), source=PUBLIC, ttl=63, checksum=0x9999)), True),
    ("nat", ethernet(ipv4(TCP, tcp())), ethernet(ipv4(TCP, tcp(sequence=1001), source=PUBLIC)), False),
    ("nat", ethernet(ipv4(TCP, tcp())), ethernet(ipv4(TCP, tcp(data=b"segmenT"), source=PUBLIC)), False),
    ("nat", ethernet(ipv4(ICMP, icmp(8))), ethernet(ipv4(ICMP, icmp(8, identifier=0x2222), source=PUBLIC)), True),
    ("nat", ethernet(ipv4(ICMP, icmp(8))), ethernet(ipv4(ICMP, icmp(8, sequence=2), source=PUBLIC)), False),
    ("nat", ethernet(ipv4(ICMP, icmp(8))), ethernet(ipv4(ICMP, icmp(0), source=PUBLIC)), False),
    # A port unreachable, the datagram it quotes translated back with it.
    ("nat", ethernet(ipv4(ICMP, struct.pack(">BBHI", 3, 3, 0x1, 0)
                          + ipv4(UDP, udp(source_port=61000), source=PUBLIC), source=SERVER, destination=PUBLIC)),
     ethernet(ipv4(ICMP, struct.pack(">BBHI", 3, 3, 0x2, 0) + ipv4(UDP, udp(checksum=0x7777), checksum=0x4321),
                   source=SERVER, destination=CLIENT, ttl=63)), True),
    ("nat", ethernet(ipv4(ICMP, struct.pack(">BBHI", 3, 3, 0x1, 0) + ipv4(UDP, udp(data=b"one")))),
     ethernet(ipv4(ICMP, struct.pack(">BBHI", 3, 3, 0x1, 0) + ipv4(UDP, udp(data=b"two")))), False),
    ("nat", eth6(ipv6(UDP, udp())), eth6(ipv6(UDP, udp(source_port=62000), source=PUBLIC6, hop_limit=63)), True),
    ("nat", eth6(ipv6(ICMPV6, icmp(128))), eth6(ipv6(ICMPV6, icmp(128, identifier=9), source=PUBLIC6)), True),
    ("nat", eth6(ipv6(44, fragment_header(UDP, 1) + udp())), eth6(ipv6(44, fragment_header(UDP, 2) + udp())),
     True),
    # A tunnel's end: the packet it carries, in VXLAN over UDP.
    ("router", ethernet(ipv4(TCP, tcp())),
     ethernet(ipv4(UDP, udp(source_port=50000, destination_port=4789,
                            data=bytes([8, 0, 0, 0, 0, 0, 5, 0]) + ethernet(ipv4(TCP, tcp(), ttl=63))), ident=99)),
     True),
    # Fragments after the first hold no ports.
    ("nat", ethernet(ipv4(UDP, b"\x01\x02\x03\x04data", flags=0x0010)),
     ethernet(ipv4(UDP, b"\x09\x02\x03\x04data", flags=0x0010)), False),
    ("nat", ethernet(b"\x00\x01\x08\x00\x06\x04\x00\x01", ethertype=0x0806),
     ethernet(b"\x00\x01\x08\x00\x06\x04\x00\x02", ethertype=0x0806), False),
]

A, B, C, D = truth.CON_A, truth.CON_B, truth.CON_C, truth.CON_D
MS = 1000000


def piece(ident, first, data):
    """An IPv6 fragment of packet IDENT, the first or a later one: a whole
    frame (a bytearray, told from a datagram's content)."""
    header = struct.pack(">BBHI", UDP, 0, 0x0001 if first else 0x0101, ident)
    return bytearray(eth6(ipv6(44, header + data)))


def frames_of(sightings):
    """Frames from (port, TAP time, content) rows, numbered in row order; a
    content of bytes is a datagram's, a bytearray a whole frame."""
    return [truth.Frame(n, port, time, ethernet(ipv4(UDP, udp(data=content))) if isinstance(content, bytes)
                        else bytes(content))
            for n, (port, time, content) in enumerate(sightings, 1)]


# sightings (port, TAP time, content), window in ms, cabling, pairs
# {later: earlier}[, device: router unless named]
PAIRINGS = [
    ("first in, first out", [(A, 0, b"x"), (A, 10, b"x"), (C, 20, b"x"), (C, 30, b"x")], 100, "A-C", {3: 1, 4: 2}),
    ("each way", [(A, 0, b"x"), (D, 5, b"y"), (C, 20, b"x"), (B, 30, b"y")], 100, "A-C", {3: 1, 4: 2}),
    ("no forwarding from Con B to Con C", [(B, 0, b"x"), (C, 10, b"x")], 100, "A-C", {}),
    ("nor from Con C to Con A", [(C, 0, b"x"), (A, 10, b"x")], 100, "A-C", {}),
    ("nor within a link", [(A, 0, b"x"), (B, 10, b"x")], 100, "A-C", {}),
    ("out of the capture's order", [(C, 20, b"x"), (A, 0, b"x")], 100, "A-C", {1: 2}),
    ("beyond the window", [(A, 0, b"x"), (C, 150 * MS, b"x")], 100, "A-C", {}),
    ("within a wider window", [(A, 0, b"x"), (C, 150 * MS, b"x")], 200, "A-C", {2: 1}),
    ("an older equal frame gone", [(A, 0, b"x"), (A, 120 * MS, b"x"), (C, 150 * MS, b"x")], 100, "A-C", {3: 2}),
    ("a dropped frame's equal successor", [(A, 0, b"x"), (A, 10, b"x"), (C, 20, b"x")], 100, "A-C", {3: 1}),
    ("a packet lost whole shifts no piece of the next (pieces alike, identifications changed)",
     [(A, 0, piece(1, True, udp(data=b"one"))), (A, 1, piece(1, False, b"z")), (A, 10, piece(2, True, udp(data=b"two"))),
      (A, 11, piece(2, False, b"z")), (C, 20, piece(12, True, udp(data=b"two"))), (C, 21, piece(12, False, b"z"))],
     100, "A-C", {5: 3, 6: 4}, "nat"),
    ("the first piece dropped: the later one pairs, with a piece of a packet without a partner",
     [(A, 0, piece(1, True, udp(data=b"one"))), (A, 1, piece(1, False, b"z")), (A, 10, piece(2, True, udp(data=b"two"))),
      (A, 11, piece(2, False, b"z")), (C, 20, piece(12, True, udp(data=b"two"))), (C, 21, piece(12, False, b"z")),
      (C, 22, piece(11, False, b"z"))],
     100, "A-C", {5: 3, 6: 4, 7: 2}, "nat"),
    ("cabled A-D", [(A, 0, b"x"), (C, 5, b"y"), (D, 20, b"x"), (B, 30, b"y"), (C, 40, b"x")], 100, "A-D",
     {3: 1, 4: 2}),
    ("cabled B-C", [(B, 0, b"x"), (D, 5, b"y"), (C, 20, b"x"), (A, 30, b"y"), (B, 40, b"y")], 100, "B-C",
     {3: 1, 4: 2}),
    ("cabled B-D", [(B, 0, b"x"), (C, 5, b"y"), (D, 20, b"x"), (A, 30, b"y"), (A, 40, b"x")], 100, "B-D",
     {3: 1, 4: 2}),
]


def write_capture(path, frames):
    with open(path, "wb") as file:
        file.write(struct.pack("<IHHiIII", 0xA1B23C4D, 2, 4, 0, 0, 262144, 1))
        for frame in frames:
            data = frame.ethernet + struct.pack("<I", 0) + truth.TRAILER_MARKER + bytes([frame.port, 0]) \
                + struct.pack("<Q", frame.tap_time)
            file.write(struct.pack("<IIII", frame.tap_time // 10**9, frame.tap_time % 10**9, len(data), len(data)))
            file.write(data)


class Truth(unittest.TestCase):
    def test_what_a_device_changes(self):
        for n, (device, one, other, same) in enumerate(SAME_FRAME):
            with self.subTest(row=n, device=device):
                key = truth.key_function(device)
                self.assertEqual(key(one) == key(other), same)

    def test_pairing(self):
        for name, sightings, window, cabling, pairs, *device in PAIRINGS:
            with self.subTest(name):
                self.assertEqual(truth.pair_frames(frames_of(sightings), truth.key_function(device[0] if device else "router"),
                                                   window * MS, truth.CABLINGS[cabling]), pairs)

    def test_late_partners(self):
        # sightings, then the frames told late (window 100 ms)
        rows = [
            ("a partner after the window", [(A, 0, b"x"), (C, 150 * MS, b"x")], {1, 2}),
            ("a partner beyond the watch", [(A, 0, b"x"), (C, 1200 * MS, b"x")], set()),
            ("a dropped request repeated: its successor's partner is not its own",
             [(A, 0, b"x"), (A, 1000 * MS, b"x"), (C, 1001 * MS, b"x")], set()),
        ]
        for name, sightings, late in rows:
            with self.subTest(name):
                frames = frames_of(sightings)
                key = truth.key_function("router")
                partnered = {number for pair in truth.pair_frames(frames, key, 100 * MS).items() for number in pair}
                self.assertEqual(truth.late_partners(frames, key, 100 * MS, truth.CABLINGS["A-C"], partnered), late)

    def test_figures(self):
        # latencies in the order of entry: min, mean, median, p90, p99,
        # p99.9, p99.99, max, jitter
        rows = [
            ([7], [7, 7, 7, 7, 7, 7, 7, 7, 0]),
            ([10, 30, 20], [10, 20, 20, 30, 30, 30, 30, 30, 15]),
            ([1, 2], [1, 2, 1, 2, 2, 2, 2, 2, 1]),  # the mean 1.5 rounds up
            (list(range(1000, 0, -1)), [1, 501, 500, 900, 990, 999, 1000, 1000, 1]),
        ]
        for latencies, expected in rows:
            with self.subTest(latencies=latencies[:3]):
                self.assertEqual(truth.figures(latencies), expected)

    def test_pairs_that_do_not_hold_together(self):
        entry = truth.Frame(1, A, 0, ethernet(ipv4(UDP, udp())))
        translated = truth.Frame(2, C, 5, ethernet(ipv4(UDP, udp(source_port=61000), source=PUBLIC, ttl=63)))

        def reply(public_port):
            return [truth.Frame(3, D, 10, ethernet(ipv4(UDP, udp(5201, public_port, b"reply"), SERVER, PUBLIC))),
                    truth.Frame(4, B, 15, ethernet(ipv4(UDP, udp(5201, 40000, b"reply"), SERVER, CLIENT, ttl=63)))]
        rows = [
            ("router", "hop count 64 after 64", [entry, truth.Frame(2, C, 5, ethernet(ipv4(UDP, udp())))]),
            ("nat", "", [entry, translated] + reply(61000)),
            ("nat", "translated two ways", [entry, translated] + reply(61001)),
            ("nat", "translated two ways",
             [entry, truth.Frame(2, C, 5, ethernet(ipv4(UDP, udp(source_port=61000), source=PUBLIC, ttl=63))),
              truth.Frame(3, A, 10, ethernet(ipv4(UDP, udp(data=b"again")))),
              truth.Frame(4, C, 15, ethernet(ipv4(UDP, udp(source_port=61001, data=b"again"), source=PUBLIC,
                                                  ttl=63)))]),
        ]
        for device, fault, frames in rows:
            with self.subTest(device):
                pairs = truth.pair_frames(frames, truth.key_function(device), 100 * MS)
                self.assertEqual(len(pairs), len(frames) // 2)
                found = " ".join(truth.faults(frames, pairs, device))
                self.assertIn(fault, found) if fault else self.assertEqual(found, "")

    def test_a_capture_cut_at_its_edge(self):
        # Link 2 stopped first: x left after it, y entered on Con D after it
        # and left on Con B; z entered and was dropped.
        whole = frames_of([(A, 0, b"x"), (A, 1, b"z"), (C, 3, b"x"), (D, 4, b"y"), (B, 5, b"y")])
        cut = [frame for frame in whole if frame.port in (A, B)]
        with tempfile.TemporaryDirectory() as folder:
            paths = [os.path.join(folder, name) for name in ("whole.pcap", "cut.pcap", "truth")]
            write_capture(paths[0], whole)
            write_capture(paths[1], cut)
            subprocess.run([sys.executable, truth.__file__, "--device", "router", "--full", paths[0], paths[1],
                            paths[2]], check=True, stdout=subprocess.DEVNULL)
            with open(paths[2]) as file:
                lines = file.read().splitlines()
        self.assertEqual(lines, ["stayed\t1\tCon A", "stayed\t2\tCon A", "unmatched\tCon A\t2\t1",
                                 "late\tCon A\t0", "fate\tCon A\tat_edge\t2", "unmatched\tCon B\t1\t1",
                                 "late\tCon B\t0", "fate\tCon B\tat_edge\t1", "unmatched\tCon C\t0\t0",
                                 "late\tCon C\t0", "unmatched\tCon D\t0\t0", "late\tCon D\t0",
                                 "forwards\tCon A → Con C", "forwards\tCon D → Con B"])


if __name__ == "__main__":
    unittest.main()
