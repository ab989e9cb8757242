// SPDX-License-Identifier: GPL-2.0-or-later

#include "core/matching/fate_judge.h"

#include "core/trailer/ports.h"

namespace {

// How far apart in TAP time a merged record and its pieces on the other
// link may lie: the device holds a frame a while.
constexpr uint64_t PIECES_REACH = 1000000000;

} // namespace

void FateJudge::paired(const Sighting &earlier, const Sighting &later)
{
    if (earlier.ttl && later.ttl)
        (later.ttl < earlier.ttl ? routed_pairs_ : bridged_pairs_)++;
    for (const Sighting *sighting : {&earlier, &later}) {
        uint32_t &largest = largest_paired_[sighting->channel == 2];
        largest = sighting->length > largest ? sighting->length : largest;
    }
    // An address frames are forwarded to is not the device's own alone (a
    // translator's public address, say).
    const uint32_t bit = forwarded_bit(earlier.dst_tag);
    forwarded_to_[bit >> 6] |= uint64_t(1) << (bit & 63);
    if (__builtin_expect(!device_addresses_.empty(), 0))
        device_addresses_.erase(earlier.dst_tag);
}

void FateJudge::note_merged(const Sighting &record)
{
    if (!record.src_tag)
        return;
    if (merged_.size() == MOST_MERGED)
        merged_.pop_front();
    merged_.push_back({record.tap_time, record.src_tag, record.dst_tag, record.channel, record.tcp_seq,
                       record.tcp_payload});
}

// A frame of the same addresses as a record merged on the other link, near
// it in TAP time; of a record of TCP segments, one whose bytes it holds (a
// segment of the flow the device dropped is no piece of it).
bool FateJudge::piece_of_merged(const Sighting &sighting) const
{
    if (!sighting.src_tag)
        return false;
    for (auto merged = merged_.rbegin(); merged != merged_.rend(); ++merged) {
        if (merged->tap_time < sighting.tap_time && sighting.tap_time - merged->tap_time > PIECES_REACH)
            break;  // the older are further still
        const uint64_t apart = merged->tap_time > sighting.tap_time ? merged->tap_time - sighting.tap_time
                                                                     : sighting.tap_time - merged->tap_time;
        if (apart <= PIECES_REACH && merged->channel != sighting.channel && merged->src_tag == sighting.src_tag &&
            merged->dst_tag == sighting.dst_tag &&
            (!merged->tcp_payload ||
             (sighting.tcp_payload && uint32_t(sighting.tcp_seq - merged->tcp_seq) < merged->tcp_payload)))
            return true;
    }
    return false;
}

void FateJudge::learn_address(uint32_t tag)
{
    if (tag && device_addresses_.size() < MOST_ADDRESSES && !maybe_forwarded_to(tag))
        device_addresses_.insert(tag);
}

void FateJudge::side_tags(const Sighting &sighting, uint32_t sides[2])
{
    sides[0] = ((sighting.src_tag * 0x9E3779B1u) ^ sighting.id_tag) | 1;
    sides[1] = ((sighting.dst_tag * 0x85EBCA6Bu) ^ sighting.id_tag) & ~1u;
}

// The latest packet seen on `channel` (whole or in pieces) with the same
// identity as `sighting` on either side.
const FateJudge::Packet *FateJudge::find_packet(const Sighting &sighting, uint8_t channel, bool whole) const
{
    uint32_t sides[2];
    side_tags(sighting, sides);
    const Packet *latest = nullptr;
    size_t latest_place = 0;
    for (int side = 0; side < 2; side++) {
        const auto at = packet_index_.find(index_key(sides[side], channel, whole));
        if (at != packet_index_.end() && (!latest || at->second > latest_place)) {
            latest = &packets_[at->second - dropped_];
            latest_place = at->second;
        }
    }
    return latest;
}

void FateJudge::add_packet(const Packet &packet)
{
    // The oldest packet goes when the table is full.
    // The oldest packet goes when the table is full; any older one of its
    // keys is gone already.
    if (packets_.size() == MOST_PACKETS) {
        const Packet &oldest = packets_.front();
        for (const uint32_t side : oldest.sides) {
            const auto at = packet_index_.find(index_key(side, oldest.channel, oldest.whole));
            if (at != packet_index_.end() && at->second == dropped_)
                packet_index_.erase(at);
        }
        packets_.pop_front();
        dropped_++;
    }
    for (const uint32_t side : packet.sides)
        packet_index_[index_key(side, packet.channel, packet.whole)] = dropped_ + packets_.size();
    packets_.push_back(packet);
}

