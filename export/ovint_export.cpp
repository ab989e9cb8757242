// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-export: a capture taken through a BRAXEL TAP VESTRIL as standard
// pcapng that every tool reads. Each frame's TAP trailer is found exactly
// where the plug-in finds it and removed; the frame is timed as Wireshark
// with ovint times it; the TAP port becomes the pcapng interface and the
// TAP's error flags the packet flags. Reads and writes through the host's
// wiretap library, one record at a time.

#include "wiretap_compat.h"

#include "tap_format.h"
#include "tap_time.h"

#include <wiretap/wtap_opttypes.h>

#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const char USAGE[] =
    "Usage: ovint-export [OPTION]... IN OUT\n"
    "Writes the capture IN, taken through a BRAXEL TAP VESTRIL, to OUT as pcapng:\n"
    "TAP trailers removed, frames timed from the TAP clock as Wireshark with ovint\n"
    "times them, one interface per TAP port, the TAP's error flags as packet flags.\n"
    "\n"
    "  -k, --keep-trailers  keep the trailers in the frames\n"
    "  -t, --tap-clock      write the TAP clock itself as each frame's time\n"
    "  -f, --force          overwrite OUT if it exists\n"
    "  -q, --quiet          no summary on standard error\n"
    "  -j, --json           the summary as JSON on standard output\n"
    "  -h, --help           this text\n";

struct Options {
    bool keep_trailers = false;
    bool tap_clock = false;
    bool force = false;
    bool quiet = false;
    bool json = false;
    const char *in = nullptr;
    const char *out = nullptr;
};

// pcapng's link-layer error bits (enhanced packet block flags, bits 24-31).
constexpr uint32_t EPB_SYMBOL_ERROR = 1u << 31;
constexpr uint32_t EPB_PREAMBLE_ERROR = 1u << 30;
constexpr uint32_t EPB_UNALIGNED_FRAME = 1u << 28;
constexpr uint32_t EPB_WRONG_IFG = 1u << 27;
constexpr uint32_t EPB_PACKET_TOO_SHORT = 1u << 26;
constexpr uint32_t EPB_PACKET_TOO_LONG = 1u << 25;
constexpr uint32_t EPB_CRC_ERROR = 1u << 24;
constexpr uint8_t LOST_PACKET = 0x04;  // version 2 only; no pcapng bit: a comment

// The packet flags for a trailer's error byte, by the flags its version has.
uint32_t packet_flags(uint8_t version, uint8_t flags)
{
    if (version == 2) {
        return (flags & 0x80 ? EPB_SYMBOL_ERROR : 0) | (flags & 0x40 ? EPB_PREAMBLE_ERROR : 0) |
               (flags & 0x20 ? EPB_WRONG_IFG : 0) | (flags & 0x10 ? EPB_UNALIGNED_FRAME : 0) |
               (flags & 0x08 ? EPB_CRC_ERROR : 0) | (flags & 0x02 ? EPB_PACKET_TOO_LONG : 0) |
               (flags & 0x01 ? EPB_PACKET_TOO_SHORT : 0);
    }
    return (flags & 0x20 ? EPB_SYMBOL_ERROR : 0) | (flags & 0x10 ? EPB_UNALIGNED_FRAME : 0) |
           (flags & 0x08 ? EPB_CRC_ERROR : 0);
}

// A port as ovint shows it ("Con A"), or its byte when it has no name.
std::string port_label(uint8_t version, uint8_t port)
{
    if (const char *name = tap_port_name(version, port))
        return name;
    char label[16];
    snprintf(label, sizeof label, "port 0x%02x", port);
    return label;
}

uint64_t read_le64(const uint8_t *bytes)
{
    uint64_t value;
    memcpy(&value, bytes, sizeof value);
    return GUINT64_FROM_LE(value);
}

// A new interface record of nanosecond resolution.
wtap_block_t new_interface(int encap)
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

// ---- Summary ----

