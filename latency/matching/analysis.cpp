// SPDX-License-Identifier: GPL-2.0-or-later

#include "matching/analysis.h"

#include "core/trailer/trailer_format.h"

#include <algorithm>

// How far out of TAP-time order the capture may write frames.
constexpr uint64_t REORDER_HORIZON = PortBursts::REORDER_HORIZON;
// The bytes a frame takes on the wire beyond its Ethernet part: FCS,
// preamble and the inter-frame gap.
constexpr uint32_t WIRE_OVERHEAD = 24;

Analysis::Analysis(KeyMode mode, uint64_t window_ns, Cabling cabling, TableSink *tables)
    : ranges(latency_ranges(window_ns)), judge_(window_ns), mode_(mode), window_(window_ns), tables_(tables),
      matcher_(window_ns, cabling)
{
    cabling_given = cabling != Cabling::learn;
    settled_reach_ = window_ + REORDER_HORIZON;
    const uint64_t watched = window_ > UINT64_MAX / (LatencyMatcher::WATCH_WINDOWS + 2)
                                 ? UINT64_MAX
                                 : window_ * (LatencyMatcher::WATCH_WINDOWS + 2);
    pieces_reach_ = watched + REORDER_HORIZON;
}

PortFigures &Analysis::port_figures(uint8_t version, uint8_t port)
{
    PortFigures &figures = ports[port_order_key(version, port)];
    figures.version = version;
    figures.port = port;
    return figures;
}

void Analysis::group_by(GroupBy by, size_t limit)
{
    groups.reset(new TrafficGroups(by, limit));
    keeping_views_ = true;
}

Analysis::PortPlace Analysis::make_port_place(uint8_t version, uint8_t port)
{
    PortBursts &bursts = port_bursts_.emplace(port_order_key(version, port), line_rate_of(port)).first->second;
    if (keeping_interval_latencies_)
        bursts.keep_intervals();
    const PortPlace place = {&port_figures(version, port), &bursts};
    if (version < 3)
        port_places_(version, port) = place;
    return place;
}

DirectionFigures &Analysis::direction_figures(const Pairing &pairing)
{
    // In port order, as the ports.
    const uint32_t key = uint32_t(pairing.earlier.version) << 16 | uint32_t(0xFF - pairing.earlier.port) << 8 |
                         uint32_t(0xFF - pairing.later.port);
    for (const RecentDirection &recent : recent_directions_) {
        if (recent.key == key)
            return *recent.figures;
    }
    DirectionFigures &direction = directions[key];
    direction.version = pairing.earlier.version;
    direction.from_port = pairing.earlier.port;
    direction.to_port = pairing.later.port;
    // Followed for months: the intervals hold the exact latencies, the
    // running totals only their histogram, in bounded memory.
    if (keeping_interval_latencies_)
        direction.latencies = LatencyDistribution(0, LatencyDistribution::Beyond::estimate);
    recent_directions_[next_recent_++ % 4] = {key, &direction};
    return direction;
}

FrameRecord read_frame(KeyMode mode, bool views, uint64_t frame, const uint8_t *bytes, uint32_t captured,
                       uint32_t wire_length, bool ethernet)
{
    FrameRecord record = {};
    record.frame = frame;
    record.kind = FrameRecord::no_trailer;
    if (!ethernet)
        return record;
    const TrailerMatch match = find_trailer(bytes, captured);
    if (match.placement == TrailerPlacement::none)
        return record;
    const TrailerFields trailer = read_trailer(bytes + match.offset);
    const EthernetPart part = ethernet_part(match, captured, wire_length);
    record.tap_time = trailer.timestamp;
    record.wire = part.wire;
    record.port = trailer.port;
    record.version = match.version;
    record.flags = trailer.flags;
    const uint8_t *part_bytes = bytes + part.skip;
    IpPacket packet;
    const IpFound found = locate_ip_packet(part_bytes, part.captured, packet);
    record.facts = frame_facts(part_bytes, part.captured, found, packet);
    if (part.wire > LONGEST_WIRE_FRAME) {
        record.kind = FrameRecord::merged;
        return record;
    }
    const bool keyed = channel_of_port_byte(trailer.port) != NO_CHANNEL &&
                       latency_key_of_located(mode, part_bytes, part.captured, part.wire, found, packet, &record.key);
    record.kind = keyed ? FrameRecord::keyed : FrameRecord::unkeyed;
    if (views)
        record.view = traffic_view_of(part_bytes, part.captured, found, packet);
    return record;
}

