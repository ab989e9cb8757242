// SPDX-License-Identifier: GPL-2.0-or-later
//
// Latency across the TAP's links. A device between the two links is seen
// twice per frame it forwards, on one clock. During the first pass every
// trailer-bearing frame is keyed and handed to the matcher; what it finds
// is kept per frame, so that a frame dissected again shows the same and is
// never matched anew. The tables start empty with each capture.

#include <epan/packet.h>
#include <epan/prefs.h>
#include <wsutil/report_message.h>

#include <algorithm>
#include <cstdio>

#include "ovint_private.h"

#include "core/matching/fate_judge.h"
#include "core/matching/latency_matcher.h"

int hf_ovint_latency = -1;
int hf_ovint_latency_us = -1;
int hf_ovint_fate = -1;
int hf_ovint_latency_earlier = -1;
int hf_ovint_latency_later = -1;

gint latency_key_mode = static_cast<gint>(KeyMode::ip);
guint latency_window_ms = 100;
guint latency_threshold_us = 0;
gint latency_cabling = static_cast<gint>(Cabling::learn);

const enum_val_t latency_key_modes[] = {
    {"off", "Off: no latency", static_cast<gint>(KeyMode::off)},
    {"frame", "Frame: every byte of the Ethernet frame (switches, bridges)", static_cast<gint>(KeyMode::frame)},
    {"ip", "IP: the IP packet less TTL, hop limit and checksum (routers)", static_cast<gint>(KeyMode::ip)},
    {"payload", "Payload: the TCP or UDP payload (proxies)", static_cast<gint>(KeyMode::payload)},
    {"nat", "NAT: the IP packet less what address and port translation change", static_cast<gint>(KeyMode::nat)},
    {NULL, NULL, 0},
};

const enum_val_t latency_cablings[] = {
    {"auto", "Learnt from the capture's first pairs", static_cast<gint>(Cabling::learn)},
    {"A-C", "Con A and Con D toward the device: Con A -> Con C, Con D -> Con B", static_cast<gint>(Cabling::a_c)},
    {"A-D", "Con A and Con C toward the device: Con A -> Con D, Con C -> Con B", static_cast<gint>(Cabling::a_d)},
    {"B-C", "Con B and Con D toward the device: Con B -> Con C, Con D -> Con A", static_cast<gint>(Cabling::b_c)},
    {"B-D", "Con B and Con C toward the device: Con B -> Con D, Con C -> Con A", static_cast<gint>(Cabling::b_d)},
    {NULL, NULL, 0},
};

// The matcher of the capture being read, made when it starts, and what
// tells the fate of a frame it leaves without a partner.
static LatencyMatcher *matcher = NULL;
static FateJudge *judge = NULL;
// The frame being dissected again: what its fate may hang on.
static Sighting shown;
static bool shown_keyed;
static guint32 frame_num_shown;
// What was learnt per frame, by frame number, in pages of 2^16 frames that
// never move: nothing is copied as the capture grows, and each frame's
// entry is cleared as the frames reach it, not a page at a time.
constexpr guint32 LATENCY_PAGE_BITS = 16;
constexpr guint32 LATENCY_PAGE_MASK = (1u << LATENCY_PAGE_BITS) - 1;
static FrameLatency **latency_pages = NULL;
static guint32 latency_page_count = 0;
static guint32 latencies_size = 0;  // frames with an entry: 0 to this one, not included
// The last frame fed: a first dissection of one not after it means the
// capture is being read anew.
static guint32 last_fed_frame = 0;
// A frame has been dissected again: the capture was read through.
static bool read_through = false;
// Both links' captures lay within one window (in the TAP clock's last
// stretch): every unpaired frame is at the capture's edge.
static bool shorter_than_window = false;

// Frame `num`'s entry, below latencies_size.
static inline FrameLatency &latency_of(guint64 num)
{
    return latency_pages[num >> LATENCY_PAGE_BITS][num & LATENCY_PAGE_MASK];
}

