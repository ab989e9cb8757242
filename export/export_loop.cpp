// SPDX-License-Identifier: GPL-2.0-or-later

#include "export_loop.h"

#include "capture_io/output_files.h"
#include "capture_io/wiretap_error.h"

#include "core/trailer/ports.h"

#include <wiretap/wtap_opttypes.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

// A new interface record of nanosecond resolution.
static wtap_block_t new_interface(int encap)
{
    wtap_block_t idb = wtap_block_create(WTAP_BLOCK_IF_ID_AND_INFO);
    auto *mandatory = static_cast<wtapng_if_descr_mandatory_t *>(wtap_block_get_mandatory_data(idb));
    mandatory->wtap_encap = encap;
    mandatory->time_units_per_second = 1000000000;
    mandatory->tsprecision = WTAP_TSPREC_NSEC;
    mandatory->snap_len = WTAP_MAX_PACKET_SIZE_STANDARD;
    wtap_block_add_uint8_option(idb, OPT_IDB_TSRESOL, 9);
    return idb;
}

ExportLoop::ExportLoop(const ChangeOptions &options, wtap *wth, OutputOpener open_output, Summary &summary,
                       bool progress, bool live)
    : options_(options), wth_(wth), open_output_(std::move(open_output)), summary_(summary), progress_(progress),
      live_(live)
{
}

ExportLoop::~ExportLoop()
{
    for (wtap_block_t idb : input_idbs_)
        wtap_block_unref(idb);
    g_free(write_err_info_);
}

void ExportLoop::note_new_input_interfaces()
{
    while (wtap_block_t idb = wtap_get_next_interface_description(wth_))
        input_idbs_.push_back(wtap_block_make_copy(idb));
}

bool ExportLoop::add_interface(wtap_block_t idb, guint32 *output)
{
    if (!wtap_dump_add_idb(wdh_, idb, &write_err_, &write_err_info_))
        return false;
    *output = next_interface_++;
    return true;
}

// The pcapng section a record was read from (0 in other formats).
static unsigned section_of(const wtap_rec &rec)
{
    return (rec.presence_flags & WTAP_HAS_SECTION_NUMBER) ? rec.section_number : 0;
}

// The input interface a record came on, numbered over the whole file.
guint32 ExportLoop::input_interface(const wtap_rec &rec) const
{
    const guint32 id = (rec.presence_flags & WTAP_HAS_INTERFACE_ID) ? rec.rec_header.packet_header.interface_id : 0;
    const unsigned section = section_of(rec);
#if CAPTURE_IO_HOST_NUMBERS_INTERFACES
    (void)section_first_idb_;
    return host_file_interface_id(wth_, section, id);
#else
    return section < section_first_idb_.size() ? static_cast<guint32>(section_first_idb_[section] + id) : id;
#endif
}

// Frames without a trailer keep an interface like the one they came on.
bool ExportLoop::interface_for_input(guint32 input, guint32 *output)
{
    const auto known = input_interfaces_.find(input);
    if (known != input_interfaces_.end()) {
        *output = known->second;
        return true;
    }
    bool added;
    if (input < input_idbs_.size()) {
        added = add_interface(input_idbs_[input], output);
    } else {
        // A file format without interface records (pcap has one implied).
        wtap_block_t idb = new_interface(wtap_file_encap(wth_));
        added = add_interface(idb, output);
        wtap_block_unref(idb);
    }
    if (added)
        input_interfaces_[input] = *output;
    return added;
}

// One interface per TAP port of each trailer version, named as ovint shows
// the port.
bool ExportLoop::interface_for_port(uint8_t version, uint8_t port, guint32 *output)
{
    const PortLabel name = port_label(version, port);
    const uint16_t channel = channel_of_port_byte(port);
    char description[96];
    if (tap_port_name(version, port))
        snprintf(description, sizeof description, "BRAXEL TAP VESTRIL %s, ", name.text);
    else
        snprintf(description, sizeof description, "BRAXEL TAP VESTRIL port %s of trailer version %u, ",
                 name.text, version);
    const size_t used = strlen(description);
    if (channel == NO_CHANNEL)
        snprintf(description + used, sizeof description - used, "no channel");
    else
        snprintf(description + used, sizeof description - used, "channel %u", channel);
    wtap_block_t idb = new_interface(WTAP_ENCAP_ETHERNET);
    wtap_block_add_string_option(idb, OPT_IDB_NAME, name.text, strlen(name.text));
    wtap_block_add_string_option(idb, OPT_IDB_DESCRIPTION, description, strlen(description));
    const bool added = add_interface(idb, output);
    wtap_block_unref(idb);
    return added;
}

