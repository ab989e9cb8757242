// SPDX-License-Identifier: GPL-2.0-or-later
//
// The frame splitter as the host runs it on Ethernet frames: where it finds
// a trailer, what the host's Ethernet dissector is handed, and the order of
// what the tree shows.

#include "frames.h"
#include "host.h"
#include "ovint_private.h"
#include "probe_search.h"

#include <gtest/gtest.h>

#include <ostream>

static std::ostream &operator<<(std::ostream &out, const TrailerMatch &match)
{
    static const char *const placements[] = {"none", "trailing", "leading"};
    return out << placements[static_cast<int>(match.placement)] << " at " << match.offset
               << ", version " << int(match.version);
}

namespace {

Record v1_record()
{
    Record record;
    record.code = CODE_V1;
    return record;
}

Bytes trailing_frame(size_t ethernet_length, const Record &record = {})
{
    return ethernet_frame(ethernet_length) + trailer(record);
}

Bytes leading_frame(size_t ethernet_length, const Record &record = {})
{
    return leading_record(record) + ethernet_frame(ethernet_length);
}

TEST(Splitter, FindsTrailersWhereTheTapPutsThem)
{
    const std::vector<std::string> trailing_order = {"frame", "eth", "data", "ovint"};
    const std::vector<std::string> leading_order = {"frame", "ovint", "eth", "data"};
    const std::vector<std::string> not_taken = {"frame", "eth", "data"};

    struct Row {
        const char *name;
        Bytes bytes;
        guint32 captured;  // 0: the whole frame
        std::vector<std::string> top_level;
        gint ethernet_start;   // where the Ethernet part starts
        gint ethernet_length;  // the bytes the Ethernet dissector was handed
        gint trailer_start;    // -1: no trailer shown
        size_t trailer_items;  // 7 for the version-1 layout, 12 for version 2
    } rows[] = {
        {"trailing, 84 bytes", trailing_frame(64), 0, trailing_order, 0, 64, 64, 12},
        {"trailing version 1", trailing_frame(100, v1_record()), 0, trailing_order, 0, 100, 100, 7},
        {"64 bytes, marker at 48", frame_with_marker_at(64, 48), 0, trailing_order, 0, 44, 44, 12},
        {"60 bytes, marker at 44", frame_with_marker_at(60, 44), 0, trailing_order, 0, 40, 40, 12},
        {"60 bytes, marker at 30", frame_with_marker_at(60, 30), 0, trailing_order, 0, 26, 26, 12},
        {"60 bytes, the higher of two markers wins",
         patched(frame_with_marker_at(60, 20), 36, trailer(v1_record())), 0, trailing_order, 0, 36, 36, 7},
        {"60 bytes, marker at 16", frame_with_marker_at(60, 16), 0, not_taken, 0, 60, -1, 0},
        {"60 bytes, marker at 45: no room behind it", frame_with_marker_at(60, 45), 0, not_taken, 0, 60, -1, 0},
        {"60 bytes, marker only at 0", patched(ethernet_frame(60), 0, leading_record({})), 0, not_taken, 0, 60, -1, 0},
        {"leading, 100 bytes", leading_frame(80, v1_record()), 0, leading_order, 20, 80, 0, 7},
        {"leading wins over trailing", leading_frame(60) + trailer(v1_record()), 0, leading_order, 20, 80, 0, 12},
        {"20 bytes, marker at 4", trailer({}), 0, not_taken, 0, 20, -1, 0},
        {"19 bytes", Bytes(19, 0xC8), 0, not_taken, 0, 19, -1, 0},
        {"unknown version code", trailing_frame(64, Record{0x18}), 0, not_taken, 0, 84, -1, 0},
        {"trailer cut off by the capture", trailing_frame(64), 70, not_taken, 0, 70, -1, 0},
        {"longer frame captured to 60 bytes", frame_with_marker_at(90, 44), 60, trailing_order, 0, 40, 40, 12},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Capture capture;
        Bytes bytes = row.bytes;
        FrameOptions options;
        if (row.captured) {
            options.reported_len = static_cast<guint32>(bytes.size());
            bytes.resize(row.captured);
        }
        const Dissection dissection = capture.add(bytes, options);
        EXPECT_EQ(dissection.top_level(), row.top_level);

        const std::vector<TreeItem> ethernet = dissection.named("eth");
        ASSERT_EQ(ethernet.size(), 1u);
        EXPECT_EQ(ethernet[0].start, row.ethernet_start);
        if (dissection.has("data")) {
            const TreeItem payload = dissection.named("data").at(0);
            EXPECT_EQ(payload.start, row.ethernet_start + 14);
            EXPECT_EQ(payload.length, row.ethernet_length - 14);
        }

        const std::vector<TreeItem> records = dissection.named("ovint");
        if (row.trailer_start < 0) {
            EXPECT_TRUE(records.empty());
            continue;
        }
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].start, row.trailer_start);
        EXPECT_EQ(records[0].length, TRAILER_LEN);
        EXPECT_EQ(dissection.children_of("ovint").size(), row.trailer_items);
    }
}