// Entries for the frames up to `num`.
G_GNUC_NO_INLINE static void grow_latencies(guint32 num)
{
    const guint32 needed = (num >> LATENCY_PAGE_BITS) + 1;
    if (needed > latency_page_count) {
        latency_pages = static_cast<FrameLatency **>(g_realloc(latency_pages, needed * sizeof *latency_pages));
        for (guint32 page = latency_page_count; page < needed; page++)
            latency_pages[page] = g_new(FrameLatency, LATENCY_PAGE_MASK + 1);
        latency_page_count = needed;
    }
    for (guint32 frame = latencies_size; frame <= num; frame++)
        latency_of(frame) = FrameLatency();
    latencies_size = num + 1;
}

// The next frame's entry, as nearly every frame's is reached, inline.
static inline void reach_latency(guint32 num)
{
    if (num == latencies_size && (num & LATENCY_PAGE_MASK) != 0) {
        latency_of(num) = FrameLatency();
        latencies_size++;
    } else if (num >= latencies_size) {
        grow_latencies(num);
    }
}

static inline FrameLatency &entry_of(guint64 frame)
{
    const guint32 num = static_cast<guint32>(frame);
    if (num >= latencies_size)
        grow_latencies(num);
    return latency_of(num);
}

static inline void store(const Sighting &frame, const Sighting &partner, guint64 latency)
{
    FrameLatency &entry = entry_of(frame.frame);
    entry.latency = latency;
    entry.partner = static_cast<guint32>(partner.frame);
    entry.partner_port = partner.port;
    entry.partner_version = partner.version;
}

static LateSummary late_found;

// The frames paired for a while, as the cabling was being learnt.
static guint32 first_provisional, last_provisional;

const LateSummary *late_summary(void)
{
    return &late_found;
}

// Keeps what the matcher finds, frame by frame.
class StoringSink : public MatchSink {
public:
    void paired(const Pairing &pairing) override
    {
        store(pairing.later, pairing.earlier, pairing.latency);
        latency_of(pairing.later.frame).role = FrameLatency::later;
        store(pairing.earlier, pairing.later, pairing.latency);
        latency_of(pairing.earlier.frame).role = FrameLatency::earlier;
        if (pairing.duplicate) {
            latency_of(pairing.later.frame).marks |= FrameLatency::ambiguous;
            latency_of(pairing.earlier.frame).marks |= FrameLatency::ambiguous;
        }
        judge->paired(pairing.earlier, pairing.later);
    }
    // Shown at once, as in a single pass nothing can be shown later; made
    // again once the cabling is learnt.
    void provisional(const Pairing &pairing) override
    {
        paired(pairing);
        for (const Sighting *sighting : {&pairing.earlier, &pairing.later}) {
            const guint32 num = static_cast<guint32>(sighting->frame);
            latency_of(num).marks |= FrameLatency::provisional;
            first_provisional = first_provisional ? MIN(first_provisional, num) : num;
            last_provisional = MAX(last_provisional, num);
        }
    }
    void cabling_learnt() override
    {
        for (guint32 num = first_provisional; num && num <= last_provisional; num++) {
            if (latency_of(num).marks & FrameLatency::provisional) {
                latency_of(num).marks &= static_cast<guint8>(~FrameLatency::provisional);
                latency_of(num).role = FrameLatency::waiting;
            }
        }
        first_provisional = last_provisional = 0;
    }
    void unmatched(const Sighting &sighting, bool at_edge) override
    {
        entry_of(sighting.frame).role = at_edge ? FrameLatency::edge : FrameLatency::unseen;
        // Pieces that left and packets that entered whole tell a packet
        // the device fragmented; what it sends teaches its addresses.
        const bool toward = toward_device(matcher->findings().cabling, sighting.port);
        if (!toward && sighting.fragment != FragmentKind::none)
            judge->piece_left(sighting);
        else if (toward && sighting.fragment == FragmentKind::none)
            judge->whole_entered(sighting);
        if (!at_edge)
            judge->unpaired(sighting, toward, true);
    }
    void wrong_direction(const Sighting &sighting) override
    {
        entry_of(sighting.frame).marks |= FrameLatency::wrong_direction;
    }
    void late(const Pairing &pairing) override
    {
        // Both were seen, the later after the window. A repeated key's pair
        // may be two frames': no measure of the window.
        entry_of(pairing.later.frame).marks |= FrameLatency::late;
        entry_of(pairing.earlier.frame).marks |= FrameLatency::late;
        if (pairing.duplicate)
            return;
        store(pairing.later, pairing.earlier, pairing.latency);
        latency_of(pairing.later.frame).marks |= FrameLatency::late_later;
        store(pairing.earlier, pairing.later, pairing.latency);
        if (late_found.count++ == 0)
            late_found.first_frame = static_cast<guint32>(pairing.later.frame);
        late_found.latest = MAX(late_found.latest, pairing.latency);
    }
};

