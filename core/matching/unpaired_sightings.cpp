// SPDX-License-Identifier: GPL-2.0-or-later
//
// The matcher's sightings that find no partner in the window, and the
// pieces of fragmented packets: whether a sighting left at the capture's
// edge, what it is told as otherwise, and how a packet's pieces pair with
// their packet's partner.

#include "core/matching/latency_matcher.h"

#include "core/matching/late_watch.h"

namespace {

// At most this many wait to be told at the capture's edge or not, per link:
// beyond, the oldest are (the other link's capture has ended, most likely).
constexpr size_t UNDECIDED_MAX = 65536;

} // namespace

// A sighting leaves without a partner: while the capture goes on
// (`settled` false), or settled at its end or the clock's step back. Going
// on, it is at the capture's edge, or not, once the other link's capture is
// seen to cover where its partner would lie.
void LatencyMatcher::left_unpaired(const Sighting &sighting, bool settled, bool repeated, MatchSink &sink)
{
    const bool toward = toward_device(findings_.cabling, sighting.port);
    const int other = sighting.channel != 2;  // the other link's index
    const LinkSpan &span = spans_[other];
    const bool outside = partner_may_lie_outside(toward, sighting.tap_time, window_, span);
    if (!settled && outside && span.seen() && sighting.tap_time >= span.first &&
        !(!toward && sighting.tap_time - span.first < window_)) {
        // Only the other link's end is in question: wait for it.
        if (undecided_[other].size() == UNDECIDED_MAX) {
            at_edge(undecided_[other].front().sighting, undecided_[other].front().repeated, sink);
            undecided_[other].pop_front();
        }
        undecided_[other].push_back({sighting, repeated});
        undecided_count_[other] = undecided_[other].size();
        return;
    }
    if (outside)
        at_edge(sighting, repeated, sink);
    else
        without_partner(sighting, settled, repeated, sink);
}

// A sighting whose partner may lie outside the capture: at its edge, unless
// it was seen away from the device and the watch holds its partner from
// further back than the window (a late pair, wherever the capture ends).
void LatencyMatcher::at_edge(const Sighting &sighting, bool repeated, MatchSink &sink)
{
    if (kind_ == Kind::main && watch_ && sighting.fragment != FragmentKind::later &&
        !toward_device(findings_.cabling, sighting.port) && watch_->claim(sighting, repeated, sink))
        return;
    sink.unmatched(sighting, true);
}

// A sighting without a partner in the window, not at the capture's edge.
// One away from the device may have met its partner beyond the window: it
// asks the watch. One toward the device is watched for its partner while
// the capture goes on, and told when its watch ends.
void LatencyMatcher::without_partner(const Sighting &sighting, bool settled, bool repeated, MatchSink &sink)
{
    if (kind_ != Kind::main)
        return;
    const bool toward = toward_device(findings_.cabling, sighting.port);
    if (toward && settled) {
        sink.unmatched(sighting, false);
        return;
    }
    if (!watch_) {
        const uint64_t reach = window_ > UINT64_MAX / WATCH_WINDOWS ? UINT64_MAX : window_ * WATCH_WINDOWS;
        watch_.reset(new LateWatch(window_, reach));
    }
    if (!toward) {
        // A later piece is no measure alone: which packet's it is, its key
        // may not tell.
        if (sighting.fragment == FragmentKind::later || !watch_->claim(sighting, repeated, sink))
            sink.unmatched(sighting, false);
    } else if (!watch_->keep(sighting, repeated, sink)) {
        findings_.unwatched++;
    }
}

// The link of index `link` was captured at a later TAP time: the sightings
// of the other link whose partner would lie before it are not at the edge.
void LatencyMatcher::decide_edges(int link, MatchSink &sink)
{
    std::deque<Undecided> &waiting = undecided_[link];
    while (!waiting.empty()) {
        const Undecided &undecided = waiting.front();
        const Sighting &sighting = undecided.sighting;
        if (partner_may_lie_outside(toward_device(findings_.cabling, sighting.port), sighting.tap_time, window_,
                                    spans_[link]))
            break;
        without_partner(sighting, false, undecided.repeated, sink);
        waiting.pop_front();
    }
    undecided_count_[link] = waiting.size();
}

