// SPDX-License-Identifier: GPL-2.0-or-later
//
// A coverage-guided fuzz target (libFuzzer) for ovint, built with
// AddressSanitizer and UndefinedBehaviorSanitizer. Each input is read as a
// sequence of frames, most of them with markers and version codes planted
// where the search looks, some captured shorter than they were. For each:
//   - the search over bytes must agree with the probe-by-probe search;
//   - a marker probe at any offset raises nothing or ovint's own
//     "Offset-Exception";
//   - the host dissects it with ovint (with or without a tree, sometimes a
//     second time or afresh), and afterwards the re-entry flag is clear, the
//     frame's time is a normal one, and no dissector bug was reported.

#include "frames.h"
#include "host.h"
#include "ovint_private.h"
#include "probe_search.h"

#include <epan/exceptions.h>
#include <epan/prefs.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <unistd.h>

// One capture for many inputs. A fresh one every so many frames frees what
// the last one held, so that memory stays flat over hours; but every host
// session keeps some memory until the process ends (about 11 MB on 4.0 for
// the name-resolution files it reads anew, which the runs avoid by pointing
// the host at an empty data folder, see LLVMFuzzerInitialize; and some
// 100 KB for what dissectors set up), so sessions are long. Only the last
// frames are dissected again, so older frames' bytes are freed.
static Capture *capture;
constexpr guint32 FRAMES_PER_CAPTURE = 200000;
constexpr guint32 FRAMES_KEPT = 1024;
static guint64 frames_dissected;  // over the run, told at its end

static void fail(const char *what)
{
    fprintf(stderr, "ovint_fuzzer: %s\n", what);
    abort();
}

static Bytes planted_frame(FuzzedDataProvider &input)
{
    size_t length;
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
        length = MIN_FRAME_LEN;
        break;
    case 1:
        length = input.ConsumeIntegralInRange<size_t>(0, 26);
        break;
    default:
        length = input.ConsumeIntegralInRange<size_t>(0, 1600);
    }
    Bytes bytes = input.ConsumeBytes<guint8>(length);
    bytes.resize(length, 0x00);

    const int plants = input.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < plants && length >= 6; i++) {
        size_t at;
        switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0:
            at = 0;
            break;
        case 1:
            at = length >= 16 ? length - 16 : 0;
            break;
        case 2:
            at = input.ConsumeIntegralInRange<size_t>(LAST_MARKER_IN_MIN_FRAME - 1, FIRST_MARKER_IN_MIN_FRAME + 1);
            break;
        default:
            at = input.ConsumeIntegralInRange<size_t>(0, length - 6);
        }
        const guint8 codes[] = {CODE_V1, CODE_V2, input.ConsumeIntegral<guint8>()};
        const guint8 code = codes[input.ConsumeIntegralInRange(0, 2)];
        if (at + 6 <= length)
            bytes = patched(bytes, at, marker(code));
    }
    return bytes;
}

static void check_probe(tvbuff_t *tvb, gint offset)
{
    volatile bool raised_other = false;
    TRY {
        probe_marker(tvb, offset);
    }
    CATCH(ReassemblyError) {
        char expected[32];
        snprintf(expected, sizeof expected, "Offset-Exception:%d", offset);
        if (!GET_MESSAGE || strcmp(GET_MESSAGE, expected) != 0)
            raised_other = true;
    }
    CATCH_ALL {
        raised_other = true;
    }
    ENDTRY;
    if (raised_other)
        fail("a marker probe raised something else than its Offset-Exception");
}

static void check_dissection(const Dissection &dissection, guint32 num)
{
    if (in_heur != 0)
        fail("the re-entry flag stayed set");
    const nstime_t &time = capture->frame(num).abs_ts;
    if (time.nsecs < 0 || time.nsecs > 999999999)
        fail("a frame time has nanoseconds out of range");
    if (dissection.has("_ws.malformed.dissector_bug"))
        fail("the host reported a dissector bug");
}

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    // The host honours this only for a user without special privileges:
    // tools/fuzz.sh runs the target as such a user when started as root.
    static char empty_data[] = "/tmp/ovint-fuzz-data-XXXXXX";
    if (!getenv("WIRESHARK_DATA_DIR") && mkdtemp(empty_data)) {
        setenv("WIRESHARK_DATA_DIR", empty_data, 1);
        std::atexit([] { rmdir(empty_data); });
    }
    std::atexit([] { fprintf(stderr, "frames dissected: %" G_GUINT64_FORMAT "\n", frames_dissected); });
    start_host((*argv)[0]);
    // The host's GeoIP lookups crash in the host itself after some sessions
    // (a NULL map in maxmind_db_lookup_ipv6, 4.0): nothing of ovint's, off.
    for (const char *setting : {"ip.use_geoip:FALSE", "ipv6.use_geoip:FALSE"}) {
        char *error = nullptr;
        char pref[64];
        snprintf(pref, sizeof pref, "%s", setting);
        if (prefs_set_pref(pref, &error) != PREFS_SET_OK)
            fail("cannot turn off the host's GeoIP lookups");
        g_free(error);
    }
    prefs_apply_all();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    if (!capture || capture->frame_count() >= FRAMES_PER_CAPTURE) {
        delete capture;
        capture = new Capture;
    }
    while (input.remaining_bytes() > 0) {
        const Bytes bytes = planted_frame(input);
        const size_t captured =
            input.ConsumeBool() ? input.ConsumeIntegralInRange<size_t>(0, bytes.size()) : bytes.size();

        tvbuff_t *tvb = tvb_new_real_data(bytes.data(), static_cast<guint>(captured), static_cast<gint>(bytes.size()));
        if (!(find_trailer(bytes.data(), static_cast<guint32>(captured)) == probe_by_probe_search(tvb)))
            fail("the search over bytes disagrees with the probe-by-probe search");
        check_probe(tvb, input.ConsumeIntegralInRange<gint>(-8, static_cast<gint>(bytes.size()) + 8));
        tvb_free(tvb);

        FrameOptions options;
        options.tree = input.ConsumeBool();
        options.reported_len = static_cast<guint32>(bytes.size());
        options.ts.secs = input.ConsumeIntegralInRange<gint64>(-100000, 4000000000);
        options.ts.nsecs = input.ConsumeIntegralInRange(0, 999999999);
        if (captured == 0)
            continue;  // the host reads no empty records from a file
        const Dissection first = capture->add(Bytes(bytes.begin(), bytes.begin() + captured), options);
        frames_dissected++;
        const guint32 count = capture->frame_count();
        if (count > FRAMES_KEPT)
            capture->release_bytes(count - FRAMES_KEPT);
        const guint32 oldest_kept = count > FRAMES_KEPT ? count - FRAMES_KEPT + 1 : 1;
        check_dissection(first, capture->frame_count());

        // A second pass or a redisplay of an earlier frame, or the same frame
        // read afresh, as when a file is opened again.
        switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0: {
            const guint32 num = input.ConsumeIntegralInRange<guint32>(oldest_kept, count);
            check_dissection(capture->again(num, input.ConsumeBool()), num);
            break;
        }
        case 1: {
            const guint32 num = input.ConsumeIntegralInRange<guint32>(oldest_kept, count);
            check_dissection(capture->afresh(num, input.ConsumeBool()), num);
            break;
        }
        default:
            break;
        }
    }
    return 0;
}