const char *cabling_summary(void)
{
    static char text[160];
    if (!matcher || matcher->learning())
        return NULL;
    const MatchFindings &findings = matcher->findings();
    char ports[32] = "";
    for (int i = 0; i < 4; i++) {
        const guint8 port = static_cast<guint8>(0x80 >> i);
        if (!toward_device(findings.cabling, port))
            continue;
        if (ports[0])
            g_strlcat(ports, " and ", sizeof ports);
        g_strlcat(ports, PORT_NAMES_V2[i], sizeof ports);
    }
    if (findings.contradicted)
        snprintf(text, sizeof text,
                 "Cabling: %s toward the device (%s, as set; contradicted: %" G_GUINT64_FORMAT " of the first %"
                 G_GUINT64_FORMAT " pairs fit %s)",
                 ports, cabling_name(findings.cabling), findings.votes_against,
                 findings.votes_for + findings.votes_against, cabling_name(findings.fitting));
    else
        snprintf(text, sizeof text, "Cabling: %s toward the device (%s, %s)", ports, cabling_name(findings.cabling),
                 findings.learnt ? "learnt" : static_cast<Cabling>(latency_cabling) != Cabling::learn ? "as set"
                                                                                                     : "no pair to learn from");
    return text;
}

// Told at the edge by the matcher: once the capture has been read
// through, every frame has been told.
bool at_capture_edge(const FrameLatency *found, guint8, guint64)
{
    return found->role == FrameLatency::edge;
}

bool not_seen_on_other_link(const FrameLatency *found, guint8 port, guint64 tap_time)
{
    const bool without_partner = found->role == FrameLatency::waiting || found->role == FrameLatency::unseen ||
                                 found->role == FrameLatency::unkeyed;
    // A late partner's frame was seen there, after the window.
    return without_partner && !(found->marks & FrameLatency::late) && !at_capture_edge(found, port, tap_time);
}

int current_frame_fate(const FrameLatency *found, guint8 port, guint64 tap_time)
{
    if (found->role == FrameLatency::earlier || found->role == FrameLatency::later)
        return static_cast<int>((found->marks & FrameLatency::ambiguous) ? Fate::ambiguous : Fate::forwarded);
    if (found->marks & FrameLatency::late)
        return static_cast<int>(Fate::late);
    if (found->role == FrameLatency::merged)
        return static_cast<int>(Fate::merged);
    if (!read_through || !matcher || !judge || shown.frame != frame_num_shown)
        return -1;
    const bool toward = toward_device(matcher->findings().cabling, port);
    if (at_capture_edge(found, port, tap_time))
        return static_cast<int>(shown_keyed ? judge->beyond_edge(shown, toward) : Fate::at_edge);
    return static_cast<int>(judge->fate_of(shown, toward, shown_keyed));
}

// The clock's steps, in frame order as found, each kind in its own list.
struct ClockEvents {
    ClockEvent *events;
    guint32 count, size;
};
static ClockEvents clock_events[2];  // steps back, lone frames ahead

static void note_clock_event(guint8 kind, guint32 frame, guint32 ahead_frame, guint64 step)
{
    ClockEvents &list = clock_events[kind == FrameLatency::stepped_back ? 0 : 1];
    if (list.count == list.size) {
        list.size = list.size ? list.size * 2 : 16;
        list.events = static_cast<ClockEvent *>(g_realloc(list.events, list.size * sizeof *list.events));
    }
    list.events[list.count++] = {frame, ahead_frame, step};
    if (frame >= latencies_size)
        grow_latencies(frame);
    latency_of(frame).marks |= kind;
}