// One interface per TAP link, of every trailer version: a frame's two
// sightings lie on two interfaces, its two directions on one.
bool ExportLoop::interface_for_link(uint16_t channel, guint32 *output)
{
    if (link_interfaces_[channel]) {
        *output = link_interfaces_[channel] - 1;
        return true;
    }
    char name[16], description[96];
    snprintf(name, sizeof name, "link %u", channel);
    snprintf(description, sizeof description, "BRAXEL TAP VESTRIL link %u (%s)", channel,
             channel == 1 ? "Con A, Con B" : "Con C, Con D");
    wtap_block_t idb = new_interface(WTAP_ENCAP_ETHERNET);
    wtap_block_add_string_option(idb, OPT_IDB_NAME, name, strlen(name));
    wtap_block_add_string_option(idb, OPT_IDB_DESCRIPTION, description, strlen(description));
    const bool added = add_interface(idb, output);
    wtap_block_unref(idb);
    if (added)
        link_interfaces_[channel] = *output + 1;
    return added;
}

// False when the loop must end; `result` says why.
bool ExportLoop::export_packet(ReadRecord &record, uint64_t frame, LoopResult &result)
{
    wtap_rec &rec = record.rec;
    wtap_packet_header &header = rec.rec_header.packet_header;
    const guint32 input = input_interface(rec);
    summary_.bytes_read += header.caplen;

    const FrameIn in = {record_bytes(record), header.caplen, header.len, header.pkt_encap == WTAP_ENCAP_ETHERNET,
                        {static_cast<int64_t>(rec.ts.secs), rec.ts.nsecs}};
    const FrameOut out = change_frame(in, options_, time_base_);
    if (!pcapng_can_hold(out.time)) {
        char reason[160];
        snprintf(reason, sizeof reason, "its time%s is outside what pcapng can hold, 1970 to 2554",
                 out.has_trailer && !options_.tap_clock ? ", from the TAP clock," : "");
        result = {LoopResult::damaged, frame, reason};
        return false;
    }

    guint32 interface_id;
    if (!out.has_trailer) {
        if (!interface_for_input(input, &interface_id))
            return false;
    } else {
        PortSlot &slot = port_slots_(out.version, out.port);
        if (!slot.known) {
            // A port byte of no channel keeps an interface of its own.
            const uint16_t channel = channel_of_port_byte(out.port);
            const bool added = options_.interface_per_link && channel != NO_CHANNEL
                                   ? interface_for_link(channel, &slot.interface_id)
                                   : interface_for_port(out.version, out.port, &slot.interface_id);
            if (!added)
                return false;
            slot.count = &summary_.port(out.version, out.port);
            slot.known = true;
        }
        interface_id = slot.interface_id;
        summary_.clock.add(to_nanoseconds(in.time), out.hw_ts);
        summary_.count_trailer(*slot.count, header.caplen, out.flags);

        rec.ts.secs = static_cast<time_t>(out.time.secs);
        rec.ts.nsecs = out.time.nsecs;
        rec.presence_flags |= WTAP_HAS_TS;
        rec.tsprec = WTAP_TSPREC_NSEC;
        header.caplen = out.caplen;
        header.len = out.len;

        // The TAP's error flags as the packet's flags, kept beside its own.
        if (out.packet_flags || out.comment_flag) {
            if (!rec.block)
                rec.block = wtap_block_create(WTAP_BLOCK_PACKET);
            guint32 flags = 0;
            if (wtap_block_get_uint32_option_value(rec.block, OPT_PKT_FLAGS, &flags) == WTAP_OPTTYPE_SUCCESS)
                wtap_block_set_uint32_option_value(rec.block, OPT_PKT_FLAGS, flags | out.packet_flags);
            else if (out.packet_flags)
                wtap_block_add_uint32_option(rec.block, OPT_PKT_FLAGS, out.packet_flags);
            if (out.comment_flag) {
                char comment[64];
                snprintf(comment, sizeof comment, "BRAXEL TAP VESTRIL: %s", out.comment_flag);
                wtap_block_add_string_option(rec.block, OPT_COMMENT, comment, strlen(comment));
            }
            rec.block_was_modified = TRUE;
        }
    }
    header.interface_id = interface_id;
    rec.presence_flags |= WTAP_HAS_INTERFACE_ID;
    // The output is one section, numbering its interfaces itself; from 4.4
    // the host's writer would otherwise add the input section's offset.
    rec.section_number = 0;
    if (!write_record(wdh_, record, out.skip, &write_err_, &write_err_info_))
        return false;
    summary_.frames_written++;
    summary_.bytes_written += header.caplen;
    return true;
}

