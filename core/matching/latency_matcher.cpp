// SPDX-License-Identifier: GPL-2.0-or-later

#include "core/matching/latency_matcher.h"

#include "core/matching/late_watch.h"

#include <new>

namespace {

// Room for a window of a busy link from the start (0.9 MB and 1.8 MB):
// growing costs a copy of everything waiting.
constexpr size_t FIRST_RING = 16384;
constexpr size_t FIRST_INDEX = 32768;
// The trial and the watch hold few: their ring starts small. (Their index
// does not: the system hands out large zeroed blocks without writing them.)
constexpr size_t FIRST_RING_SMALL = 1024;

// The cabling is learnt from this many pairs, each with a single
// candidate, or from what came of this many frames.
constexpr uint64_t LEARNING_PAIRS = 64;
constexpr size_t LEARNING_FRAMES = 65536;
// A cabling given is contradicted by no fewer pairs than this.
constexpr uint64_t CONTRADICTING_PAIRS = 8;
} // namespace

// Counts the directions of pairs each with a single candidate, by port.
class LatencyMatcher::VoteSink final : public MatchSink {
public:
    void paired(const Pairing &pairing) override
    {
        if (outer)
            outer->provisional(pairing);
        if (pairing.duplicate)
            return;
        votes[port_index(pairing.earlier.port) & 3][port_index(pairing.later.port) & 3]++;
        pairs++;
    }
    void unmatched(const Sighting &, bool) override {}

    // The cabling most votes fit (of equals, the README's first), the votes
    // it fits, and all.
    Cabling best(uint64_t *fitting, uint64_t *total) const
    {
        Cabling chosen = CABLINGS[0];
        *fitting = *total = 0;
        for (int earlier = 0; earlier < 4; earlier++) {
            for (int later = 0; later < 4; later++)
                *total += votes[earlier][later];
        }
        for (Cabling cabling : CABLINGS) {
            const uint64_t score = fitting_votes(cabling);
            if (score > *fitting) {
                *fitting = score;
                chosen = cabling;
            }
        }
        return chosen;
    }
    uint64_t fitting_votes(Cabling cabling) const
    {
        uint64_t score = 0;
        for (int earlier = 0; earlier < 4; earlier++) {
            for (int later = 0; later < 4; later++) {
                if (forwarded(cabling, static_cast<uint8_t>(0x80 >> earlier), static_cast<uint8_t>(0x80 >> later)))
                    score += votes[earlier][later];
            }
        }
        return score;
    }

    uint64_t votes[4][4] = {};
    uint64_t pairs = 0;
    MatchSink *outer = nullptr;  // told of each pair while learning
};

LatencyMatcher::Index LatencyMatcher::zeroed_index(size_t slots)
{
    return Index(static_cast<Slot *>(allocate_table(slots * sizeof(Slot))), FreeSlots{slots});
}

LatencyMatcher::LatencyMatcher(uint64_t window_ns, Cabling cabling) : LatencyMatcher(window_ns, cabling, Kind::main)
{
}

LatencyMatcher::LatencyMatcher(uint64_t window_ns, Cabling cabling, Kind kind)
    : window_(window_ns), ring_(kind == Kind::main ? FIRST_RING : FIRST_RING_SMALL),
      index_(zeroed_index(FIRST_INDEX)), index_size_(FIRST_INDEX),
      clock_(window_ns), kind_(kind)
{
    take_cabling(cabling);
    if (kind == Kind::main) {
        (cabling == Cabling::learn ? trial_ : checker_).reset(new LatencyMatcher(window_ns, Cabling::learn, Kind::trial));
        votes_.reset(new VoteSink);
    }
}

LatencyMatcher::~LatencyMatcher() = default;

void LatencyMatcher::take_cabling(Cabling cabling)
{
    findings_.cabling = cabling;
    for (unsigned port = 0; port < 256; port++) {
        if (kind_ == Kind::trial)
            roles_[port] = TOWARD | AWAY;
        else
            roles_[port] = toward_device(cabling, static_cast<uint8_t>(port)) ? TOWARD : AWAY;
    }
}

// Frames are fed to the trial matcher, and kept, until its pairs have
// voted (or its clock stepped: kept apart, steps are found where they
// happen).
void LatencyMatcher::learn(const Sighting &sighting, bool keyed, MatchSink &sink)
{
    fed_.push_back({sighting, keyed});
    votes_->outer = &sink;
    if (keyed)
        trial_->add(sighting, *votes_);
    else
        trial_->pass(sighting.frame, sighting.tap_time, sighting.channel, *votes_);
    const ClockSteps &steps = trial_->clock().steps();
    if (votes_->pairs >= LEARNING_PAIRS || fed_.size() >= LEARNING_FRAMES || steps.back || steps.ahead)
        decide(sink);
}

