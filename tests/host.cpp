// SPDX-License-Identifier: GPL-2.0-or-later

#include "host.h"

#include "host_compat.h"

#include <epan/epan_dissect.h>
#include <epan/ftypes/ftypes.h>
#include <epan/timestamp.h>
#include <wsutil/filesystem.h>
#include <wsutil/privileges.h>
#include <wsutil/report_message.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#if OVINT_HOST_AT_LEAST(3, 6)
#include <wsutil/wslog.h>
#endif

extern "C" void plugin_register(void);

// ---- Start-up ----

static std::vector<std::string> reports;
static std::string private_home;

static void note_formatted(const char *format, va_list args)
{
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    reports.push_back(text);
}

// 4.4: the flag became a bool.
#if OVINT_HOST_AT_LEAST(4, 4)
using open_failure_flag = bool;
#else
using open_failure_flag = gboolean;
#endif

static void note_open_failure(const char *name, int err, open_failure_flag)
{
    reports.push_back(std::string("open failure: ") + name + ": " + g_strerror(err));
}

static void note_read_failure(const char *name, int err)
{
    reports.push_back(std::string("read failure: ") + name + ": " + g_strerror(err));
}

static void note_write_failure(const char *name, int err)
{
    reports.push_back(std::string("write failure: ") + name + ": " + g_strerror(err));
}

static void remove_private_home()
{
    std::error_code ignored;
    std::filesystem::remove_all(private_home, ignored);
}

const std::vector<std::string> &host_reports()
{
    return reports;
}

void start_host(const char *argv0)
{
    // The host caches its folders at the first call: keep the user's own
    // preferences, name files and scripts out of the tests.
    char home[] = "/tmp/ovint-tests-XXXXXX";
    if (!mkdtemp(home)) {
        perror("mkdtemp");
        std::abort();
    }
    private_home = home;
    std::atexit(remove_private_home);
    setenv("HOME", home, 1);
    setenv("WIRESHARK_CONFIG_DIR", home, 1);
    unsetenv("XDG_CONFIG_HOME");

#if OVINT_HOST_AT_LEAST(4, 6)
    ws_log_init(NULL);
#elif OVINT_HOST_AT_LEAST(3, 6)
    ws_log_init("ovint-tests", NULL);
#endif
    init_process_policies();
    relinquish_special_privs_perm();
#if OVINT_HOST_AT_LEAST(4, 6)
    configuration_init(argv0);
#elif OVINT_HOST_AT_LEAST(3, 6)
    configuration_init(argv0, NULL);
#endif
#if OVINT_HOST_AT_LEAST(3, 6)
    static struct report_message_routines routines = {};
    routines.vreport_failure = note_formatted;
    routines.vreport_warning = note_formatted;
    routines.report_open_failure = note_open_failure;
    routines.report_read_failure = note_read_failure;
    routines.report_write_failure = note_write_failure;
    init_report_message("ovint-tests", &routines);
#else
    init_progfile_dir(argv0);
    init_report_message(note_formatted, note_formatted, note_open_failure, note_read_failure,
                        note_write_failure);
#endif
    timestamp_set_type(TS_RELATIVE);
    timestamp_set_precision(TS_PREC_AUTO);
    timestamp_set_seconds_type(TS_SECONDS_DEFAULT);
    wtap_init(FALSE);

    plugin_register();
    register_pieces_dissector();
    if (!epan_init(NULL, NULL, FALSE)) {
        fprintf(stderr, "epan_init failed\n");
        std::abort();
    }
}

// ---- A buffer of pieces ----

// "ovint_test_pieces" hands its bytes to the host's Ethernet dissector as a
// buffer assembled from two pieces, as reassembly makes them: its bytes
// are contiguous nowhere until asked for.
static int proto_pieces = -1;
static dissector_handle_t eth_handle;