void Analysis::add_record(const FrameRecord &record)
{
    frames++;
    if (record.kind == FrameRecord::no_trailer)
        return;
    frames_with_trailer++;
    const uint64_t frame = record.frame, tap_time = record.tap_time;
    if (__builtin_expect(!any_tap_time, 0)) {
        first_frame_tap_time = first_tap_time = last_tap_time = tap_time;
        any_tap_time = true;
    } else if (tap_time < first_tap_time) {
        first_tap_time = tap_time;
    } else if (tap_time > last_tap_time) {
        last_tap_time = tap_time;
    }
    const PortPlace place = port_place(record.version, record.port);
    place.figures->frames++;
    if (__builtin_expect(record.flags != 0, 0)) {
        const TapFlagTable table = tap_flags(record.version);
        for (size_t i = 0; i < table.size(); i++)
            place.figures->flagged[i] += (record.flags & table[i].mask) ? 1 : 0;
    }
    const uint16_t channel = channel_of_port_byte(record.port);
    Sighting sighting = {frame,        tap_time,     record.key, record.wire, record.port, record.version,
                         record.flags, static_cast<uint8_t>(channel),
                         keeping_views_ && record.kind != FrameRecord::merged ? views.hold(record.view) : 0};
    take_facts(sighting, record.facts);
    if (__builtin_expect(record.kind == FrameRecord::merged, 0)) {
        add_merged(*place.figures, sighting);
        return;
    }
    place.bursts->add(tap_time, record.wire + WIRE_OVERHEAD, frame);

    if (record.kind == FrameRecord::unkeyed) {
        matcher_.pass(frame, tap_time, sighting.channel, *this);
        // Its fate hangs on its side of the device: told once the cabling
        // is known.
        if (__builtin_expect(matcher_.learning(), 0))
            unkeyed_while_learning_.push_back(sighting);
        else
            count_unseen(sighting, false, false);
    } else {
        judge_.seen(sighting);
        matcher_.add(sighting, *this);
    }
    // A match is made when its second sighting comes, within the window of
    // the first and at most the horizon out of order: by then every match
    // of an earlier sighting this far back is known.
    const uint64_t now = matcher_.clock().now();
    if (now > settled_reach_) {
        jitter_order_.release(now - settled_reach_);
        interval_jitter_order_.release(now - settled_reach_);
    }
    // A packet that entered before a piece is told at most its watch after
    // the piece.
    while (__builtin_expect(!pending_pieces_.empty(), 0) && now > pending_pieces_.front().piece.tap_time &&
           now - pending_pieces_.front().piece.tap_time > pieces_reach_)
        tell_piece();
}

// Frames the capture host merged: no port saw them as one. They only tell
// the time, and their pieces on the other link.
void Analysis::add_merged(PortFigures &figures, const Sighting &record)
{
    figures.merged++;
    figures.fates[static_cast<int>(Fate::merged)]++;
    if (merged_records++ == 0)
        first_merged_frame = record.frame;
    judge_.merged_record(record);
    matcher_.pass(record.frame, record.tap_time, record.channel, *this);
    if (tables_)
        tables_->frame_row(record, false, Fate::merged);
}

// The pair's latency under the definition asked for, below zero too: a
// cut-through device's last bit in comes after its first bit out.
int64_t Analysis::defined_latency_of(const Pairing &pairing)
{
    if (definition_ == LatencyDefinition::fifo)
        return static_cast<int64_t>(pairing.latency);
    const int64_t latency =
        defined_latency(definition_, pairing.latency,
                        wire_duration(pairing.earlier.length, line_rates_[pairing.earlier.channel - 1]),
                        wire_duration(pairing.later.length, line_rates_[pairing.later.channel - 1]));
    if (latency < 0 && below_zero++ == 0)
        first_below_zero_frame = pairing.later.frame;
    return latency;
}

void Analysis::paired(const Pairing &pairing)
{
    const int64_t latency = defined_latency_of(pairing);
    DirectionFigures &direction = direction_figures(pairing);
    judge_.paired(pairing.earlier, pairing.later);
    const int fate = static_cast<int>(pairing.duplicate ? Fate::ambiguous : Fate::forwarded);
    port_place(pairing.earlier.version, pairing.earlier.port).figures->fates[fate]++;
    port_place(pairing.later.version, pairing.later.port).figures->fates[fate]++;
    direction.latencies.add(latency);
    direction.ambiguous += pairing.duplicate ? 1 : 0;
    // The histogram's and the picture's ranges start at 0: below zero is
    // in the first.
    const uint64_t at_least_zero = latency > 0 ? static_cast<uint64_t>(latency) : 0;
    const size_t range = ranges.range_of(at_least_zero);
    direction.histogram[range]++;
    if (keeping_interval_latencies_) {
        direction.interval_latencies.add(latency);
        direction.interval_histogram[at_least_zero > ranges.last_ceil ? ranges.count : range]++;
        interval_jitter_order_.add(pairing.earlier.tap_time, latency, &direction.interval_jitter);
    }
    jitter_order_.add(pairing.earlier.tap_time, latency, &direction.jitter);
    if (picturing_) {
        const uint64_t since_start =
            pairing.earlier.tap_time > first_frame_tap_time ? pairing.earlier.tap_time - first_frame_tap_time : 0;
        direction.picture.add(since_start, at_least_zero);
    }
    if (groups)
        groups->matched(views.view(pairing.earlier.view), latency);
    if (tables_)
        tables_->match_rows(pairing, latency);
    told(pairing.earlier);
    told(pairing.later);
}