// The cabling that most votes' directions fit, and everything fed so far
// fed again by it.
void LatencyMatcher::decide(MatchSink &sink)
{
    uint64_t total, best_score;
    const Cabling best = votes_->best(&best_score, &total);
    take_cabling(best);
    findings_.learnt = total > 0;
    findings_.votes_for = best_score;
    findings_.votes_against = total - best_score;
    std::vector<Fed> fed;
    fed.swap(fed_);
    trial_.reset();
    votes_.reset();
    sink.cabling_learnt();
    for (const Fed &again : fed) {
        if (again.keyed)
            add(again.sighting, sink);
        else
            pass(again.sighting.frame, again.sighting.tap_time, again.sighting.channel, sink);
    }
}

// The first frames, paired in any direction, vote as they would to learn
// the cabling; the main matcher goes on by the one given.
void LatencyMatcher::check(const Sighting &sighting, bool keyed)
{
    if (keyed)
        checker_->add(sighting, *votes_);
    else
        checker_->pass(sighting.frame, sighting.tap_time, sighting.channel, *votes_);
    const ClockSteps &steps = checker_->clock().steps();
    if (votes_->pairs >= LEARNING_PAIRS || ++checked_frames_ >= LEARNING_FRAMES || steps.back || steps.ahead)
        conclude_check();
}

// The cabling given is contradicted when another fits more of the first
// pairs and it fits at most half of them, of at least a few.
void LatencyMatcher::conclude_check()
{
    uint64_t total, best_score;
    const Cabling best = votes_->best(&best_score, &total);
    findings_.votes_for = votes_->fitting_votes(findings_.cabling);
    findings_.votes_against = total - findings_.votes_for;
    findings_.fitting = total ? best : Cabling::learn;
    findings_.contradicted =
        total >= CONTRADICTING_PAIRS && best_score > findings_.votes_for && findings_.votes_for * 2 <= total;
    checker_.reset();
    votes_.reset();
}

// Every sighting still waiting is unmatched and leaves. Sequence numbers
// go on, so that every slot of the index reads as free for reuse at once,
// however large the index is: a clock stepping back often costs no more
// than what waited.
void LatencyMatcher::settle(MatchSink &sink)
{
    sink.settling();
    for (; tail_ < head_; tail_++) {
        if (__builtin_expect(entry(tail_).sighting.fragment == FragmentKind::later, 0) && !entry(tail_).paired)
            adopt_piece(tail_, true, sink);
        if (!entry(tail_).paired && kind_ == Kind::main)
            left_unpaired(entry(tail_).sighting, true, entry(tail_).repeated, sink);
    }
    // Whose other link's capture never went on past their partner.
    for (std::deque<Undecided> &waiting : undecided_) {
        for (const Undecided &undecided : waiting)
            at_edge(undecided.sighting, undecided.repeated, sink);
        waiting.clear();
    }
    undecided_count_[0] = undecided_count_[1] = 0;
    spans_[0] = spans_[1] = LinkSpan();
    // No later frame of this clock will claim what the watch keeps.
    if (watch_)
        watch_->flush(sink);
}

// The slot holding `key`'s waiting sightings (found), or else the slot to
// put it in: the first one on its probe path that is free for reuse, or the
// empty one that ends the path.
inline __attribute__((always_inline)) size_t LatencyMatcher::find_slot(const LatencyKey &key, bool *found)
{
    const size_t mask = index_size_ - 1;
    size_t reusable = index_size_;
    for (size_t at = key.low & mask;; at = (at + 1) & mask) {
        const Slot &slot = index_[at];
        if (!slot.used()) {
            *found = false;
            return reusable < index_size_ ? reusable : at;
        }
        if (!live_slot(slot)) {
            if (reusable == index_size_)
                reusable = at;
        } else if (slot.key == key) {
            *found = true;
            return at;
        }
    }
}

// The waiting sightings of a slot that went to `at` learn where it is.
void LatencyMatcher::moved(const Slot &slot, size_t at)
{
    for (int channel = 0; channel < 2; channel++) {
        for (uint64_t seq = slot.oldest[channel]; alive(seq); seq = entry(seq).newer)
            entry(seq).slot = static_cast<uint32_t>(at);
    }
}

