// SPDX-License-Identifier: GPL-2.0-or-later
//
// The fate of a frame left without a partner: what the capture says of why
// it was seen on one link only. Toward the device: addressed to it or to a
// link-local group (never the device's to forward), merged by the capture
// host, or else not seen leaving (the device's loss). Away from it: sent by
// the device, or the pieces of a record the capture host merged on the
// other link. One packet that entered whole and left in pieces (the device
// fragmented it) is fragmented, on both sides. What decides it is learnt
// from the capture as it is read: whether the device routes (its pairs
// lose a hop), the addresses it sends from, the largest frame each link
// carries, the pieces seen leaving.

#ifndef OVINT_CORE_MATCHING_FATE_JUDGE_H
#define OVINT_CORE_MATCHING_FATE_JUDGE_H

#include "core/matching/latency_matcher.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class FateJudge {
public:
    // Pieces of a packet lie at most `window` ns after the packet whole.
    explicit FateJudge(uint64_t window) : window_(window) {}
    // A pair: what it teaches of the device and its links.
    void paired(const Sighting &earlier, const Sighting &later);
    // A record no port saw as one frame (its length says so).
    void merged_record(const Sighting &record) { note_merged(record); }
    // Seen as it came: a keyed frame longer than any its link has carried
    // may be several merged; its pieces on the other link are then told as
    // its own.
    void seen(const Sighting &sighting)
    {
        if (sighting.length > STANDARD_LONGEST && sighting.length > largest_paired_[sighting.channel == 2])
            note_merged(sighting);
    }
    // The fate of a frame without a partner, not at the capture's edge:
    // `toward` the device by the cabling, `keyed` or not. One the device
    // sent teaches the address it sends from.
    Fate unpaired(const Sighting &sighting, bool toward, bool keyed)
    {
        const Fate fate = fate_of(sighting, toward, keyed);
        if (fate == Fate::from_device)
            learn_address(sighting.src_tag);
        return fate;
    }
    // The same, learning nothing.
    Fate fate_of(const Sighting &sighting, bool toward, bool keyed) const;
    // A keyed frame whose partner may lie beyond the capture's edge: at the
    // edge, unless the capture already tells its fate wherever it ended: a
    // packet the device fragmented (a piece of one known to have entered
    // whole, or one whose pieces left), a merged record, or a frame for the
    // device. Ask once the packets around it have been told.
    Fate beyond_edge(const Sighting &sighting, bool toward) const;

    // A piece of a packet seen leaving the device without a partner, and a
    // packet seen entering it whole without one: a packet the device
    // fragmented, once both are told. Ask for a piece's fate once the
    // packets before it have been told.
    void piece_left(const Sighting &piece);
    void whole_entered(const Sighting &whole);
    // The pieces the packet whole `whole` left the device in, as told:
    // the first and the last by TAP time, and how many; none: 0.
    struct Pieces {
        uint64_t first_time = 0, last_time = 0, first_frame = 0, last_frame = 0;
        uint32_t count = 0;
        uint8_t port = 0, version = 0;
    };
    Pieces pieces_of(const Sighting &whole) const;

    bool routes() const { return routed_pairs_ > bridged_pairs_; }

private:
    // Ethernet's largest frame but for jumbo frames, with a VLAN tag.
    static constexpr uint32_t STANDARD_LONGEST = 1518;
    static constexpr size_t MOST_ADDRESSES = 4096;
    static constexpr size_t MOST_MERGED = 4096;

    struct Merged {
        uint64_t tap_time;
        uint32_t src_tag, dst_tag;
        uint8_t channel;
        uint32_t tcp_seq;  // the TCP bytes it holds, if any
        uint16_t tcp_payload;
    };
    void note_merged(const Sighting &record);
    void learn_address(uint32_t tag);
    bool piece_of_merged(const Sighting &sighting) const;

    // One bit a destination (of 2^20) that a pair entered the device for.
    static uint32_t forwarded_bit(uint32_t tag) { return (tag * 0x9E3779B1u) >> 12; }
    bool maybe_forwarded_to(uint32_t tag) const
    {
        const uint32_t bit = forwarded_bit(tag);
        return forwarded_to_[bit >> 6] >> (bit & 63) & 1;
    }

    // Packets in pieces left, and whole ones entered: the
    // latest, oldest first.
    static constexpr size_t MOST_PACKETS = 65536;
    // A packet is known by its identity with its source address and with
    // its destination address: an address translator changes one of them,
    // its source on the way out, its destination on the way in.
    struct Packet {
        uint32_t sides[2];  // side_tags()
        uint8_t channel;
        bool whole;           // entered whole; else its pieces left
        Pieces pieces;        // of pieces left
        uint64_t whole_time;  // of a whole one entered
    };
    static void side_tags(const Sighting &sighting, uint32_t sides[2]);
    const Packet *find_packet(const Sighting &sighting, uint8_t channel, bool whole) const;
    void add_packet(const Packet &packet);
    std::deque<Packet> packets_;
    // The latest packet of each identity on either side, channel and
    // form (index_key()): its place in packets_ plus dropped_. One a key:
    // an identity that recurs (an IPv4 identification of 0 with DF set)
    // costs one probe, not a walk through every packet of it.
    std::unordered_map<uint64_t, size_t> packet_index_;
    static uint64_t index_key(uint32_t side, uint8_t channel, bool whole)
    {
        return uint64_t(side) << 3 | uint64_t(channel & 3) << 1 | (whole ? 1 : 0);
    }
    size_t dropped_ = 0;  // packets that left the front

    uint64_t window_;
    uint64_t routed_pairs_ = 0, bridged_pairs_ = 0;
    std::vector<uint64_t> forwarded_to_ = std::vector<uint64_t>(size_t(1) << 14);  // 128 KB
    uint32_t largest_paired_[2] = {0, 0};  // by link
    std::unordered_set<uint32_t> device_addresses_;
    std::deque<Merged> merged_;  // the latest, oldest first
};

#endif // OVINT_CORE_MATCHING_FATE_JUDGE_H