void Analysis::unmatched(const Sighting &sighting, bool at_edge)
{
    count_unseen(sighting, true, at_edge);
}

// Both sightings met beyond the window: late, neither lost nor the
// device's own.
// A packet the device fragmented: its direction's count, and the latency
// to its first and to its last piece.
void Analysis::count_fragmented(const Sighting &whole)
{
    const FateJudge::Pieces pieces = judge_.pieces_of(whole);
    Sighting first_piece = {};
    first_piece.port = pieces.port;
    first_piece.version = pieces.version;
    DirectionFigures &direction = direction_figures(Pairing{whole, first_piece, 0, false});
    direction.fragmented++;
    direction.to_first_piece.add(static_cast<int64_t>(pieces.first_time - whole.tap_time));
    direction.to_last_piece.add(static_cast<int64_t>(pieces.last_time - whole.tap_time));
}

void Analysis::late(const Pairing &pairing)
{
    for (const Sighting *sighting : {&pairing.earlier, &pairing.later}) {
        port_place(sighting->version, sighting->port).figures->fates[static_cast<int>(Fate::late)]++;
        if (tables_)
            tables_->frame_row(*sighting, true, Fate::late);
        told(*sighting);
    }
    if (pairing.duplicate) {
        window_check.unsure++;
        return;
    }
    if (window_check.late++ == 0)
        window_check.first_late_frame = pairing.later.frame;
    window_check.latest = std::max(window_check.latest, pairing.latency);
}

// A frame never seen on the other link: one the matcher gave up on, or one
// it could not be given (no key), which no other sighting can match; or
// one at the capture's edge, whose partner may lie outside it.
void Analysis::count_unseen(const Sighting &sighting, bool keyed, bool at_edge)
{
    PortFigures &figures = *port_place(sighting.version, sighting.port).figures;
    // Toward the device by the cabling (only frames without a key are told
    // while it is learnt: their fate is theirs on either side).
    const bool toward = toward_device(matcher_.findings().cabling, sighting.port);
    // A piece that left, or a packet that entered whole, tells the other of
    // a packet the device fragmented, at the capture's edge too.
    const bool piece_left = keyed && !toward && sighting.fragment != FragmentKind::none;
    if (piece_left) {
        // Fragmented, once the packets that entered before it have been
        // told; else as it was told.
        judge_.piece_left(sighting);
        if (pending_pieces_.size() == MOST_PENDING_PIECES)
            tell_piece();
        pending_pieces_.push_back({sighting, at_edge});
        return;
    }
    if (keyed && toward && sighting.fragment == FragmentKind::none) {
        judge_.whole_entered(sighting);
        if ((at_edge || settling_) && sighting.packet_tag) {
            // Its pieces may have left within the capture, and, when all
            // that waits is told at once, be told after it: told with them.
            if (pending_pieces_.size() == MOST_PENDING_PIECES)
                tell_piece();
            pending_pieces_.push_back({sighting, at_edge});
            return;
        }
    }
    if (at_edge) {
        figures.at_edge++;
        const Fate fate = keyed ? judge_.beyond_edge(sighting, toward) : Fate::at_edge;
        figures.fates[static_cast<int>(fate)]++;
        if (tables_)
            tables_->frame_row(sighting, keyed, fate);
        told(sighting);
        return;
    }
    tell_unpaired(sighting, keyed, toward, figures);
}

