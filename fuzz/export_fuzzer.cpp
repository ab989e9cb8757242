// SPDX-License-Identifier: GPL-2.0-or-later
//
// A coverage-guided fuzz target (libFuzzer) for what ovint-export makes of
// one frame, built with AddressSanitizer and UndefinedBehaviorSanitizer.
// Each input is a run of frames of one capture: arbitrary bytes, captured
// and wire lengths, capture times (huge and negative ones too), Ethernet or
// not, with markers of both versions planted where the search looks, under
// each option. For each frame:
//   - the part written lies inside the captured bytes, and is the Ethernet
//     part exactly where the search puts the trailer;
//   - the wire length keeps what a snap length cut off;
//   - the packet flags are pcapng's link-layer bits for the TAP's flags;
//   - the time is the captured one, the TAP clock's, or the reference's
//     moved by the TAP-clock difference, exact to the nanosecond;
// and the summary counts it without reading past its tables.

#include "record_change.h"
#include "summary.h"

#include "core/trailer/ports.h"
#include "core/trailer/trailer_format.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

static void fail(const char *what)
{
    fprintf(stderr, "export_fuzzer: %s\n", what);
    abort();
}

static std::vector<uint8_t> planted_frame(FuzzedDataProvider &input)
{
    size_t length = input.ConsumeBool() ? MIN_FRAME_LEN : input.ConsumeIntegralInRange<size_t>(0, 1600);
    std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(length);
    bytes.resize(length, 0);
    const int plants = input.ConsumeIntegralInRange(0, 2);
    for (int i = 0; i < plants && length >= 6; i++) {
        size_t at;
        switch (input.ConsumeIntegralInRange(0, 2)) {
        case 0: at = 0; break;
        case 1: at = length >= 16 ? length - 16 : 0; break;
        default: at = input.ConsumeIntegralInRange<size_t>(0, length - 6);
        }
        for (int j = 0; j < MARKER_LEN; j++)
            bytes[at + j] = MARKER_BYTES[j];
        bytes[at + MARKER_LEN] = input.ConsumeBool() ? VERSION_CODE_V2 : VERSION_CODE_V1;
    }
    return bytes;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    ChangeOptions options;
    options.keep_trailers = input.ConsumeBool();
    options.tap_clock = input.ConsumeBool();
    TimeBase time_base;
    Summary summary;
    while (input.remaining_bytes() > 0) {
        const std::vector<uint8_t> bytes = planted_frame(input);
        FrameIn in;
        in.bytes = bytes.data();
        in.caplen = static_cast<uint32_t>(bytes.size());
        in.len = input.ConsumeBool() ? in.caplen : input.ConsumeIntegral<uint32_t>();
        in.ethernet = input.ConsumeIntegralInRange(0, 7) != 0;
        in.time.secs = input.ConsumeBool() ? input.ConsumeIntegral<int64_t>()
                                           : input.ConsumeIntegralInRange<int64_t>(0, 4000000000);
        in.time.nsecs = input.ConsumeIntegralInRange<int32_t>(0, 999999999);

        const TimeBase before = time_base;
        const FrameOut out = change_frame(in, options, time_base);

        if (uint64_t(out.skip) + out.caplen > in.caplen)
            fail("the part written reaches past the captured bytes");
        if (in.len >= in.caplen && uint64_t(out.len) + (in.caplen - out.caplen) != in.len)
            fail("the wire length lost more than the trailer");
        const TrailerMatch match = in.ethernet ? find_trailer(in.bytes, in.caplen) : TrailerMatch{0, TrailerPlacement::none, 0};
        if (out.has_trailer != (match.placement != TrailerPlacement::none))
            fail("a trailer is taken where the search finds none, or the other way round");
        if (!out.has_trailer) {
            if (out.skip || out.caplen != in.caplen || out.packet_flags || out.comment_flag ||
                out.time.secs != in.time.secs || out.time.nsecs != in.time.nsecs)
                fail("a frame without a trailer was changed");
            continue;
        }
        if (!options.keep_trailers) {
            const bool leading = match.placement == TrailerPlacement::leading;
            if (out.skip != (leading ? uint32_t(TRAILER_LEN) : 0u) ||
                out.caplen != (leading ? in.caplen - TRAILER_LEN : match.offset))
                fail("the part written is not the Ethernet part");
        }
        if (out.packet_flags != pcapng_flags(out.version, out.flags) || (out.packet_flags & 0x00FFFFFF))
            fail("the packet flags are not the TAP's flags");

        const uint64_t hw_ts = read_trailer(in.bytes + match.offset).timestamp;
        TapTime expected = in.time;
        bool fits = true;
        if (options.tap_clock)
            expected = tap_clock_time(hw_ts);
        else if (before.have_reference)
            fits = hw_time_after(before.reference_time, before.reference_hw_ts, hw_ts, &expected);
        if (fits && (out.time.secs != expected.secs || out.time.nsecs != expected.nsecs))
            fail("the frame's time is not the one the TAP clock gives");
        if (!fits && pcapng_can_hold(out.time))
            fail("a time that does not fit was let through");

        summary.count_trailer(summary.port(out.version, out.port), in.caplen, out.flags);
        summary.clock.add(to_nanoseconds(in.time), hw_ts);
    }
    double deviation, uncertainty;
    summary.clock.max_deviation(&deviation, &uncertainty);
    (void)summary.clock.drift_ppm();
    return 0;
}