static int dissect_pieces(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *)
{
    const gint length = static_cast<gint>(tvb_captured_length(tvb));
    tvbuff_t *pieces = tvb_new_composite();
    tvb_composite_append(pieces, tvb_new_subset_length(tvb, 0, length / 2));
    tvb_composite_append(pieces, tvb_new_subset_remaining(tvb, length / 2));
    tvb_composite_finalize(pieces);
    add_new_data_source(pinfo, pieces, "Pieces");
    call_dissector(eth_handle, pieces, pinfo, tree);
    return length;
}

static void register_pieces_protocol(void)
{
    proto_pieces = proto_register_protocol("ovint test pieces", "ovint_test_pieces", "ovint_test_pieces");
    register_dissector("ovint_test_pieces", dissect_pieces, proto_pieces);
}

static void handoff_pieces_protocol(void)
{
    eth_handle = find_dissector("eth_withoutfcs");
}

void register_pieces_dissector()
{
    static proto_plugin plugin;
    plugin.register_protoinfo = register_pieces_protocol;
    plugin.register_handoff = handoff_pieces_protocol;
    proto_register_plugin(&plugin);
}

// ---- Trees ----

// 4.2: a field's value is held by pointer.
static fvalue_t *field_value(field_info *fi)
{
#if OVINT_HOST_AT_LEAST(4, 2)
    return fi->value;
#else
    return &fi->value;
#endif
}

namespace {
struct Walk {
    std::vector<TreeItem> *items;
    int depth;
};
} // namespace

// 4.6: the label routine also tells where the value starts in it.
static void fill_label(field_info *fi, char *label)
{
#if OVINT_HOST_AT_LEAST(4, 6)
    proto_item_fill_label(fi, label, NULL);
#else
    proto_item_fill_label(fi, label);
#endif
}

static guint64 integer_value(field_info *fi)
{
    switch (fi->hfinfo->type) {
    case FT_UINT8:
    case FT_UINT16:
    case FT_UINT24:
    case FT_UINT32:
        return fvalue_get_uinteger(field_value(fi));
    case FT_UINT64:
    case FT_BOOLEAN:
        return fvalue_get_uinteger64(field_value(fi));
    default:
        return 0;
    }
}

static void visit(proto_node *node, gpointer data)
{
    Walk *walk = static_cast<Walk *>(data);
    field_info *fi = PNODE_FINFO(node);
    if (fi) {
        char label[ITEM_LABEL_LENGTH] = "";
        if (fi->rep)
            g_strlcpy(label, fi->rep->representation, sizeof label);
        else
            fill_label(fi, label);
        walk->items->push_back(
            {fi->hfinfo->abbrev, walk->depth, fi->start, fi->length, integer_value(fi), label});
    }
    Walk below = {walk->items, walk->depth + 1};
    proto_tree_children_foreach(node, visit, &below);
}

std::vector<TreeItem> Dissection::named(const std::string &abbrev) const
{
    std::vector<TreeItem> found;
    for (const TreeItem &item : items) {
        if (item.abbrev == abbrev)
            found.push_back(item);
    }
    return found;
}

std::vector<TreeItem> Dissection::children_of(const std::string &abbrev) const
{
    std::vector<TreeItem> below;
    for (size_t i = 0; i < items.size(); i++) {
        if (items[i].depth != 0 || items[i].abbrev != abbrev)
            continue;
        for (size_t j = i + 1; j < items.size() && items[j].depth > 0; j++) {
            if (items[j].depth == 1)
                below.push_back(items[j]);
        }
        break;
    }
    return below;
}

std::vector<std::string> Dissection::top_level() const
{
    std::vector<std::string> names;
    for (const TreeItem &item : items) {
        if (item.depth == 0)
            names.push_back(item.abbrev);
    }
    return names;
}

// ---- Captures ----

static const nstime_t *provide_frame_time(packet_provider_data *provider, guint32 num)
{
    return provider->capture->frame_time(num);
}

Capture::Capture()
{
    provider_.capture = this;
    static packet_provider_funcs funcs = {};
    funcs.get_frame_ts = provide_frame_time;
    session_ = epan_new(&provider_, &funcs);
}