void FateJudge::piece_left(const Sighting &piece)
{
    if (!piece.packet_tag)
        return;
    const Packet *found = find_packet(piece, piece.channel, false);
    if (found && piece.tap_time >= found->pieces.first_time && piece.tap_time - found->pieces.first_time <= window_) {
        Pieces &pieces = const_cast<Packet *>(found)->pieces;
        if (piece.tap_time >= pieces.last_time) {
            pieces.last_time = piece.tap_time;
            pieces.last_frame = piece.frame;
        }
        pieces.count++;
        return;
    }
    Packet packet = {};
    side_tags(piece, packet.sides);
    packet.channel = piece.channel;
    packet.pieces.first_time = packet.pieces.last_time = piece.tap_time;
    packet.pieces.first_frame = packet.pieces.last_frame = piece.frame;
    packet.pieces.count = 1;
    packet.pieces.port = piece.port;
    packet.pieces.version = piece.version;
    add_packet(packet);
}

void FateJudge::whole_entered(const Sighting &whole)
{
    if (!whole.packet_tag)
        return;
    Packet packet = {};
    side_tags(whole, packet.sides);
    packet.channel = whole.channel;
    packet.whole = true;
    packet.whole_time = whole.tap_time;
    add_packet(packet);
}

FateJudge::Pieces FateJudge::pieces_of(const Sighting &whole) const
{
    if (!whole.packet_tag || whole.fragment != FragmentKind::none)
        return Pieces();
    const Packet *found = find_packet(whole, whole.channel == 2 ? 1 : 2, false);
    if (!found || found->pieces.first_time < whole.tap_time || found->pieces.first_time - whole.tap_time > window_)
        return Pieces();
    return found->pieces;
}

Fate FateJudge::beyond_edge(const Sighting &sighting, bool toward) const
{
    if (toward ? sighting.fragment == FragmentKind::none && pieces_of(sighting).count
               : sighting.fragment != FragmentKind::none && fate_of(sighting, false, true) == Fate::fragmented)
        return Fate::fragmented;
    if (sighting.length > STANDARD_LONGEST && sighting.length > largest_paired_[sighting.channel == 2])
        return Fate::merged;
    return toward && fate_of(sighting, true, true) == Fate::for_device ? Fate::for_device : Fate::at_edge;
}

Fate FateJudge::fate_of(const Sighting &sighting, bool toward, bool keyed) const
{
    // Without a key, a frame toward the device that the TAP saw damaged
    // is one the device could not forward: its loss, told by the flag.
    // Any other may have left unrecognised.
    if (!keyed)
        return toward && received_in_error(sighting.version, sighting.flags) ? Fate::not_seen : Fate::no_key;
    if (sighting.length > STANDARD_LONGEST && sighting.length > largest_paired_[sighting.channel == 2])
        return Fate::merged;
    if (piece_of_merged(sighting))
        return Fate::merged;
    // Entered whole and left in pieces, or a piece of such a packet.
    if (toward && sighting.fragment == FragmentKind::none && pieces_of(sighting).count)
        return Fate::fragmented;
    if (!toward && sighting.fragment != FragmentKind::none && sighting.packet_tag) {
        const Packet *whole = find_packet(sighting, sighting.channel == 2 ? 1 : 2, true);
        if (whole && whole->whole_time <= sighting.tap_time && sighting.tap_time - whole->whole_time <= window_)
            return Fate::fragmented;
    }
    if (!toward)
        return Fate::from_device;  // sent by the device: where it sends from is its own
    if (sighting.scope == FrameScope::bridge_local)
        return Fate::for_device;
    // A router never forwards link-local frames; a bridge floods them.
    if (sighting.scope == FrameScope::link_local && routed_pairs_ >= bridged_pairs_)
        return Fate::for_device;
    if (sighting.dst_tag && device_addresses_.count(sighting.dst_tag))
        return Fate::for_device;
    return Fate::not_seen;
}