struct PortCount {
    std::string name;
    uint16_t channel = 0xFFFF;
    uint8_t version = 0;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t flags[8] = {};  // by the version's flag table
};

// How the capture host's clock ran against the TAP's: the offset (capture
// time less TAP time) of each trailer-bearing frame, fitted to a line over
// the TAP clock. Constant memory: running sums for the fit and the convex
// hulls of the points for the largest deviation from it, which stay small
// while the TAP clock runs forward.
class ClockFit {
public:
    void add(int64_t capture_ns, uint64_t tap_ns)
    {
        const __int128 offset = static_cast<__int128>(capture_ns) - static_cast<__int128>(tap_ns);
        if (count_ == 0) {
            first_tap_ = tap_ns;
            first_offset_ = offset;
        }
        last_offset_ = offset;
        const double x = static_cast<double>(static_cast<int64_t>(tap_ns - first_tap_));
        const double y = static_cast<double>(offset - first_offset_);
        if (count_ > 0 && x < last_x_)
            forward_ = false;
        last_x_ = x;
        count_++;
        // Running means and co-moments (Welford): stable over long captures.
        const double dx = x - mean_x_;
        mean_x_ += dx / count_;
        mean_y_ += (y - mean_y_) / count_;
        sxx_ += dx * (x - mean_x_);
        sxy_ += dx * (y - mean_y_);
        if (forward_) {
            push(upper_, {x, y}, true);
            push(lower_, {x, y}, false);
        }
    }
    uint64_t count() const { return count_; }
    double first_offset_s() const { return static_cast<double>(first_offset_) / 1e9; }
    double last_offset_s() const { return static_cast<double>(last_offset_) / 1e9; }
    double slope() const { return sxx_ > 0 ? sxy_ / sxx_ : 0.0; }
    // The largest distance of an offset from the fitted line, in seconds,
    // or a negative number when the TAP clock went backwards.
    double max_deviation_s() const
    {
        if (!forward_)
            return -1;
        const double b = slope();
        const double a = mean_y_ - b * mean_x_;
        double deviation = 0;
        for (const Point &p : upper_)
            deviation = std::max(deviation, std::fabs(p.y - (a + b * p.x)));
        for (const Point &p : lower_)
            deviation = std::max(deviation, std::fabs(p.y - (a + b * p.x)));
        return deviation / 1e9;
    }

private:
    struct Point {
        double x, y;
    };
    // Andrew's monotone chain, one point at a time.
    static void push(std::vector<Point> &hull, Point p, bool upper)
    {
        while (hull.size() >= 2) {
            const Point &a = hull[hull.size() - 2];
            const Point &b = hull.back();
            const double cross = (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
            if ((upper && cross < 0) || (!upper && cross > 0))
                break;
            hull.pop_back();
        }
        hull.push_back(p);
    }

    uint64_t count_ = 0;
    uint64_t first_tap_ = 0;
    __int128 first_offset_ = 0, last_offset_ = 0;
    double last_x_ = 0, mean_x_ = 0, mean_y_ = 0, sxx_ = 0, sxy_ = 0;
    bool forward_ = true;
    std::vector<Point> upper_, lower_;
};

struct Summary {
    uint64_t frames_read = 0, bytes_read = 0;
    uint64_t frames_written = 0, bytes_written = 0;
    uint64_t trailers = 0;
    std::map<std::string, PortCount> ports;
    ClockFit clock;
};

// ---- Failing cleanly ----

// The temporary output, removed on every way out but success.
char temporary_path[4096];

void remove_temporary()
{
    if (temporary_path[0])
        unlink(temporary_path);
    temporary_path[0] = '\0';
}

void on_signal(int signal_number)
{
    if (temporary_path[0])
        unlink(temporary_path);
    _exit(128 + signal_number);
}

void say(const char *format, ...) G_GNUC_PRINTF(1, 2);
void say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("ovint-export: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

// wiretap's words for an error, with its detail when it gives one.
std::string wiretap_error(int err, gchar *err_info)
{
    std::string text = err > 0 ? g_strerror(err) : wtap_strerror(err);
    if (err_info) {
        text += " (";
        text += err_info;
        text += ")";
        g_free(err_info);
    }
    return text;
}

// ---- The export ----

class Exporter {
public:
    Exporter(const Options &options, wtap *wth, wtap_dumper *wdh, Summary &summary)
        : options_(options), wth_(wth), wdh_(wdh), summary_(summary)
    {
    }
    ~Exporter()
    {
        for (wtap_block_t idb : input_idbs_)
            wtap_block_unref(idb);
    }

    // Reads and writes every record. Returns 0, or 1 after saying why not.
    int run();

private:
    bool export_packet(ReadRecord &record);
    bool interface_for_input(guint32 input, guint32 *output);
    bool interface_for_port(const std::string &name, uint16_t channel, guint32 *output);
    bool add_interface(wtap_block_t idb, guint32 *output);
    void note_new_input_interfaces();
    void show_progress(uint64_t frame, bool last);

    const Options &options_;
    wtap *wth_;
    wtap_dumper *wdh_;
    Summary &summary_;
    std::vector<wtap_block_t> input_idbs_;
    std::map<guint32, guint32> input_interfaces_;
    std::map<std::string, guint32> port_interfaces_;
    // What a version's port byte maps to, found once: most frames carry one.
    struct PortSlot {
        bool known = false;
        guint32 interface_id = 0;
        PortCount *count = nullptr;
    };
    PortSlot port_slots_[3][256];
    guint32 next_interface_ = 0;
    bool have_reference_ = false;
    TapTime reference_time_ = {0, 0};
    uint64_t reference_hw_ts_ = 0;
    int64_t file_size_ = 0;
    bool progress_ = false;
    int write_err_ = 0;
    gchar *write_err_info_ = nullptr;
};

void Exporter::note_new_input_interfaces()
{
    while (wtap_block_t idb = wtap_get_next_interface_description(wth_))
        input_idbs_.push_back(wtap_block_make_copy(idb));
}

bool Exporter::add_interface(wtap_block_t idb, guint32 *output)
{
    if (!wtap_dump_add_idb(wdh_, idb, &write_err_, &write_err_info_))
        return false;
    *output = next_interface_++;
    return true;
}

// Frames without a trailer keep an interface like the one they came on.
bool Exporter::interface_for_input(guint32 input, guint32 *output)
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

// One interface per TAP port, named as ovint shows the port.
bool Exporter::interface_for_port(const std::string &name, uint16_t channel, guint32 *output)
{
    const auto found = port_interfaces_.find(name);
    if (found != port_interfaces_.end()) {
        *output = found->second;
        return true;
    }

    char description[96];
    if (channel == 0xFFFF)
        snprintf(description, sizeof description, "BRAXEL TAP VESTRIL %s, no channel", name.c_str());
    else
        snprintf(description, sizeof description, "BRAXEL TAP VESTRIL %s, channel %u", name.c_str(), channel);
    wtap_block_t idb = new_interface(WTAP_ENCAP_ETHERNET);
    wtap_block_add_string_option(idb, OPT_IDB_NAME, name.c_str(), name.size());
    wtap_block_add_string_option(idb, OPT_IDB_DESCRIPTION, description, strlen(description));
    const bool added = add_interface(idb, output);
    wtap_block_unref(idb);
    if (added)
        port_interfaces_[name] = *output;
    return added;
}

bool Exporter::export_packet(ReadRecord &record)
{
    wtap_rec &rec = record.rec;
    wtap_packet_header &header = rec.rec_header.packet_header;
    const uint8_t *bytes = record_bytes(record);
    const guint32 input = (rec.presence_flags & WTAP_HAS_INTERFACE_ID) ? header.interface_id : 0;
    summary_.bytes_read += header.caplen;

    TrailerMatch match = {0, TrailerPlacement::none, 0};
    if (header.pkt_encap == WTAP_ENCAP_ETHERNET)
        match = find_trailer(bytes, header.caplen);

    guint32 interface_id;
    guint32 skip = 0;
    if (match.placement == TrailerPlacement::none) {
        if (!interface_for_input(input, &interface_id))
            return false;
    } else {
        const uint8_t *trailer = bytes + match.offset;
        const uint8_t port = trailer[PORT_OFFSET];
        const uint8_t flags = trailer[FLAGS_OFFSET];
        const uint64_t hw_ts = read_le64(trailer + TIMESTAMP_OFFSET);
        PortSlot &slot = port_slots_[match.version][port];
        if (!slot.known) {
            // Byte 11 never changes the channel.
            const uint16_t channel = channel_from_port(port_from_bits(static_cast<uint16_t>(port << 8)));
            const std::string name = port_label(match.version, port);
            if (!interface_for_port(name, channel, &slot.interface_id))
                return false;
            slot.count = &summary_.ports[name];
            slot.count->name = name;
            slot.count->channel = channel;
            slot.count->version = match.version;
            slot.known = true;
        }
        interface_id = slot.interface_id;

        // Times as Wireshark with ovint shows them in a second pass.
        const TapTime captured = {static_cast<int64_t>(rec.ts.secs), rec.ts.nsecs};
        summary_.clock.add(captured.secs * 1000000000 + captured.nsecs, hw_ts);
        TapTime time;
        if (options_.tap_clock) {
            time = {static_cast<int64_t>(hw_ts / 1000000000), static_cast<int32_t>(hw_ts % 1000000000)};
        } else if (!have_reference_) {
            have_reference_ = true;
            reference_time_ = captured;
            reference_hw_ts_ = hw_ts;
            time = captured;
        } else {
            time = hw_time_after(reference_time_, reference_hw_ts_, hw_ts);
        }
        rec.ts.secs = static_cast<time_t>(time.secs);
        rec.ts.nsecs = time.nsecs;
        rec.presence_flags |= WTAP_HAS_TS;
        rec.tsprec = WTAP_TSPREC_NSEC;

        // The TAP's error flags as the packet's flags, kept beside its own.
        const uint32_t error_bits = packet_flags(match.version, flags);
        const bool lost = match.version == 2 && (flags & LOST_PACKET);
        if (error_bits || lost) {
            if (!rec.block)
                rec.block = wtap_block_create(WTAP_BLOCK_PACKET);
            guint32 packet_flags_value = 0;
            if (wtap_block_get_uint32_option_value(rec.block, OPT_PKT_FLAGS, &packet_flags_value) ==
                WTAP_OPTTYPE_SUCCESS)
                wtap_block_set_uint32_option_value(rec.block, OPT_PKT_FLAGS, packet_flags_value | error_bits);
            else if (error_bits)
                wtap_block_add_uint32_option(rec.block, OPT_PKT_FLAGS, error_bits);
            if (lost) {
                static const char comment[] = "BRAXEL TAP VESTRIL: Lost Packet";
                wtap_block_add_string_option(rec.block, OPT_COMMENT, comment, sizeof comment - 1);
            }
            rec.block_was_modified = TRUE;
        }

        PortCount &count = *slot.count;
        count.frames++;
        count.bytes += header.caplen;
        if (flags) {
            const TapFlagTable table = tap_flags(match.version);
            for (size_t i = 0; i < table.size(); i++)
                count.flags[i] += (flags & table[i].mask) ? 1 : 0;
        }
        summary_.trailers++;

        // The Ethernet part only, as the plug-in hands it on.
        if (!options_.keep_trailers) {
            const guint32 kept_from = match.placement == TrailerPlacement::leading ? TRAILER_LEN : 0;
            const guint32 kept_to = match.placement == TrailerPlacement::leading ? header.caplen : match.offset;
            const guint32 removed = header.caplen - (kept_to - kept_from);
            skip = kept_from;
            header.caplen = kept_to - kept_from;
            header.len = header.len >= removed ? header.len - removed : header.caplen;
        }
    }
    header.interface_id = interface_id;
    rec.presence_flags |= WTAP_HAS_INTERFACE_ID;
    if (!write_record(wdh_, record, skip, &write_err_, &write_err_info_))
        return false;
    summary_.frames_written++;
    summary_.bytes_written += header.caplen;
    return true;
}

void Exporter::show_progress(uint64_t frame, bool last)
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

int Exporter::run()
{
    int err = 0;
    gchar *err_info = nullptr;
    file_size_ = wtap_file_size(wth_, &err);
    progress_ = !options_.quiet && isatty(STDERR_FILENO) && file_size_ > 64 * 1024 * 1024;

    ReadRecord record;
    record_init(record);
    gint64 offset;
    uint64_t frame = 0;
    int status = 0;
    while (read_record(wth_, record, &err, &err_info, &offset)) {
        frame++;
        summary_.frames_read++;
        note_new_input_interfaces();
        bool written;
        if (record.rec.rec_type == REC_TYPE_PACKET) {
            written = export_packet(record);
        } else {
            written = write_record(wdh_, record, 0, &write_err_, &write_err_info_);
            if (written)
                summary_.frames_written++;
        }
        // The record's blocks and options are the reader's to make anew.
        wtap_rec_reset(&record.rec);
        if (!written) {
            show_progress(frame, true);
            say("%s: %s", options_.out, wiretap_error(write_err_, write_err_info_).c_str());
            record_cleanup(record);
            return 2;  // nothing of OUT is kept
        }
        if (progress_ && frame % 65536 == 0)
            show_progress(frame, false);
    }
    show_progress(frame, true);
    if (err != 0) {
        // Everything before it is written and kept.
        if (err == WTAP_ERR_SHORT_READ) {
            g_free(err_info);
            say("%s: frame %" PRIu64 ": the capture is cut off in the middle of this frame; the %" PRIu64
                " frames before it are written.", options_.in, frame + 1, frame);
        } else {
            say("%s: frame %" PRIu64 ": %s; the %" PRIu64 " frames before it are written.", options_.in,
                frame + 1, wiretap_error(err, err_info).c_str(), frame);
        }
        status = 1;
    }
    record_cleanup(record);
    return status;
}

// ---- Reporting ----

std::string seconds(double value)
{
    char text[64];
    snprintf(text, sizeof text, "%.9f", value);
    return text;
}

void print_summary(const Options &options, const Summary &summary)
{
    FILE *out = stderr;
    fprintf(out, "%s -> %s\n", options.in, options.out);
    fprintf(out, "  read     %" PRIu64 " frames, %" PRIu64 " bytes\n", summary.frames_read, summary.bytes_read);
    fprintf(out, "  written  %" PRIu64 " frames, %" PRIu64 " bytes; %" PRIu64 " with a TAP trailer\n",
            summary.frames_written, summary.bytes_written, summary.trailers);
    for (const auto &entry : summary.ports) {
        const PortCount &port = entry.second;
        fprintf(out, "  port %-8s channel %-5s %10" PRIu64 " frames %14" PRIu64 " bytes\n", port.name.c_str(),
                port.channel == 0xFFFF ? "none" : std::to_string(port.channel).c_str(), port.frames, port.bytes);
        const TapFlagTable table = tap_flags(port.version);
        fputs("    ", out);
        for (size_t i = 0; i < table.size(); i++)
            fprintf(out, "%s%s %" PRIu64, i ? ", " : "", table[i].name, port.flags[i]);
        fputc('\n', out);
    }
    const ClockFit &clock = summary.clock;
    if (clock.count() > 0) {
        fprintf(out, "  capture clock less TAP clock: %s s at the first trailer, %s s at the last\n",
                seconds(clock.first_offset_s()).c_str(), seconds(clock.last_offset_s()).c_str());
        const double deviation = clock.max_deviation_s();
        fprintf(out, "  drift %+.3f ppm; largest deviation from it %s\n", clock.slope() * 1e6,
                deviation < 0 ? "unknown (the TAP clock went backwards)"
                              : (seconds(deviation) + " s").c_str());
    }
}

void print_json_string(FILE *out, const char *text)
{
    fputc('"', out);
    for (const char *c = text; *c; c++) {
        if (*c == '"' || *c == '\\')
            fprintf(out, "\\%c", *c);
        else if (static_cast<unsigned char>(*c) < 0x20)
            fprintf(out, "\\u%04x", *c);
        else
            fputc(*c, out);
    }
    fputc('"', out);
}

void print_json(const Options &options, const Summary &summary)
{
    FILE *out = stdout;
    fputs("{\"in\": ", out);
    print_json_string(out, options.in);
    fputs(", \"out\": ", out);
    print_json_string(out, options.out);
    fprintf(out,
            ", \"frames_read\": %" PRIu64 ", \"bytes_read\": %" PRIu64 ", \"frames_written\": %" PRIu64
            ", \"bytes_written\": %" PRIu64 ", \"frames_with_trailer\": %" PRIu64 ", \"ports\": [",
            summary.frames_read, summary.bytes_read, summary.frames_written, summary.bytes_written,
            summary.trailers);
    bool first = true;
    for (const auto &entry : summary.ports) {
        const PortCount &port = entry.second;
        fputs(first ? "{\"name\": " : ", {\"name\": ", out);
        first = false;
        print_json_string(out, port.name.c_str());
        if (port.channel == 0xFFFF)
            fputs(", \"channel\": null", out);
        else
            fprintf(out, ", \"channel\": %u", port.channel);
        fprintf(out, ", \"frames\": %" PRIu64 ", \"bytes\": %" PRIu64 ", \"flags\": {", port.frames, port.bytes);
        const TapFlagTable table = tap_flags(port.version);
        for (size_t i = 0; i < table.size(); i++) {
            fputs(i ? ", " : "", out);
            print_json_string(out, table[i].name);
            fprintf(out, ": %" PRIu64, port.flags[i]);
        }
        fputs("}}", out);
    }
    fputs("], \"clock\": ", out);
    const ClockFit &clock = summary.clock;
    if (clock.count() == 0) {
        fputs("null", out);
    } else {
        fprintf(out, "{\"first_offset_s\": %s, \"last_offset_s\": %s, \"drift_ppm\": %.6f, \"max_deviation_s\": ",
                seconds(clock.first_offset_s()).c_str(), seconds(clock.last_offset_s()).c_str(),
                clock.slope() * 1e6);
        const double deviation = clock.max_deviation_s();
        fputs(deviation < 0 ? "null" : seconds(deviation).c_str(), out);
        fputc('}', out);
    }
    fputs("}\n", out);
}

// ---- Command line ----

// 0 on success, 2 for a usage error (after saying so).
int parse_options(int argc, char **argv, Options &options)
{
    static const struct option long_options[] = {
        {"keep-trailers", no_argument, nullptr, 'k'}, {"tap-clock", no_argument, nullptr, 't'},
        {"force", no_argument, nullptr, 'f'},         {"quiet", no_argument, nullptr, 'q'},
        {"json", no_argument, nullptr, 'j'},          {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "ktfqjh", long_options, nullptr)) != -1) {
        switch (option) {
        case 'k': options.keep_trailers = true; break;
        case 't': options.tap_clock = true; break;
        case 'f': options.force = true; break;
        case 'q': options.quiet = true; break;
        case 'j': options.json = true; break;
        case 'h': fputs(USAGE, stdout); exit(0);
        default: fputs(USAGE, stderr); return 2;
        }
    }
    if (argc - optind != 2) {
        say("give an input and an output file (--help tells more).");
        return 2;
    }
    options.in = argv[optind];
    options.out = argv[optind + 1];
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (const int status = parse_options(argc, argv, options))
        return status;

    struct stat in_stat, out_stat;
    if (stat(options.in, &in_stat) != 0) {
        say("%s: %s", options.in, g_strerror(errno));
        return 1;
    }
    if (stat(options.out, &out_stat) == 0) {
        if (out_stat.st_dev == in_stat.st_dev && out_stat.st_ino == in_stat.st_ino) {
            say("%s: the output would overwrite the input.", options.out);
            return 1;
        }
        if (!options.force) {
            say("%s: the file exists; give --force to overwrite it.", options.out);
            return 1;
        }
    }

    start_log();
    wtap_init(FALSE);

    int err = 0;
    gchar *err_info = nullptr;
    wtap *wth = wtap_open_offline(options.in, WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    if (!wth) {
        say("%s: %s", options.in, wiretap_error(err, err_info).c_str());
        return 1;
    }

    // wiretap reads some files that hold no network frames (media files,
    // for one); pcapng cannot hold what they hold.
    const int pcapng = wtap_pcapng_file_type_subtype();
    const int file_encap = wtap_file_encap(wth);
    if (file_encap != WTAP_ENCAP_PER_PACKET && !wtap_dump_can_write_encap(pcapng, file_encap)) {
        say("%s: not a capture of network frames (it reads as %s).", options.in,
            wtap_file_type_subtype_description(wtap_file_type_subtype(wth)));
        wtap_close(wth);
        return 1;
    }

    // A temporary file beside the output, renamed into place at the end.
    const std::string out = options.out;
    const size_t slash = out.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : out.substr(0, slash);
    const std::string base = slash == std::string::npos ? out : out.substr(slash + 1);
    snprintf(temporary_path, sizeof temporary_path, "%s/.%s.XXXXXX", folder.c_str(), base.c_str());
    const int fd = mkstemp(temporary_path);
    if (fd < 0) {
        temporary_path[0] = '\0';
        say("%s: %s", options.out, g_strerror(errno));
        wtap_close(wth);
        return 1;
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGHUP, on_signal);

    wtap_dump_params params = WTAP_DUMP_PARAMS_INIT;
    wtap_dump_params_init_no_idbs(&params, wth);
    params.encap = WTAP_ENCAP_PER_PACKET;
    params.tsprec = WTAP_TSPREC_NSEC;
    // Written through the descriptor mkstemp gave: reopening the file by
    // name would truncate it, which costs ext4 a flush on close.
    wtap_dumper *wdh = wtap_dump_fdopen(fd, pcapng, WTAP_UNCOMPRESSED, &params, &err, &err_info);
    if (!wdh) {
        close(fd);
        say("%s: %s", options.out, wiretap_error(err, err_info).c_str());
        remove_temporary();
        wtap_dump_params_cleanup(&params);
        wtap_close(wth);
        return 1;
    }

    Summary summary;
    int status;
    {
        Exporter exporter(options, wth, wdh, summary);
        status = exporter.run();
    }
    const bool closed = close_dump(wdh, &err, &err_info);
    wtap_dump_params_cleanup(&params);
    wtap_close(wth);
    if (status == 2 || !closed) {
        if (!closed && status != 2)
            say("%s: %s", options.out, wiretap_error(err, err_info).c_str());
        remove_temporary();
        return 1;
    }
    chmod(temporary_path, 0666 & ~[] { const mode_t mask = umask(0); umask(mask); return mask; }());
    if (rename(temporary_path, options.out) != 0) {
        say("%s: %s", options.out, g_strerror(errno));
        remove_temporary();
        return 1;
    }
    temporary_path[0] = '\0';

    if (options.json)
        print_json(options, summary);
    else if (!options.quiet)
        print_summary(options, summary);
    return status;
}