Capture::~Capture()
{
    for (Frame &frame : frames_) {
        frame_data_destroy(&frame.fd);
        wtap_rec_cleanup(&frame.rec);
    }
    epan_free(session_);
}

const nstime_t *Capture::frame_time(guint32 num) const
{
    if (ref_ && ref_->num == num)
        return &ref_->abs_ts;
    if (num == 0 || num > frames_.size())
        return NULL;
    return &frames_[num - 1].fd.abs_ts;
}

frame_data &Capture::frame(guint32 num)
{
    return frames_.at(num - 1).fd;
}

Dissection Capture::add(const Bytes &bytes, const FrameOptions &options)
{
    frames_.emplace_back();
    Frame &frame = frames_.back();
    frame.bytes = bytes;

#if OVINT_HOST_AT_LEAST(4, 6)
    // 4.6: the record carries the frame's bytes.
    wtap_rec_init(&frame.rec, bytes.size());
    wtap_setup_packet_rec(&frame.rec, options.encap);
    ws_buffer_append(&frame.rec.data, bytes.data(), bytes.size());
#else
    wtap_rec_init(&frame.rec);
#endif
    frame.rec.rec_type = REC_TYPE_PACKET;
    frame.rec.presence_flags = WTAP_HAS_TS | WTAP_HAS_CAP_LEN;
    frame.rec.ts = options.ts;
    frame.rec.tsprec = WTAP_TSPREC_NSEC;
    wtap_packet_header &header = frame.rec.rec_header.packet_header;
    header.caplen = static_cast<guint32>(bytes.size());
    header.len = options.reported_len ? options.reported_len : header.caplen;
    header.pkt_encap = options.encap;
    header.pseudo_header.eth.fcs_len = -1;  // unknown, as with pcap

    frame_data_init(&frame.fd, frame_count(), &frame.rec, 0, cum_bytes_);
    return run(frame, options.tree);
}

Dissection Capture::again(guint32 num, bool tree)
{
    return run(frames_.at(num - 1), tree);
}

Dissection Capture::afresh(guint32 num, bool tree)
{
    Frame &frame = frames_.at(num - 1);
    frame.fd.visited = 0;
    return run(frame, tree);
}

void Capture::release_bytes(guint32 num)
{
    Bytes().swap(frames_.at(num - 1).bytes);
#if OVINT_HOST_AT_LEAST(4, 6)
    wtap_rec_cleanup(&frames_.at(num - 1).rec);
    wtap_rec_init(&frames_.at(num - 1).rec, 0);
#endif
}

Dissection Capture::run(Frame &frame, bool tree)
{
    frame_data_set_before_dissect(&frame.fd, &elapsed_, &ref_, prev_dis_);
    if (ref_ == &frame.fd) {
        ref_copy_ = frame.fd;
        ref_ = &ref_copy_;
    }

    epan_dissect_t *edt = epan_dissect_new(session_, tree, TRUE);
#if OVINT_HOST_AT_LEAST(4, 6)
    // 4.6: the host makes the frame's buffer from the record.
    epan_dissect_run(edt, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, &frame.rec, &frame.fd, NULL);
#else
    const wtap_packet_header &header = frame.rec.rec_header.packet_header;
    tvbuff_t *tvb = tvb_new_real_data(frame.bytes.data(), header.caplen, header.len);
    epan_dissect_run(edt, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, &frame.rec, tvb, &frame.fd, NULL);
#endif
    frame_data_set_after_dissect(&frame.fd, &cum_bytes_);
    prev_dis_ = &frame.fd;

    Dissection result;
    Walk top = {&result.items, 0};
    if (edt->tree)
        proto_tree_children_foreach(edt->tree, visit, &top);
    result.pinfo_abs_ts = edt->pi.abs_ts;
    result.pinfo_rel_ts = edt->pi.rel_ts;
    result.frame_abs_ts = frame.fd.abs_ts;
    epan_dissect_free(edt);
    return result;
}