TEST(Splitter, TheSearchOverBytesAgreesWithProbeByProbe)
{
    // Every frame is also searched cut short to each captured length.
    struct Row {
        const char *name;
        Bytes bytes;
    } rows[] = {
        {"trailing", trailing_frame(64)},
        {"trailing, 20 bytes", trailer(v1_record())},
        {"leading", leading_frame(60, v1_record())},
        {"leading, 20 bytes", leading_record({})},
        {"60 bytes, marker at 44", frame_with_marker_at(60, 44)},
        {"60 bytes, marker at 17", frame_with_marker_at(60, 17, v1_record())},
        {"60 bytes, marker at 16", frame_with_marker_at(60, 16)},
        {"60 bytes, markers at 20 and 40", patched(frame_with_marker_at(60, 20), 36, trailer(v1_record()))},
        {"60 bytes, marker at 0", patched(ethernet_frame(60), 0, leading_record({}))},
        {"all marker first bytes", Bytes(80, 0xC8)},
        {"crowded window, no trailer", crowded_min_frame(17, 0x18, 0x18)},
        {"crowded window, a trailer last", crowded_min_frame(17, 0x18, CODE_V2)},
        {"unknown version code", trailing_frame(64, Record{0x18})},
    };
    Capture capture;  // the probes raise through the host
    for (const Row &row : rows) {
        for (size_t captured = 0; captured <= row.bytes.size(); captured++) {
            SCOPED_TRACE(std::string(row.name) + ", captured " + std::to_string(captured));
            tvbuff_t *tvb = tvb_new_real_data(row.bytes.data(), static_cast<guint>(captured),
                                              static_cast<gint>(row.bytes.size()));
            EXPECT_EQ(find_trailer(row.bytes.data(), static_cast<guint32>(captured)),
                      probe_by_probe_search(tvb));
            tvb_free(tvb);
        }
    }
}

TEST(Splitter, ShowsTheTrailersFieldsFromItsOwnBytes)
{
    Record record;
    record.port = 0x10;
    record.flags = 0x08;
    record.ts = 0x1122334455667788;
    Capture capture;
    const Dissection dissection = capture.add(frame_with_marker_at(60, 30, record));
    EXPECT_EQ(dissection.named("ovint.port").at(0).label, "0001 0000 = Port: Con D (0x10)");
    EXPECT_EQ(dissection.named("ovint.channel").at(0).value, 2u);
    EXPECT_EQ(dissection.named("ovint.crcerror").at(0).value, 1u);
    EXPECT_EQ(dissection.named("ovint.timestamp").at(0).value, 0x1122334455667788u);
    EXPECT_EQ(dissection.named("ovint.timestamp").at(0).start, 26 + TIMESTAMP_OFFSET);
}

TEST(Splitter, TurnsAwayItsOwnEthernetPart)
{
    // The Ethernet part itself ends in a trailer. The host offers that part
    // to the splitter again, which must refuse it while it is busy.
    Capture capture;
    const Dissection dissection = capture.add(trailing_frame(64) + trailer(v1_record()));
    EXPECT_EQ(dissection.named("ovint").size(), 1u);
    EXPECT_EQ(dissection.named("ovint").at(0).start, 84);
    EXPECT_EQ(dissection.named("data").at(0).length, 84 - 14);

    in_heur = 1;
    Bytes bytes = trailing_frame(64);
    tvbuff_t *tvb = tvb_new_real_data(bytes.data(), static_cast<guint>(bytes.size()), static_cast<gint>(bytes.size()));
    EXPECT_FALSE(dissect_ovint_heur(tvb, NULL, NULL, NULL));
    EXPECT_EQ(in_heur, 1);
    in_heur = 0;
    tvb_free(tvb);
}

TEST(Splitter, AMalformedEthernetPartKeepsItsTrailer)
{
    Record flagged;
    flagged.flags = 0x01;  // the TAP saw a short frame
    struct Row {
        const char *name;
        Bytes bytes;
        std::vector<std::string> top_level;
    } rows[] = {
        // The host's Ethernet dissector raises before it adds an item.
        {"13-byte Ethernet part, marker at 17", frame_with_marker_at(60, 17, flagged),
         {"frame", "ovint", "_ws.malformed"}},
        {"empty Ethernet part behind a leading record", leading_record(flagged),
         {"frame", "ovint", "_ws.malformed"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Capture capture;
        const Dissection dissection = capture.add(row.bytes);
        EXPECT_EQ(dissection.top_level(), row.top_level);
        EXPECT_EQ(dissection.named("ovint.shortpacket").at(0).value, 1u);
        EXPECT_EQ(in_heur, 0);

        // The next trailer-bearing frame is still taken.
        EXPECT_TRUE(capture.add(trailing_frame(64)).has("ovint"));
    }
}

TEST(Splitter, ReadsABufferAssembledFromPieces)
{
    Record record;
    record.port = 0x20;
    record.ts = 0x0102030405060708;
    struct Row {
        const char *name;
        Bytes bytes;
    } rows[] = {
        {"trailing", trailing_frame(64, record)},
        {"60 bytes, the marker where the second piece starts", frame_with_marker_at(60, 30, record)},
        {"leading", leading_frame(60, record)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Capture capture;
        FrameOptions options;
        options.encap = WTAP_ENCAP_WIRESHARK_UPPER_PDU;
        const Dissection dissection = capture.add(named_dissector_frame("ovint_test_pieces", row.bytes), options);
        ASSERT_TRUE(dissection.has("ovint"));
        EXPECT_EQ(dissection.named("ovint.port").at(0).value, 0x20u);
        EXPECT_EQ(dissection.named("ovint.timestamp").at(0).value, record.ts);
    }
}

TEST(Splitter, WorksWithoutATree)
{
    Capture capture;
    Record record;
    record.ts = 1000;
    capture.add(trailing_frame(64, record));
    record.ts += 2000000000;
    FrameOptions options;
    options.tree = false;
    const Dissection dissection = capture.add(trailing_frame(64, record), options);
    EXPECT_TRUE(dissection.items.empty());
    EXPECT_EQ(dissection.frame_abs_ts.secs, 1002);  // re-timed all the same
    EXPECT_EQ(in_heur, 0);
}

} // namespace