// A piece that left (or a packet that entered whole at the capture's edge)
// told longer ago than any packet that entered whole before it: its fate
// is known.
void Analysis::tell_piece()
{
    const PendingPiece pending = pending_pieces_.front();
    pending_pieces_.pop_front();
    const Sighting &piece = pending.piece;
    PortFigures &figures = *port_place(piece.version, piece.port).figures;
    // Told at the capture's edge: so counted, but fragmented when its
    // packet is known to have entered, or its pieces to have left.
    if (pending.at_edge) {
        figures.at_edge++;
        const bool whole = piece.fragment == FragmentKind::none;
        const Fate fate = judge_.beyond_edge(piece, whole);
        figures.fates[static_cast<int>(fate)]++;
        if (whole && fate == Fate::fragmented)
            count_fragmented(piece);
        if (tables_)
            tables_->frame_row(piece, true, fate);
        told(piece);
        return;
    }
    // A piece that left, or a packet that entered whole as the matcher
    // settled.
    tell_unpaired(piece, true, piece.fragment == FragmentKind::none, figures);
}

void Analysis::tell_unpaired(const Sighting &sighting, bool keyed, bool toward, PortFigures &figures)
{
    const Fate fate = judge_.unpaired(sighting, toward, keyed);
    figures.fates[static_cast<int>(fate)]++;
    if (fate == Fate::fragmented && toward)
        count_fragmented(sighting);
    if (groups && fate == Fate::not_seen)
        groups->unmatched(views.view(sighting.view), port_index(sighting.port));
    figures.unmatched++;
    figures.no_key += keyed ? 0 : 1;
    const TapFlagTable table = tap_flags(sighting.version);
    for (size_t i = 0; i < table.size(); i++)
        figures.unmatched_flagged[i] += (sighting.flags & table[i].mask) ? 1 : 0;
    if (tables_)
        tables_->frame_row(sighting, keyed, fate);
    told(sighting);
}

void Analysis::cabling_learnt()
{
    for (const Sighting &sighting : unkeyed_while_learning_)
        count_unseen(sighting, false, false);
    std::vector<Sighting>().swap(unkeyed_while_learning_);
}

// A new TAP clock: the matches of the old one are all known, and their
// order ends with them; the bursts' windows start again.
// An interval's groups: bounded in number and in what each holds.
static TrafficGroups *interval_groups(GroupBy by, size_t limit)
{
    return new TrafficGroups(by, std::min(limit, Analysis::INTERVAL_GROUPS), Analysis::INTERVAL_GROUP_EXACT_LIMIT,
                             LatencyDistribution::Beyond::estimate);
}

void Analysis::keep_interval_latencies()
{
    keeping_interval_latencies_ = true;
    if (groups)
        groups.reset(interval_groups(groups->by(), groups->limit()));
}

std::unique_ptr<TrafficGroups> Analysis::take_interval_groups()
{
    std::unique_ptr<TrafficGroups> taken = std::move(groups);
    if (!taken)
        return taken;
    groups.reset(interval_groups(taken->by(), taken->limit()));
    taken->finish(toward_ports(cabling_so_far()));
    return taken;
}

void Analysis::clock_stepped_back()
{
    // Every packet of the old clock has been told: so are its pieces.
    while (!pending_pieces_.empty())
        tell_piece();
    settling_ = false;
    jitter_order_.finish();
    interval_jitter_order_.finish();
    for (auto &entry : port_bursts_)
        entry.second.restart();
}

void Analysis::finish()
{
    matcher_.finish(*this);
    while (!pending_pieces_.empty())
        tell_piece();
    settling_ = false;
    clock_steps = matcher_.clock().steps();
    findings = matcher_.findings();
    jitter_order_.finish();
    interval_jitter_order_.finish();
    // A frame never seen again is counted once, against the direction most
    // frames from its port took.
    std::map<uint16_t, DirectionFigures *> busiest_from;
    for (auto &entry : directions) {
        DirectionFigures &direction = entry.second;
        window_check.near_end += direction.histogram[ranges.count - 1];
        direction.entered = direction.latencies.count() + direction.fragmented;
        DirectionFigures *&busiest = busiest_from[port_order_key(direction.version, direction.from_port)];
        if (!busiest || direction.latencies.count() > busiest->latencies.count())
            busiest = &direction;
    }
    for (auto &entry : busiest_from) {
        const auto port = ports.find(entry.first);
        if (port == ports.end())
            continue;
        const uint64_t *fates = port->second.fates;
        entry.second->not_seen = fates[static_cast<int>(Fate::not_seen)];
        entry.second->late = fates[static_cast<int>(Fate::late)];
        entry.second->entered += entry.second->not_seen + entry.second->late;
    }
    if (groups)
        groups->finish(toward_ports(findings.cabling));
    for (auto &entry : port_bursts_) {
        const Burst *busiest = entry.second.finish();
        std::copy(busiest, busiest + BURST_WINDOW_COUNT, ports[entry.first].bursts);
    }
}