const ClockEvent *clock_event(guint32 num, guint8 kind)
{
    const ClockEvents &list = clock_events[kind == FrameLatency::stepped_back ? 0 : 1];
    guint32 low = 0, high = list.count;
    while (low < high) {
        const guint32 middle = low + (high - low) / 2;
        if (list.events[middle].frame < num)
            low = middle + 1;
        else
            high = middle;
    }
    return low < list.count && list.events[low].frame == num ? &list.events[low] : NULL;
}

LatencyRanges latency_tree_ranges(void)
{
    guint64 window = static_cast<guint64>(latency_window_ms) * 1000000;
    return latency_ranges(std::min<guint64>(window, G_MAXINT));
}

// The directions' figures, worked out once the capture has been read
// through and asked for; -1 before. Directions beyond the table (odd port
// bytes) get none.
constexpr int MAX_DIRECTIONS = 32;
static DirectionFigures directions[MAX_DIRECTIONS];
static int direction_count = -1;

// The later sighting's pair as a direction's slot, or -1.
static int direction_slot(const FrameLatency &later, bool add)
{
    const FrameLatency &earlier = latency_of(later.partner);
    for (int i = 0; i < direction_count; i++) {
        const DirectionFigures &d = directions[i];
        if (d.from_port == later.partner_port && d.from_version == later.partner_version &&
            d.to_port == earlier.partner_port && d.to_version == earlier.partner_version)
            return i;
    }
    if (!add || direction_count == MAX_DIRECTIONS)
        return -1;
    DirectionFigures &d = directions[direction_count];
    d = DirectionFigures();
    d.from_port = later.partner_port;
    d.from_version = later.partner_version;
    d.to_port = earlier.partner_port;
    d.to_version = earlier.partner_version;
    return direction_count++;
}

static bool is_later_sighting(guint32 num)
{
    const FrameLatency &entry = latency_of(num);
    return entry.role == FrameLatency::later && entry.partner < latencies_size;
}

// Nearest rank: the smallest latency with at least per_10000
// ten-thousandths of them at or below it.
static LatencyFigure figure_at_rank(const guint64 *sorted, guint64 count, guint64 per_10000)
{
    guint64 rank = (per_10000 * count + 9999) / 10000;
    rank = std::max<guint64>(rank, 1);
    const guint64 value = sorted[rank - 1];
    return {value, static_cast<guint64>(std::upper_bound(sorted, sorted + count, value) - sorted)};
}

// Every pair's latency by direction, sorted once, for the figures; the
// lists are let go at once.
static void work_out_directions(void)
{
    direction_count = 0;
    for (guint32 num = 1; num < latencies_size; num++)
        if (is_later_sighting(num)) {
            const int slot = direction_slot(latency_of(num), true);
            if (slot >= 0)
                directions[slot].count++;
        }
    guint64 *lists[MAX_DIRECTIONS];
    guint64 filled[MAX_DIRECTIONS] = {};
    for (int i = 0; i < direction_count; i++)
        lists[i] = g_new(guint64, directions[i].count);
    const LatencyRanges ranges = latency_tree_ranges();
    for (guint32 num = 1; num < latencies_size; num++)
        if (is_later_sighting(num)) {
            const int slot = direction_slot(latency_of(num), false);
            if (slot >= 0) {
                const guint64 latency = latency_of(num).latency;
                lists[slot][filled[slot]++] = latency;
                // As the tree counts it: beyond the int the host takes, in the last range.
                directions[slot].ranges_used |= G_GUINT64_CONSTANT(1)
                                                << ranges.range_of(std::min(latency, ranges.last_ceil));
            }
        }
    for (int i = 0; i < direction_count; i++) {
        DirectionFigures &d = directions[i];
        guint64 *sorted = lists[i];
        std::sort(sorted, sorted + d.count);
        guint64 sum = 0;
        for (guint64 k = 0; k < d.count; k++)
            sum += sorted[k];
        const guint64 mean = (sum + d.count / 2) / d.count;
        d.figure[DirectionFigures::least] = figure_at_rank(sorted, d.count, 0);
        d.figure[DirectionFigures::mean] = {
            mean, static_cast<guint64>(std::upper_bound(sorted, sorted + d.count, mean) - sorted)};
        d.figure[DirectionFigures::median] = figure_at_rank(sorted, d.count, 5000);
        d.figure[DirectionFigures::p99] = figure_at_rank(sorted, d.count, 9900);
        d.figure[DirectionFigures::p99_9] = figure_at_rank(sorted, d.count, 9990);
        d.figure[DirectionFigures::largest] = {sorted[d.count - 1], d.count};
        g_free(sorted);
    }
}