void LatencyMatcher::rebuild_index(size_t slots)
{
    const Index old = std::move(index_);
    const size_t old_size = index_size_;
    index_ = zeroed_index(slots);
    index_size_ = slots;
    used_slots_ = 0;
    for (size_t i = 0; i < old_size; i++) {
        const Slot &slot = old[i];
        if (!live_slot(slot))
            continue;
        bool found;
        const size_t at = find_slot(slot.key, &found);
        index_[at] = slot;
        used_slots_++;
        moved(slot, at);
    }
}

// The index of the same size without the slots freed for reuse, in place:
// a copy beside it would double the matcher's largest part for a moment.
// Emptied slots break probe paths, so from an empty slot on, every slot
// goes back to the first empty one on its path (never past where it is).
void LatencyMatcher::compact_index()
{
    const size_t mask = index_size_ - 1;
    size_t start = index_size_;
    used_slots_ = 0;
    for (size_t at = 0; at < index_size_; at++) {
        if (!live_slot(index_[at]))
            index_[at] = EMPTY_SLOT;
        if (!index_[at].used())
            start = at;
        else
            used_slots_++;
    }
    for (size_t step = 1; step <= index_size_; step++) {
        const size_t at = (start + step) & mask;
        if (!index_[at].used())
            continue;
        size_t to = index_[at].key.low & mask;
        while (to != at && index_[to].used())
            to = (to + 1) & mask;
        if (to != at) {
            index_[to] = index_[at];
            index_[at] = EMPTY_SLOT;
            moved(index_[to], to);
        }
    }
}

// The oldest sighting in the ring leaves it. Still at the front of its
// key's queue, it leaves that too; a paired one may have left it already
// (and its slot since moved). The last of its queue leaves the slot as it
// is: a sequence number gone from the ring reads as no sighting, and most
// queues hold one, so the slot, long out of the processor's caches, is
// seldom read again. A sighting at its queue's front is told where its
// slot moves to; one passed over is not, and its slot may lie beyond an
// index that has shrunk since: it is in no queue, and nothing is read.
inline __attribute__((always_inline)) void LatencyMatcher::leave_ring(const Entry &leaving)
{
    if (leaving.newer == NONE || leaving.slot >= index_size_)
        return;
    Slot &slot = index_[leaving.slot];
    uint64_t &oldest = slot.oldest[leaving.sighting.channel == 2];
    if (oldest == tail_ && slot.key == leaving.sighting.key)
        oldest = leaving.newer;
}

inline __attribute__((always_inline)) void LatencyMatcher::expire(uint64_t now, MatchSink &sink)
{
    if (__builtin_expect(watch_ != nullptr, 1))
        watch_->expire(now, sink);
    while (tail_ < head_) {
        const Entry &oldest = entry(tail_);
        if (!oldest.paired) {
            // Ahead of the clock, it waits, unless it is a lone one stamped
            // far ahead that the clock never followed.
            const uint64_t time = oldest.sighting.tap_time;
            if (time <= now ? now - time <= window_ : !clock_.stray_ahead(time))
                break;
            if (__builtin_expect(oldest.sighting.fragment == FragmentKind::later, 0))
                adopt_piece(tail_, true, sink);
            if (kind_ == Kind::main && !oldest.paired)
                left_unpaired(oldest.sighting, false, oldest.repeated, sink);
        }
        leave_ring(oldest);
        tail_++;
    }
}

inline __attribute__((always_inline)) void LatencyMatcher::read_clock(uint64_t frame, uint64_t tap_time,
                                                                      MatchSink &sink)
{
    if (clock_.read(frame, tap_time) == ClockWatch::Reading::stepped_back) {
        settle(sink);
        sink.clock_stepped_back();
    }
}

void LatencyMatcher::pass(uint64_t frame, uint64_t tap_time, uint8_t channel, MatchSink &sink)
{
    if (__builtin_expect(trial_ != nullptr, 0)) {
        Sighting sighting = {};
        sighting.frame = frame;
        sighting.tap_time = tap_time;
        sighting.channel = channel;
        learn(sighting, false, sink);
        return;
    }
    if (__builtin_expect(checker_ != nullptr, 0)) {
        Sighting sighting = {};
        sighting.frame = frame;
        sighting.tap_time = tap_time;
        sighting.channel = channel;
        check(sighting, false);
    }
    read_clock(frame, tap_time, sink);
    if (channel == 1 || channel == 2)
        read_span(channel, tap_time, sink);
    expire(clock_.now(), sink);
}

void LatencyMatcher::settle_until(uint64_t tap_time, MatchSink &sink)
{
    if (trial_ != nullptr || tap_time <= clock_.now())
        return;
    // Both links' captures go on to then: no partner lies outside them.
    for (uint8_t channel = 1; channel <= 2; channel++) {
        if (spans_[channel - 1].seen())
            read_span(channel, tap_time, sink);
    }
    expire(tap_time, sink);
}

