// SPDX-License-Identifier: GPL-2.0-or-later
//
// The trailer on its own: the marker probe, the port and channel mappings,
// and the record dissector called by name as any other dissector may.

#include "frames.h"
#include "host.h"
#include "ovint_private.h"
#include "probe_search.h"

#include <epan/exceptions.h>

#include <gtest/gtest.h>

namespace {

// ---- Port and channel ----

TEST(PortAndChannel, PortIsTheFirstPortBitSet)
{
    struct Row {
        guint16 word;
        guint16 port;
    } rows[] = {
        {0x8000, 1}, {0x4000, 2}, {0x2000, 3}, {0x1000, 4}, {0x0800, 5}, {0x0400, 6},
        {0x0200, 7}, {0x0100, 8}, {0x0080, 9}, {0x0040, 10}, {0x0004, 11}, {0x0002, 12},
        {0xFFFF, 1}, {0x3000, 3}, {0x0006, 11},
        // Bits that are never ports, alone or together.
        {0x0000, 0xFFFF}, {0x0020, 0xFFFF}, {0x0010, 0xFFFF}, {0x0008, 0xFFFF},
        {0x0001, 0xFFFF}, {0x0039, 0xFFFF},
    };
    for (const Row &row : rows)
        EXPECT_EQ(port_from_bits(row.word), row.port) << "port word 0x" << std::hex << row.word;
}

TEST(PortAndChannel, OnlyPortsOneToFourHaveAChannel)
{
    struct Row {
        guint16 port;
        guint16 channel;
    } rows[] = {
        {1, 1}, {2, 1}, {3, 2}, {4, 2}, {0, 0xFFFF}, {5, 0xFFFF}, {12, 0xFFFF}, {0xFFFF, 0xFFFF},
    };
    for (const Row &row : rows)
        EXPECT_EQ(channel_from_port(row.port), row.channel) << "port " << row.port;
}

// ---- Marker probe ----

struct Raised {
    bool raised;
    long group;
    long code;
    char message[64];
};

// Probes inside a host exception frame and reports what, if anything, it
// raised. Plain data only: a host exception lands here by longjmp.
Raised probe(const Bytes &bytes, gint offset, gboolean *found)
{
    Raised raised = {};
    tvbuff_t *tvb = tvb_new_real_data(bytes.data(), static_cast<guint>(bytes.size()),
                                      static_cast<gint>(bytes.size()));
    TRY {
        *found = probe_marker(tvb, offset);
    }
    CATCH_ALL {
        raised.raised = true;
        raised.group = exc->except_id.except_group;
        raised.code = exc->except_id.except_code;
        g_strlcpy(raised.message, GET_MESSAGE ? GET_MESSAGE : "", sizeof raised.message);
    }
    ENDTRY;
    tvb_free(tvb);
    return raised;
}

TEST(MarkerProbe, FindsTheVersionAfterTheMarkerOrRaisesPastTheData)
{
    struct Row {
        const char *name;
        Bytes bytes;
        gint offset;
        bool found;
        guint8 version;
        const char *raised;  // message of the exception, or NULL
    } rows[] = {
        {"version 1", marker(CODE_V1), 0, true, 1, NULL},
        {"version 2 inside a frame", Bytes(7, 0) + marker(CODE_V2) + Bytes(3, 0), 7, true, 2, NULL},
        {"other version code", marker(0x18), 0, false, 0, NULL},
        {"version code of zero", marker(0x00), 0, false, 0, NULL},
        {"first byte differs", patched(marker(CODE_V2), 0, {0xC9}), 0, false, 0, NULL},
        {"last marker byte differs", patched(marker(CODE_V2), 4, {0x02}), 0, false, 0, NULL},
        // Reads stop at the first byte that differs, so a probe whose
        // mismatch lies inside the data raises nothing.
        {"mismatch at the only byte", {0xC9}, 0, false, 0, NULL},
        {"mismatch at the last byte", {0xC8, 0x3E, 0xA7, 0x00, 0x02}, 0, false, 0, NULL},
        {"version code missing", {0xC8, 0x3E, 0xA7, 0x00, 0x01}, 0, false, 0, "Offset-Exception:0"},
        {"offset past the data", Bytes(10, 0xC8), 40, false, 0, "Offset-Exception:40"},
        {"marker cut by the end", Bytes(58, 0) + Bytes{0xC8, 0x3E}, 58, false, 0, "Offset-Exception:58"},
        {"negative offset before the data", Bytes(10, 0), -100, false, 0, "Offset-Exception:-100"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        record_version = 2;  // left by an earlier probe
        gboolean found = FALSE;
        const Raised raised = probe(row.bytes, row.offset, &found);
        EXPECT_EQ(record_version, row.version);
        if (row.raised) {
            ASSERT_TRUE(raised.raised);
            EXPECT_EQ(raised.group, XCEPT_GROUP_WIRESHARK);
            EXPECT_EQ(raised.code, ReassemblyError);
            EXPECT_STREQ(raised.message, row.raised);
        } else {
            EXPECT_FALSE(raised.raised) << raised.message;
            EXPECT_EQ(bool(found), row.found);
        }
    }
}

// ---- Record dissector, called by name ----

// What one item of the record's subtree must show; offsets count from the
// record's first byte.
struct Shown {
    std::string abbrev;
    gint start;
    gint length;
    guint64 value;
};

// Sets the current trailer version the way the splitter does: by a probe.
void probe_version(guint8 code)
{
    gboolean found = FALSE;
    probe(marker(code), 0, &found);
}

Dissection dissect_by_name(const Bytes &payload, guint32 reported_len = 0)
{
    Capture capture;
    const Bytes frame = named_dissector_frame("ovint", payload);
    FrameOptions options;
    options.encap = WTAP_ENCAP_WIRESHARK_UPPER_PDU;
    if (reported_len)
        options.reported_len = static_cast<guint32>(frame.size() - payload.size()) + reported_len;
    return capture.add(frame, options);
}

std::vector<Shown> record_items(const Dissection &dissection)
{
    const std::vector<TreeItem> records = dissection.named("ovint");
    std::vector<Shown> shown;
    if (records.empty())
        return shown;
    for (const TreeItem &item : dissection.children_of("ovint"))
        shown.push_back({item.abbrev, item.start - records[0].start, item.length, item.value});
    return shown;
}

void expect_items(const std::vector<Shown> &seen, const std::vector<Shown> &expected)
{
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        SCOPED_TRACE("item " + std::to_string(i) + " " + expected[i].abbrev);
        EXPECT_EQ(seen[i].abbrev, expected[i].abbrev);
        EXPECT_EQ(seen[i].start, expected[i].start);
        EXPECT_EQ(seen[i].length, expected[i].length);
        EXPECT_EQ(seen[i].value, expected[i].value);
    }
}

TEST(RecordDissector, ShowsEachVersionsLayout)
{
    Record record;
    record.port = 0x40;
    record.flags = 0xA5;  // 1010 0101
    record.ts = 0x0102030405060708;
    record.fcs = 0x11223344;

    record.code = CODE_V1;
    probe_version(CODE_V1);
    Dissection v1 = dissect_by_name(trailer(record));
    expect_items(record_items(v1), {
        {"ovint.fcs", 0, 4, 0x11223344},
        {"ovint.channel", 10, 1, 1},
        {"ovint.port", 10, 1, 0x40},
        {"ovint.rxerror", 11, 1, 1},
        {"ovint.alignerror", 11, 1, 0},
        {"ovint.crcerror", 11, 1, 0},
        {"ovint.timestamp", 12, 8, 0x0102030405060708},
    });

    record.code = CODE_V2;
    probe_version(CODE_V2);
    Dissection v2 = dissect_by_name(trailer(record));
    expect_items(record_items(v2), {
        {"ovint.fcs", 0, 4, 0x11223344},
        {"ovint.channel", 10, 1, 1},
        {"ovint.port", 10, 1, 0x40},
        {"ovint.rxerror", 11, 1, 1},
        {"ovint.wrongpreamble", 11, 1, 0},
        {"ovint.wrongifg", 11, 1, 1},
        {"ovint.alignerror", 11, 1, 0},
        {"ovint.crcerror", 11, 1, 0},
        {"ovint.lostpacket", 11, 1, 1},
        {"ovint.longpacket", 11, 1, 0},
        {"ovint.shortpacket", 11, 1, 1},
        {"ovint.timestamp", 12, 8, 0x0102030405060708},
    });

    const TreeItem protocol = v2.named("ovint").at(0);
    EXPECT_EQ(protocol.length, 20);
    EXPECT_EQ(protocol.label, "BRAXEL TAP VESTRIL trailer");
}

TEST(RecordDissector, NamesPortsAndDerivesChannelsPerVersion)
{
    struct Row {
        guint8 code;
        guint8 port;
        guint8 flags;
        guint64 channel;
        const char *port_label;
    } rows[] = {
        {CODE_V1, 0x80, 0x00, 1, "1000 0000 = Port: X1.1 (0x80)"},
        {CODE_V2, 0x80, 0x00, 1, "1000 0000 = Port: Con A (0x80)"},
        {CODE_V1, 0x20, 0x00, 2, "0010 0000 = Port: X2.1 (0x20)"},
        {CODE_V1, 0x10, 0x00, 2, "0001 0000 = Port: X2.2 (0x10)"},
        {CODE_V2, 0x10, 0x00, 2, "0001 0000 = Port: Con D (0x10)"},
        {CODE_V2, 0x40, 0x00, 1, "0100 0000 = Port: Con B (0x40)"},
        {CODE_V2, 0xC0, 0x00, 1, "1100 0000 = Port: Unknown (0xc0)"},
        {CODE_V1, 0x08, 0x00, 65535, "0000 1000 = Port: Unknown (0x08)"},
        {CODE_V2, 0x00, 0x00, 65535, "0000 0000 = Port: Unknown (0x00)"},
        // The flag byte never changes the channel.
        {CODE_V2, 0x10, 0xFF, 2, "0001 0000 = Port: Con D (0x10)"},
        {CODE_V2, 0x00, 0xFF, 65535, "0000 0000 = Port: Unknown (0x00)"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string("version code ") + std::to_string(row.code) + ", port " +
                     std::to_string(row.port));
        Record record;
        record.code = row.code;
        record.port = row.port;
        record.flags = row.flags;
        probe_version(row.code);
        const Dissection dissection = dissect_by_name(trailer(record));
        ASSERT_EQ(dissection.named("ovint.channel").size(), 1u);
        EXPECT_EQ(dissection.named("ovint.channel")[0].value, row.channel);
        EXPECT_EQ(dissection.named("ovint.port")[0].label, row.port_label);
    }
}

TEST(RecordDissector, ShowsEachVersionsFlagsWithTheirMasks)
{
    struct Row {
        guint8 code;
        guint8 flags;
        std::vector<std::string> labels;
    } rows[] = {
        {CODE_V1, 0xFF, {"..1. .... = Receive Error: yes", "...1 .... = Alignment Error: yes",
                         ".... 1... = Crc Error: yes"}},
        {CODE_V1, 0xC7, {"..0. .... = Receive Error: no", "...0 .... = Alignment Error: no",
                         ".... 0... = Crc Error: no"}},
        {CODE_V2, 0xFF, {"1... .... = Receive Error: yes", ".1.. .... = Wrong Preamble: yes",
                         "..1. .... = Wrong IFG: yes", "...1 .... = Alignment Error: yes",
                         ".... 1... = Crc Error: yes", ".... .1.. = Lost Packet: yes",
                         ".... ..1. = Long Packet: yes", ".... ...1 = Short Packet: yes"}},
        {CODE_V2, 0x20, {"0... .... = Receive Error: no", ".0.. .... = Wrong Preamble: no",
                         "..1. .... = Wrong IFG: yes", "...0 .... = Alignment Error: no",
                         ".... 0... = Crc Error: no", ".... .0.. = Lost Packet: no",
                         ".... ..0. = Long Packet: no", ".... ...0 = Short Packet: no"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string("version code ") + std::to_string(row.code) + ", flags " +
                     std::to_string(row.flags));
        Record record;
        record.code = row.code;
        record.flags = row.flags;
        probe_version(row.code);
        const Dissection dissection = dissect_by_name(trailer(record));
        const gint flag_byte = dissection.named("ovint").at(0).start + FLAGS_OFFSET;
        std::vector<std::string> labels;
        for (const TreeItem &item : dissection.children_of("ovint")) {
            if (item.start == flag_byte)
                labels.push_back(item.label);
        }
        EXPECT_EQ(labels, row.labels);
    }
}

TEST(RecordDissector, AddsNothingToAShortRecordOrWithoutATree)
{
    probe_version(CODE_V2);
    const Bytes record = trailer(Record{});

    const Dissection short_record = dissect_by_name(Bytes(record.begin(), record.begin() + 19));
    EXPECT_FALSE(short_record.has("ovint"));
    EXPECT_FALSE(short_record.has("_ws.malformed"));

    for (size_t length : {size_t(19), size_t(20), size_t(25)}) {
        Bytes bytes = record + Bytes(5, 0);
        tvbuff_t *tvb = tvb_new_real_data(bytes.data(), static_cast<guint>(length), static_cast<gint>(length));
        EXPECT_EQ(dissect_ovint(tvb, NULL, NULL, NULL), static_cast<int>(length));
        tvb_free(tvb);
    }
}

TEST(RecordDissector, ACapturedRecordCutShortIsReportedByTheHost)
{
    probe_version(CODE_V2);
    const Bytes record = trailer(Record{});
    const Dissection cut = dissect_by_name(Bytes(record.begin(), record.begin() + 15), 20);
    EXPECT_TRUE(cut.has("ovint.shortpacket"));
    EXPECT_FALSE(cut.has("ovint.timestamp"));
    EXPECT_TRUE(cut.has("_ws.short"));
}

} // namespace