const DirectionFigures *direction_figures(guint8 from_port, guint8 from_version, guint8 to_port, guint8 to_version)
{
    if (!read_through)
        return NULL;
    if (direction_count < 0)
        work_out_directions();
    for (int i = 0; i < direction_count; i++) {
        const DirectionFigures &d = directions[i];
        if (d.from_port == from_port && d.from_version == from_version && d.to_port == to_port &&
            d.to_version == to_version)
            return &d;
    }
    return NULL;
}

extern "C" void free_latency_tables(void)
{
    delete matcher;
    matcher = NULL;
    delete judge;
    judge = NULL;
    shown = Sighting();
    frame_num_shown = 0;
    for (guint32 page = 0; page < latency_page_count; page++)
        g_free(latency_pages[page]);
    g_free(latency_pages);
    latency_pages = NULL;
    latency_page_count = 0;
    latencies_size = 0;
    last_fed_frame = 0;
    read_through = false;
    shorter_than_window = false;
    direction_count = -1;
    late_found = LateSummary();
    first_provisional = last_provisional = 0;
    for (ClockEvents &list : clock_events) {
        g_free(list.events);
        list = ClockEvents();
    }
}

// The matcher allocates with the C++ runtime, whose failure must not cross
// the host's C frames: noexcept ends it there (the host's own allocator
// aborts too).
extern "C" void start_latency_tables(void) noexcept
{
    free_latency_tables();
    if (static_cast<KeyMode>(latency_key_mode) != KeyMode::off) {
        matcher = new LatencyMatcher(static_cast<guint64>(latency_window_ms) * 1000000,
                                     static_cast<Cabling>(latency_cabling));
        judge = new FateJudge(static_cast<guint64>(latency_window_ms) * 1000000);
    }
}

// A trailer-bearing frame as the matcher and the fates take it, and
// whether it has a key (a merged record: not looked for).
static Sighting sighting_of(const guint8 *bytes, guint32 captured, guint32 reported, TrailerMatch match, guint32 num,
                            bool *keyed)
{
    const TrailerFields trailer = read_trailer(bytes + match.offset);
    const uint16_t channel = channel_of_port_byte(trailer.port);
    const EthernetPart part = ethernet_part(match, captured, reported);
    const guint8 *ethernet = bytes + part.skip;
    IpPacket packet;
    const IpFound found = locate_ip_packet(ethernet, part.captured, packet);
    const FrameFacts facts = frame_facts(ethernet, part.captured, found, packet);
    Sighting sighting;
    sighting.frame = num;
    sighting.tap_time = trailer.timestamp;
    sighting.port = trailer.port;
    sighting.version = match.version;
    sighting.channel = static_cast<uint8_t>(channel);
    sighting.length = part.wire;
    sighting.flags = trailer.flags;
    sighting.view = 0;
    take_facts(sighting, facts);
    *keyed = part.wire <= LONGEST_WIRE_FRAME && channel != NO_CHANNEL &&
             latency_key_of_located(static_cast<KeyMode>(latency_key_mode), ethernet, part.captured, part.wire, found,
                                    packet, &sighting.key);
    return sighting;
}

void check_latency_window(void)
{
    static guint last_good = 100;
    if (latency_window_ms >= 1) {
        last_good = latency_window_ms;
        return;
    }
    report_failure("The latency window must be at least 1 ms; it stays at %u ms.", last_good);
    latency_window_ms = last_good;
}