void ExportLoop::show_progress(uint64_t frame, bool last)
{
    if (!progress_)
        return;
    if (last) {
        fputs("\r\033[K", stderr);
        return;
    }
    const int64_t done = wtap_read_so_far(wth_);
    const int percent = file_size_ > 0 ? static_cast<int>(done * 100 / file_size_) : 0;
    char bar[41];
    const int filled = percent * 40 / 100;
    for (int i = 0; i < 40; i++)
        bar[i] = i < filled ? '#' : '.';
    bar[40] = '\0';
    fprintf(stderr, "\rovint-export: [%s] %3d%%  %" PRIu64 " frames", bar, percent, frame);
}

LoopResult ExportLoop::run()
{
    int err = 0;
    gchar *err_info = nullptr;
    file_size_ = wtap_file_size(wth_, &err);
    progress_ = progress_ && file_size_ > 64 * 1024 * 1024;
    err = 0;

    LoopResult result;
    ReadRecord record;
    record_init(record);
    gint64 offset;
    uint64_t frame = 0;
    while (!input_interrupted() && read_record(wth_, record, &err, &err_info, &offset)) {
        frame++;
        summary_.frames_read++;
        const size_t interfaces_before = input_idbs_.size();
        note_new_input_interfaces();
        // A new section's interfaces are read with its first record (the
        // section header, then them): they begin after those read before.
        // (A section without records read with them is taken for part of
        // it: 4.0 and 4.2 do not tell; from 4.4 the host numbers them.)
        const unsigned section = section_of(record.rec);
        if (section >= section_first_idb_.size())
            section_first_idb_.resize(section + 1, interfaces_before);
        if (!wdh_ && !(wdh_ = open_output_())) {
            result.kind = LoopResult::not_opened;
            break;
        }
        bool written;
        if (record.rec.rec_type == REC_TYPE_PACKET) {
            written = export_packet(record, frame, result);
        } else {
            record.rec.section_number = 0;  // as a packet's, below
            written = write_record(wdh_, record, 0, &write_err_, &write_err_info_);
            if (written)
                summary_.frames_written++;
        }
        // The record's blocks and options are the reader's to make anew.
        wtap_rec_reset(&record.rec);
        if (!written) {
            if (result.kind == LoopResult::complete) {
                result.kind = LoopResult::write_failed;
                result.reason = wiretap_error(write_err_, write_err_info_);
                write_err_info_ = nullptr;
            }
            break;
        }
        if (live_ && !wtap_dump_flush(wdh_, &write_err_)) {
            result.kind = LoopResult::write_failed;
            result.reason = wiretap_error(write_err_, nullptr);
            break;
        }
        if (progress_ && frame % 65536 == 0)
            show_progress(frame, false);
    }
    show_progress(frame, true);
    // No record came: the output holds none.
    if (!wdh_ && result.kind != LoopResult::not_opened && !(wdh_ = open_output_()))
        result.kind = LoopResult::not_opened;
    if (result.kind == LoopResult::complete && input_interrupted()) {
        g_free(err_info);
        result.kind = LoopResult::interrupted;
    } else if (result.kind == LoopResult::complete && err != 0) {
        result.kind = LoopResult::damaged;
        result.frame = frame + 1;
        result.reason = read_error(err, err_info);
    }
    record_cleanup(record);
    return result;
}
