// SPDX-License-Identifier: GPL-2.0-or-later
//
// What the host knows of ovint after start-up, and the hand-off routine
// that the host calls again whenever it applies ovint's preferences.

#include "frames.h"
#include "host.h"
#include "ovint_private.h"

#include <epan/prefs.h>
#include <epan/proto.h>

#include <gtest/gtest.h>

#include <map>

namespace {

TEST(Registration, HostReportedNoProblems)
{
    EXPECT_TRUE(host_reports().empty()) << host_reports().at(0);
}

TEST(Registration, ProtocolAndNamedDissectorAreKnown)
{
    ASSERT_NE(proto_ovint, -1);
    EXPECT_EQ(proto_get_id_by_filter_name("ovint"), proto_ovint);
    protocol_t *protocol = find_protocol_by_id(proto_ovint);
    EXPECT_STREQ(proto_get_protocol_long_name(protocol), "BRAXEL TAP VESTRIL trailer");
    EXPECT_STREQ(proto_get_protocol_short_name(protocol), "ovint");

    dissector_handle_t named = find_dissector("ovint");
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(dissector_handle_get_protocol_index(named), proto_ovint);
}

TEST(Registration, TwentyFieldsUnderEighteenFilterNamesAndFifteenExpertEntries)
{
    std::map<std::string, int> fields_per_name;
    void *cookie = NULL;
    for (header_field_info *field = proto_get_first_protocol_field(proto_ovint, &cookie); field;
         field = proto_get_next_protocol_field(proto_ovint, &cookie)) {
        fields_per_name[field->abbrev]++;
    }
    const std::map<std::string, int> expected = {
        {"ovint.alignerror", 1}, {"ovint.channel", 1},   {"ovint.crcerror", 1},
        {"ovint.fcs", 1},        {"ovint.longpacket", 1}, {"ovint.lostpacket", 1},
        {"ovint.port", 2},       {"ovint.reserved", 1},  {"ovint.rxerror", 2},
        {"ovint.shortpacket", 1}, {"ovint.timestamp", 1}, {"ovint.wrongifg", 1},
        {"ovint.wrongpreamble", 1}, {"ovint.latency", 1}, {"ovint.latency_us", 1}, {"ovint.latency.earlier", 1},
        {"ovint.latency.later", 1}, {"ovint.fate", 1},
        {"ovint.expert.receive_error", 1}, {"ovint.expert.wrong_preamble", 1}, {"ovint.expert.wrong_ifg", 1},
        {"ovint.expert.alignment_error", 1}, {"ovint.expert.crc_error", 1}, {"ovint.expert.lost_packet", 1},
        {"ovint.expert.long_packet", 1}, {"ovint.expert.short_packet", 1}, {"ovint.expert.not_seen", 1},
        {"ovint.expert.latency_above_threshold", 1}, {"ovint.expert.late", 1}, {"ovint.expert.one_link", 1},
        {"ovint.expert.merged", 1}, {"ovint.expert.at_edge", 1}, {"ovint.expert.short_capture", 1},
    };
    EXPECT_EQ(fields_per_name, expected);

    // A display filter on a shared name matches either version's field.
    header_field_info *port = proto_registrar_get_byname("ovint.port");
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(port->same_name_next || port->same_name_prev_id != -1);
}

TEST(Registration, SecondHandOffDoesNothing)
{
    ASSERT_EQ(handoff_done, 1);
    const dissector_handle_t looked_up = eth_withoutfcs_handle;
    ASSERT_NE(looked_up, nullptr);
    EXPECT_EQ(looked_up, find_dissector("eth_withoutfcs"));

    // Were the handle looked up again, it would no longer be empty.
    eth_withoutfcs_handle = NULL;
    proto_reg_handoff_ovint();
    EXPECT_EQ(eth_withoutfcs_handle, nullptr);
    eth_withoutfcs_handle = looked_up;
}

TEST(Registration, StoredEnablePreferenceIsObsolete)
{
    struct Row {
        const char *setting;
        prefs_set_pref_e result;
    } rows[] = {
        {"ovint.enable:TRUE", PREFS_SET_OBSOLETE},
        {"ovint.enable:FALSE", PREFS_SET_OBSOLETE},
        {"ovint.verbose:TRUE", PREFS_SET_NO_SUCH_PREF},
    };
    for (const Row &row : rows) {
        char *error = NULL;
        std::string setting = row.setting;
        EXPECT_EQ(prefs_set_pref(&setting[0], &error), row.result) << row.setting;
        g_free(error);
    }
}

// Called by name (as another dissector or "Decode As" would), the record
// dissector shows the record's own layout, whatever frame came before.
TEST(Registration, NamedDissectorShowsTheRecordsOwnLayout)
{
    struct Row {
        guint8 code, before;  // the record's version code, the frame's before it
        size_t children;
        const char *port;
    } rows[] = {
        {CODE_V2, CODE_V1, 12, "1000 0000 = Port: Con A (0x80)"},
        {CODE_V1, CODE_V2, 7, "1000 0000 = Port: X1.1 (0x80)"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.port);
        Capture capture;
        Record before;
        before.code = row.before;
        before.port = 0x10;
        capture.add(ethernet_frame(64) + trailer(before));
        FrameOptions options;
        options.encap = WTAP_ENCAP_WIRESHARK_UPPER_PDU;
        Record record;
        record.code = row.code;
        record.port = 0x80;
        const Dissection dissection = capture.add(named_dissector_frame("ovint", trailer(record)), options);
        ASSERT_TRUE(dissection.has("ovint"));
        EXPECT_EQ(dissection.children_of("ovint").size(), row.children);
        EXPECT_EQ(dissection.named("ovint.port").at(0).label, row.port);
    }
}

} // namespace