// A sighting once the cabling is known.
void LatencyMatcher::pair(const Sighting &sighting, MatchSink &sink)
{
    read_clock(sighting.frame, sighting.tap_time, sink);
    read_span(sighting.channel, sighting.tap_time, sink);
    const int own = sighting.channel == 2;

    bool found;
    const size_t at = find_slot(sighting.key, &found);

    // The waiting sighting of the other channel within the window, of the
    // lowest TAP time (the first to arrive of equal ones) among the first
    // few of its queue.
    uint64_t best = NONE;
    unsigned candidates = 0, wrong_direction = 0;
    if (found) {
        uint64_t &oldest = index_[at].oldest[!own];
        while (alive(oldest) && entry(oldest).paired)
            oldest = entry(oldest).newer;  // paired ones leave the queue's front
        // The queue is in capture order, nearly TAP-time order: once a
        // second candidate is no earlier than the best, the rest are later.
        uint64_t best_time = 0;
        uint64_t seq = oldest;
        for (int looked = 0; alive(seq) && looked < LOOKAHEAD; looked++, seq = entry(seq).newer) {
            const Entry &waiting = entry(seq);
            const uint64_t time = waiting.sighting.tap_time;
            const uint64_t apart = time > sighting.tap_time ? time - sighting.tap_time : sighting.tap_time - time;
            if (waiting.paired || apart > window_)
                continue;
            if (__builtin_expect(sighting.fragment == FragmentKind::later, 0) &&
                !same_packet(sighting, waiting.sighting))
                continue;
            const bool waiting_first = time <= sighting.tap_time;
            if (!allowed(waiting_first ? waiting.sighting : sighting, waiting_first ? sighting : waiting.sighting)) {
                wrong_direction++;
                continue;
            }
            candidates++;
            if (best == NONE || time < best_time) {
                best = seq;
                best_time = time;
            } else {
                break;
            }
        }
    }

    if (__builtin_expect(watch_ != nullptr, 1))
        watch_->touch(sighting.key, sighting.channel);
    if (best != NONE) {
        Entry &partner = entry(best);
        partner.paired = true;
        const bool partner_first = partner.sighting.tap_time <= sighting.tap_time;
        const Sighting &earlier = partner_first ? partner.sighting : sighting;
        const Sighting &later = partner_first ? sighting : partner.sighting;
        sink.paired(Pairing{earlier, later, later.tap_time - earlier.tap_time, candidates > 1});
        if (__builtin_expect(sighting.fragment == FragmentKind::first, 0))
            pieces_paired(earlier, later, sink);
    } else {
        if (wrong_direction && kind_ == Kind::main) {
            if (findings_.wrong_direction++ == 0)
                findings_.first_wrong_direction_frame = sighting.frame;
            sink.wrong_direction(sighting);
        }
        if (head_ - tail_ == ring_.size())
            ring_.grow(tail_, head_);
        const uint64_t seq = head_++;
        entry(seq) = Entry{sighting, NONE, static_cast<uint32_t>(at), false, false};
        if (__builtin_expect(sighting.fragment == FragmentKind::later, 0)) {
            if (orphan_pieces_.size() == MOST_ORPHAN_PIECES)
                orphan_pieces_.pop_front();
            orphan_pieces_.push_back(seq);
        }
        Slot &slot = index_[at];
        if (!found) {
            if (!slot.used())
                used_slots_++;
            slot = Slot{sighting.key, {NONE, NONE}, {NONE, NONE}};
        }
        if (alive(slot.newest[own])) {
            // The key again on this link within the window.
            Entry &newest = entry(slot.newest[own]);
            newest.newer = seq;
            newest.repeated = true;
            entry(seq).repeated = true;
        }
        if (!alive(slot.oldest[own]))
            slot.oldest[own] = seq;
        slot.newest[own] = seq;
        if (used_slots_ * 2 > index_size_) {
            // Rebuilt with room for the keys still waiting: every slot freed
            // for reuse goes.
            size_t slots = FIRST_INDEX;
            while (slots < (head_ - tail_) * 4)
                slots *= 2;
            if (slots == index_size_)
                compact_index();
            else
                rebuild_index(slots);
        }
    }
    expire(clock_.now(), sink);
}

void LatencyMatcher::finish(MatchSink &sink)
{
    if (trial_)
        decide(sink);
    if (checker_)
        conclude_check();
    settle(sink);
}