void note_sighting(const guint8 *bytes, guint32 captured, guint32 reported, TrailerMatch match,
                   const frame_data *fd) noexcept
{
    if (!matcher)
        return;
    if (fd->visited) {
        // Read through: every frame still waiting is settled as at the
        // capture's end (the cabling learnt from what there was, frames
        // away from the device asking the watch for a partner).
        if (!read_through) {
            StoringSink sink;
            shorter_than_window = matcher->shorter_than_window();
            matcher->finish(sink);
            read_through = true;
        }
        // A frame without a partner: its fate hangs on its bytes.
        const FrameLatency *found = frame_latency(fd->num);
        if (found && found->role != FrameLatency::earlier && found->role != FrameLatency::later) {
            shown = sighting_of(bytes, captured, reported, match, fd->num, &shown_keyed);
            frame_num_shown = fd->num;
        }
        return;
    }
    if (fd->num <= last_fed_frame)
        start_latency_tables();
    last_fed_frame = fd->num;

    reach_latency(fd->num);
    StoringSink sink;
    const guint64 steps_back = matcher->clock().steps().back, lone_ahead = matcher->clock().steps().ahead;
    bool keyed;
    const Sighting sighting = sighting_of(bytes, captured, reported, match, fd->num, &keyed);
    if (sighting.length > LONGEST_WIRE_FRAME) {
        // Frames the capture host merged: no port saw them as one.
        latency_of(fd->num).role = FrameLatency::merged;
        judge->merged_record(sighting);
        matcher->pass(fd->num, sighting.tap_time, sighting.channel, sink);
    } else if (!keyed) {
        // Never matched, but it tells the time.
        latency_of(fd->num).role = FrameLatency::unkeyed;
        matcher->pass(fd->num, sighting.tap_time, sighting.channel, sink);
    } else {
        latency_of(fd->num).role = FrameLatency::waiting;
        judge->seen(sighting);
        matcher->add(sighting, sink);
    }
    const ClockSteps &after = matcher->clock().steps();
    if (after.back != steps_back)
        note_clock_event(FrameLatency::stepped_back, fd->num, 0, after.last_back);
    if (after.ahead != lone_ahead)
        note_clock_event(FrameLatency::lone_ahead_ended, fd->num, static_cast<guint32>(after.last_ahead_frame),
                         after.last_ahead);
}

const FrameLatency *frame_latency(guint32 num)
{
    if (num >= latencies_size || (latency_of(num).role == FrameLatency::none && !latency_of(num).marks))
        return NULL;
    return &latency_of(num);
}

// A frame not seen on the other link, known once the capture has been read
// through, and a latency above the threshold: expert entries, on `item`
// (the port's or the latency's; NULL without a tree).
static void add_latency_expert(packet_info *pinfo, const FrameLatency *found, proto_item *item, guint8 port,
                               guint64 tap_time)
{
    if (found->role == FrameLatency::later || found->role == FrameLatency::earlier) {
        // On the sighting read second, whichever of the two was earlier by
        // TAP time: in a single pass, that is when the pair is known. Each
        // entry's text is the same whatever the preferences, so that the
        // host counts them together: the values are in the frame's tree.
        if (found->partner < pinfo->fd->num && latency_threshold_us &&
            found->latency > static_cast<guint64>(latency_threshold_us) * 1000)
            expert_add_info(pinfo, item, &ei_ovint_above_threshold);
        return;
    }
    if (!pinfo->fd->visited)
        return;
    const Fate fate = static_cast<Fate>(current_frame_fate(found, port, tap_time));
    switch (fate) {
    case Fate::not_seen:
        expert_add_info(pinfo, item, &ei_ovint_not_seen);
        break;
    case Fate::late:
        expert_add_info(pinfo, item, &ei_ovint_late);
        break;
    case Fate::fragmented:
    case Fate::for_device:
    case Fate::from_device:
    case Fate::no_key:
        expert_add_info(pinfo, item, &ei_ovint_one_link);
        break;
    case Fate::merged:
        expert_add_info(pinfo, item, &ei_ovint_merged);
        break;
    case Fate::at_edge:
        // A capture shorter than the window has every unpaired frame here.
        expert_add_info(pinfo, item, shorter_than_window ? &ei_ovint_short_capture : &ei_ovint_at_edge);
        break;
    default:
        break;
    }
}