void LatencyMatcher::packets_partnered(const Sighting &earlier, const Sighting &later)
{
    if (!packet_partners_)
        packet_partners_.reset(new PacketPartner[2 * PACKET_PARTNERS]());
    packet_partner(earlier.packet_tag, earlier.channel) = {earlier.packet_tag, later.packet_tag, earlier.tap_time,
                                                           earlier.channel};
    packet_partner(later.packet_tag, later.channel) = {later.packet_tag, earlier.packet_tag, later.tap_time,
                                                       later.channel};
}

void LatencyMatcher::pieces_paired(const Sighting &earlier, const Sighting &later, MatchSink &sink)
{
    if (earlier.fragment != FragmentKind::first || later.fragment != FragmentKind::first)
        return;
    packets_partnered(earlier, later);
    // Later pieces of these packets that came first, written a little out
    // of order, pair now.
    while (!orphan_pieces_.empty() && (!alive(orphan_pieces_.front()) || entry(orphan_pieces_.front()).paired))
        orphan_pieces_.pop_front();
    for (const uint64_t seq : orphan_pieces_) {
        if (!alive(seq) || entry(seq).paired)
            continue;
        const Sighting &orphan = entry(seq).sighting;
        if ((orphan.packet_tag == earlier.packet_tag && orphan.channel == earlier.channel) ||
            (orphan.packet_tag == later.packet_tag && orphan.channel == later.channel))
            adopt_piece(seq, false, sink);
    }
}

// A later piece waiting for its packet's first pieces to pair: the piece of
// its partner packet that waits on the other link, if one does. Or, once it
// leaves the window alone with its packet still without a partner (its
// first piece lost on the way, or never captured), `headless`: the waiting
// piece of its key whose packet has no partner either, which makes the two
// packets partners. So the pieces the device did forward are not counted as
// lost with the one it dropped.
void LatencyMatcher::adopt_piece(uint64_t seq, bool headless, MatchSink &sink)
{
    Entry &orphan = entry(seq);
    if (headless && has_partner_packet(orphan.sighting))
        return;
    const int other = orphan.sighting.channel != 2;
    const Slot &slot = index_[orphan.slot];
    int looked = 0;
    for (uint64_t at = slot.oldest[other]; alive(at) && looked < 4 * LOOKAHEAD; at = entry(at).newer, looked++) {
        Entry &waiting = entry(at);
        const uint64_t apart = waiting.sighting.tap_time > orphan.sighting.tap_time
                                   ? waiting.sighting.tap_time - orphan.sighting.tap_time
                                   : orphan.sighting.tap_time - waiting.sighting.tap_time;
        if (waiting.paired || apart > window_ || !(waiting.sighting.key == orphan.sighting.key))
            continue;
        if (headless ? waiting.sighting.fragment != FragmentKind::later || has_partner_packet(waiting.sighting)
                     : !same_packet(orphan.sighting, waiting.sighting))
            continue;
        const bool waiting_first = waiting.sighting.tap_time <= orphan.sighting.tap_time;
        const Sighting &earlier = waiting_first ? waiting.sighting : orphan.sighting;
        const Sighting &later = waiting_first ? orphan.sighting : waiting.sighting;
        if (!allowed(earlier, later))
            continue;
        waiting.paired = orphan.paired = true;
        if (headless)
            packets_partnered(earlier, later);
        sink.paired(Pairing{earlier, later, later.tap_time - earlier.tap_time, false});
        return;
    }
}

bool LatencyMatcher::has_partner_packet(const Sighting &piece)
{
    if (!packet_partners_)
        packet_partners_.reset(new PacketPartner[2 * PACKET_PARTNERS]());
    const PacketPartner &known = packet_partner(piece.packet_tag, piece.channel);
    const uint64_t apart = known.tap_time > piece.tap_time ? known.tap_time - piece.tap_time : piece.tap_time - known.tap_time;
    return known.packet_tag == piece.packet_tag && known.channel == piece.channel && apart <= window_;
}

// Whether a later piece and a candidate of its key are pieces of packets
// whose first pieces paired: without that, no pairing.
bool LatencyMatcher::same_packet(const Sighting &piece, const Sighting &candidate)
{
    if (!packet_partners_ || candidate.fragment != FragmentKind::later)
        return false;
    const PacketPartner &known = packet_partner(piece.packet_tag, piece.channel);
    const uint64_t apart = known.tap_time > piece.tap_time ? known.tap_time - piece.tap_time : piece.tap_time - known.tap_time;
    return known.packet_tag == piece.packet_tag && known.channel == piece.channel && apart <= window_ &&
           known.partner == candidate.packet_tag;
}
