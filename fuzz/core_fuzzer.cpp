// SPDX-License-Identifier: GPL-2.0-or-later
//
// A coverage-guided fuzz target (libFuzzer) for the latency key and the
// matcher, built with AddressSanitizer and UndefinedBehaviorSanitizer.
// The input is read twice:
//   - as a frame, keyed in every mode with every captured length: a key is
//     the same however often it is computed, and `frame` keys exist exactly
//     for whole frames;
//   - as sightings for the matcher: keys from a small set (so that many
//     are equal), ports of both channels, TAP times in order, out of order,
//     equal and far apart, and a window; every pairing it reports must be
//     of equal keys on different channels within the window, the earlier
//     by TAP time first, each sighting told once (in a pairing, a late
//     pair or unmatched), and every sighting accounted for at the end.

#include "core/packet/latency_key.h"
#include "core/matching/latency_matcher.h"
#include "core/trailer/ports.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

static void fail(const char *what)
{
    fprintf(stderr, "core_fuzzer: %s\n", what);
    abort();
}

static void check_keys(const uint8_t *data, size_t size)
{
    const uint32_t wire = static_cast<uint32_t>(size);
    for (KeyMode mode : {KeyMode::frame, KeyMode::ip, KeyMode::payload, KeyMode::nat}) {
        for (uint32_t captured : {wire, wire / 2, wire > 14 ? 14u : wire}) {
            LatencyKey first, again;
            const bool has = latency_key(mode, data, captured, wire, &first);
            if (has != latency_key(mode, data, captured, wire, &again) || (has && !(first == again)))
                fail("a key differs from itself");
            if (mode == KeyMode::frame && has != (captured == wire && wire > 0))
                fail("a frame key for a frame that is not whole, or none for a whole one");
        }
    }
}

struct Checker : MatchSink {
    uint64_t window;
    const LatencyMatcher *matcher = nullptr;
    std::vector<int> fate;  // per frame: 0 waiting, 1 paired, 2 unmatched, 3 late
    std::vector<Sighting> fed;
    void paired(const Pairing &p) override
    {
        if (!(p.earlier.key == p.later.key))
            fail("a pairing of different keys");
        if (p.earlier.channel == p.later.channel)
            fail("a pairing on one channel");
        if (p.later.tap_time < p.earlier.tap_time || p.latency != p.later.tap_time - p.earlier.tap_time)
            fail("a pairing whose earlier sighting is not the earlier, or a wrong latency");
        if (p.latency > window)
            fail("a pairing beyond the window");
        if (!forwarded(matcher->findings().cabling, p.earlier.port, p.later.port))
            fail("a pairing in a direction the cabling does not forward");
        for (const Sighting &s : {p.earlier, p.later}) {
            if (fate.at(s.frame) != 0)
                fail("a sighting paired or reported twice");
            fate[s.frame] = 1;
        }
    }
    void unmatched(const Sighting &s, bool) override
    {
        if (fate.at(s.frame) != 0)
            fail("a sighting reported unmatched after its fate was told");
        fate[s.frame] = 2;
    }
    void late(const Pairing &p) override
    {
        // Told as late alone: neither sighting told before.
        if (p.latency <= window || !(p.earlier.key == p.later.key) || p.earlier.channel == p.later.channel)
            fail("a late pair within the window, of different keys or on one channel");
        for (const Sighting &s : {p.earlier, p.later}) {
            if (fate.at(s.frame) != 0)
                fail("a late pair of a sighting told before");
            fate[s.frame] = 3;
        }
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_keys(data, size);

    FuzzedDataProvider input(data, size);
    Checker checker;
    checker.window = input.ConsumeIntegralInRange<uint64_t>(0, 1000000);
    const Cabling cabling = static_cast<Cabling>(input.ConsumeIntegralInRange(0, 4));
    LatencyMatcher matcher(checker.window, cabling);
    checker.matcher = &matcher;
    checker.fate.push_back(0);  // frames number from 1
    uint64_t time = input.ConsumeIntegral<uint32_t>();
    while (input.remaining_bytes() > 0) {
        uint64_t astray = 0;  // this frame alone stamped that much later
        switch (input.ConsumeIntegralInRange(0, 7)) {
        case 0: time += input.ConsumeIntegralInRange<uint64_t>(0, 2000); break;
        case 1: time -= input.ConsumeIntegralInRange<uint64_t>(0, 500); break;  // out of order
        case 2: time += input.ConsumeIntegral<uint32_t>(); break;              // far apart
        case 3: time -= input.ConsumeIntegral<uint32_t>(); break;              // the TAP restarted
        case 4: astray = input.ConsumeIntegral<uint64_t>(); break;
        case 5:                                                                // a frame without a key
            matcher.pass(checker.fate.size(), time, static_cast<uint8_t>(input.ConsumeIntegralInRange(0, 2)), checker);
            checker.fate.push_back(2);
            continue;
        default: break;                                                        // equal
        }
        const uint64_t key = input.ConsumeIntegralInRange<uint64_t>(0, 5);
        const uint8_t port = static_cast<uint8_t>(0x80 >> input.ConsumeIntegralInRange(0, 3));
        Sighting sighting = {checker.fate.size(), time + astray, {key, key * 7}, 64, port, 2, 0,
                             static_cast<uint8_t>(channel_of_port_byte(port)), 0};
        checker.fate.push_back(0);
        matcher.add(sighting, checker);
    }
    matcher.finish(checker);
    for (size_t frame = 1; frame < checker.fate.size(); frame++) {
        if (checker.fate[frame] == 0)
            fail("a sighting neither paired nor reported unmatched");
    }
    return 0;
}