void add_latency_expert_only(packet_info *pinfo, guint8 port, guint64 tap_time)
{
    const FrameLatency *found = frame_latency(pinfo->fd->num);
    if (found)
        add_latency_expert(pinfo, found, NULL, port, tap_time);
}

void add_latency_items(proto_tree *tree, proto_item *port_item, tvbuff_t *tvb, packet_info *pinfo)
{
    const frame_data *fd = pinfo->fd;
    const FrameLatency *found = frame_latency(fd->num);
    if (!found)
        return;
    if (found->role != FrameLatency::earlier && found->role != FrameLatency::later) {
        const guint8 port = ovint_get_uint8(tvb, PORT_OFFSET);
        const guint64 tap_time = tvb_get_letoh64(tvb, TIMESTAMP_OFFSET);
        const int fate = current_frame_fate(found, port, tap_time);
        if (fate >= 0)
            proto_item_set_generated(proto_tree_add_uint(tree, hf_ovint_fate, tvb, 0, 0, static_cast<guint32>(fate)));
        add_latency_expert(pinfo, found, port_item, port, tap_time);
        return;
    }
    proto_item_set_generated(
        proto_tree_add_uint(tree, hf_ovint_fate, tvb, 0, 0, static_cast<guint32>(current_frame_fate(found, 0, 0))));
    char duration[DURATION_TEXT];
    format_duration(found->latency, duration);
    const PortLabel port = port_label(found->partner_version, found->partner_port);
    proto_item *item;
    if (found->role == FrameLatency::later) {
        item = proto_tree_add_uint_format(tree, hf_ovint_latency_earlier, tvb, 0, 0, found->partner,
                                          "Seen on %s in frame %u, %s earlier", port.text, found->partner,
                                          duration);
        proto_item_set_generated(item);
        nstime_t latency;
        latency.secs = static_cast<time_t>(found->latency / 1000000000);
        latency.nsecs = static_cast<int>(found->latency % 1000000000);
        item = proto_tree_add_time(tree, hf_ovint_latency, tvb, 0, 0, &latency);
        proto_item_set_generated(item);
        proto_item_set_generated(proto_tree_add_double(tree, hf_ovint_latency_us, tvb, 0, 0,
                                                       static_cast<double>(found->latency) / 1000.0));
        add_latency_expert(pinfo, found, item, 0, 0);
    } else {
        item = proto_tree_add_uint_format(tree, hf_ovint_latency_later, tvb, 0, 0, found->partner,
                                          "Seen again on %s in frame %u, %s later", port.text, found->partner,
                                          duration);
        proto_item_set_generated(item);
        add_latency_expert(pinfo, found, item, 0, 0);
    }
}

void register_latency_preferences(module_t *module)
{
    prefs_register_enum_preference(module, "latency_key", "Latency: match frames by",
                                   "How a frame seen on both links is recognised: by every byte (switches), "
                                   "by its IP packet less what a router changes, by its TCP or UDP payload "
                                   "(proxies that segment anew), or by its IP packet less what address and "
                                   "port translation change (NAT, load balancers). Off: no latency.",
                                   &latency_key_mode, latency_key_modes, FALSE);
    prefs_register_enum_preference(module, "latency_cabling", "Latency: cabling",
                                   "Which way the TAP is cabled: the port of link 1 that carries frames toward "
                                   "the device and the port of link 2 that carries them away. Frames pair only "
                                   "in the directions the device forwards. Auto: learnt from the capture's "
                                   "first pairs.",
                                   &latency_cabling, latency_cablings, FALSE);
    prefs_register_uint_preference(module, "latency_window", "Latency: window (ms)",
                                   "How long after a frame is seen on one link it may be seen on the other; "
                                   "later, it counts as not seen there. At least 1 ms.",
                                   10, &latency_window_ms);
    prefs_register_uint_preference(module, "latency_threshold", "Latency: threshold (\u00b5s)",
                                   "A latency above it is an expert warning (Analyze \u203a Expert Information). "
                                   "0: off.",
                                   10, &latency_threshold_us);
}
