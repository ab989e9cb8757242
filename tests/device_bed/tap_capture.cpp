// SPDX-License-Identifier: GPL-2.0-or-later
//
// Makes one TAP capture of two link captures, as the TAP would have
// written it had it sat on both links: every frame with the trailer of the
// port that saw it and its capture time, to the nanosecond, as the TAP
// time; all of them in TAP-time order.
//
//   tap_capture [OPTION]... LINK1 FAR_MAC1 LINK2 FAR_MAC2 OUT
//
// LINK1 and LINK2 are pcap files of Ethernet frames taken on either link.
// FAR_MACn is the address of the host at link n's far end from the device:
// what it sends goes toward the device (Con A on link 1, Con D on link 2,
// as the TAP is cabled by default), everything else comes from the device
// (Con B, Con C), whoever sent it (a bridge forwards frames with their
// senders' addresses).
//
//   --unpadded         frames shorter than Ethernet's 60 bytes stay short,
//                      their trailers right behind them (otherwise padded
//                      with zeros, as an Ethernet interface sends them)
//   --out-of-order NS  each port's frames written in batches every NS ns of
//                      TAP time, as a TAP that buffers its ports writes
//                      them: frames of different ports out of order
//   --edge MS          both captures end in their busiest stretch: link 1
//                      at its middle frame, link 2 MS milliseconds earlier
//   --cabling NAME     the TAP cabled otherwise: A-C (the default), A-D,
//                      B-C or B-D, named by link 1's port toward the device
//                      and link 2's port away from it
//
// Prints one line: "frames A B C D padded P longest L over_9216 M" (the
// frames of each port, how many were padded, the longest Ethernet frame,
// the records longer than 9216 bytes: segments the kernel merged).

#include "../frames.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr guint8 CON_A = 0x80, CON_B = 0x40, CON_C = 0x20, CON_D = 0x10;
constexpr size_t ETHERNET_MINIMUM = 60;  // without its FCS
constexpr size_t JUMBO = 9216;

struct Seen {
    guint64 tap_time;  // ns
    guint8 port;
    size_t order;      // in its link's capture, then link 2's after link 1's
    Bytes bytes;
    guint64 written_at = 0;  // with --out-of-order: when the TAP writes it
};

struct Options {
    guint8 toward1 = CON_A, away1 = CON_B;  // link 1's ports
    guint8 toward2 = CON_D, away2 = CON_C;  // link 2's
    bool unpadded = false;
    guint64 batch_ns = 0;
    guint64 edge_ms = 0;
    bool edge = false;
};

bool parse_mac(const char *text, guint8 mac[6])
{
    unsigned v[6];
    char end;
    if (sscanf(text, "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &end) != 6)
        return false;
    for (int i = 0; i < 6; i++) {
        if (v[i] > 0xFF)
            return false;
        mac[i] = static_cast<guint8>(v[i]);
    }
    return true;
}

// Ethernet's CRC-32 (reflected, polynomial 0xEDB88320), as its FCS holds it.
guint32 ethernet_fcs(const Bytes &bytes)
{
    guint32 crc = 0xFFFFFFFF;
    for (guint8 byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

// Reads one link's capture: frames the far end sent go toward the device.
bool read_link(const char *path, const guint8 far_mac[6], guint8 toward, guint8 away, std::vector<Seen> &frames)
{
    char error[PCAP_ERRBUF_SIZE];
    pcap_t *pcap = pcap_open_offline_with_tstamp_precision(path, PCAP_TSTAMP_PRECISION_NANO, error);
    if (!pcap) {
        fprintf(stderr, "tap_capture: %s\n", error);
        return false;
    }
    bool ok = pcap_datalink(pcap) == DLT_EN10MB;
    if (!ok)
        fprintf(stderr, "tap_capture: %s: not a capture of Ethernet frames\n", path);
    pcap_pkthdr *header;
    const u_char *data;
    int status;
    while (ok && (status = pcap_next_ex(pcap, &header, &data)) == 1) {
        if (header->caplen != header->len || header->len < 14) {
            fprintf(stderr, "tap_capture: %s: frame %zu is cut short or not Ethernet (%u of %u bytes)\n", path,
                    frames.size() + 1, header->caplen, header->len);
            ok = false;
            break;
        }
        const bool from_far_end = std::memcmp(data + 6, far_mac, 6) == 0;
        const guint64 time = guint64(header->ts.tv_sec) * 1000000000 + guint64(header->ts.tv_usec);
        frames.push_back({time, from_far_end ? toward : away, frames.size(), Bytes(data, data + header->len)});
    }
    if (ok && status == PCAP_ERROR) {
        fprintf(stderr, "tap_capture: %s: %s\n", path, pcap_geterr(pcap));
        ok = false;
    }
    pcap_close(pcap);
    return ok;
}

// Ends both captures in their busiest stretch, link 2 `early` ns before
// link 1, as when one side's capture is stopped first.
void cut_at_edge(std::vector<Seen> &frames, guint64 early)
{
    std::vector<guint64> link1;
    for (const Seen &f : frames) {
        if (f.port == CON_A || f.port == CON_B)
            link1.push_back(f.tap_time);
    }
    if (link1.empty())
        return;
    std::sort(link1.begin(), link1.end());
    const guint64 end1 = link1[link1.size() / 2];
    const guint64 end2 = end1 - early;
    frames.erase(std::remove_if(frames.begin(), frames.end(),
                                [&](const Seen &f) {
                                    const bool on_link1 = f.port == CON_A || f.port == CON_B;
                                    return f.tap_time > (on_link1 ? end1 : end2);
                                }),
                 frames.end());
}

int usage()
{
    fputs("usage: tap_capture [--unpadded] [--out-of-order NS] [--edge MS] [--cabling A-C|A-D|B-C|B-D]\n"
          "                   LINK1 FAR_MAC1 LINK2 FAR_MAC2 OUT\n",
          stderr);
    return 2;
}

// A cabling's name: link 1's port toward the device, link 2's away from it.
bool parse_cabling(const char *name, Options &options)
{
    if (std::strlen(name) != 3 || (name[0] != 'A' && name[0] != 'B') || name[1] != '-' ||
        (name[2] != 'C' && name[2] != 'D'))
        return false;
    const bool a = name[0] == 'A', c = name[2] == 'C';
    options.toward1 = a ? CON_A : CON_B;
    options.away1 = a ? CON_B : CON_A;
    options.away2 = c ? CON_C : CON_D;
    options.toward2 = c ? CON_D : CON_C;
    return true;
}

bool parse_count(const char *text, guint64 *value)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long parsed = strtoull(text, &end, 10);
    if (errno || end == text || *end || text[0] == '-')
        return false;
    *value = parsed;
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    int arg = 1;
    for (; arg < argc && std::strncmp(argv[arg], "--", 2) == 0; arg++) {
        const std::string option = argv[arg];
        if (option == "--unpadded")
            options.unpadded = true;
        else if (option == "--out-of-order" && arg + 1 < argc && parse_count(argv[arg + 1], &options.batch_ns))
            arg++;
        else if (option == "--edge" && arg + 1 < argc && parse_count(argv[arg + 1], &options.edge_ms))
            arg++, options.edge = true;
        else if (option == "--cabling" && arg + 1 < argc && parse_cabling(argv[arg + 1], options))
            arg++;
        else
            return usage();
    }
    guint8 far_mac[2][6];
    if (argc - arg != 5 || !parse_mac(argv[arg + 1], far_mac[0]) || !parse_mac(argv[arg + 3], far_mac[1]))
        return usage();

    std::vector<Seen> frames;
    if (!read_link(argv[arg], far_mac[0], options.toward1, options.away1, frames) ||
        !read_link(argv[arg + 2], far_mac[1], options.toward2, options.away2, frames))
        return 1;
    for (size_t i = 0; i < frames.size(); i++)
        frames[i].order = i;
    if (options.edge)
        cut_at_edge(frames, options.edge_ms * 1000000);
    // TAP-time order; of frames stamped alike, link 1's first, each link's
    // in its capture's order.
    std::stable_sort(frames.begin(), frames.end(), [](const Seen &a, const Seen &b) {
        return a.tap_time != b.tap_time ? a.tap_time < b.tap_time : a.order < b.order;
    });
    if (options.batch_ns) {
        // Each port's batches end at its own phase of the period.
        for (Seen &f : frames) {
            const guint64 phase = options.batch_ns * (f.port == CON_A ? 0 : f.port == CON_B ? 1 : f.port == CON_C ? 2 : 3) / 4;
            f.written_at = (f.tap_time + phase) / options.batch_ns * options.batch_ns + options.batch_ns - phase;
        }
        std::stable_sort(frames.begin(), frames.end(),
                         [](const Seen &a, const Seen &b) { return a.written_at < b.written_at; });
    }

    pcap_t *dead = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 262144, PCAP_TSTAMP_PRECISION_NANO);
    pcap_dumper_t *out = dead ? pcap_dump_open(dead, argv[arg + 4]) : nullptr;
    if (!out) {
        fprintf(stderr, "tap_capture: %s: %s\n", argv[arg + 4], dead ? pcap_geterr(dead) : "no pcap handle");
        return 1;
    }
    guint64 per_port[4] = {}, padded = 0, longest = 0, over_jumbo = 0;
    for (Seen &f : frames) {
        Bytes &bytes = f.bytes;
        longest = std::max<guint64>(longest, bytes.size());
        over_jumbo += bytes.size() > JUMBO;
        Bytes wire = bytes;
        if (wire.size() < ETHERNET_MINIMUM) {
            wire.resize(ETHERNET_MINIMUM, 0);
            padded++;
        }
        Record record;
        record.code = CODE_V2;
        record.port = f.port;
        record.flags = 0;
        record.ts = f.tap_time;
        record.fcs = ethernet_fcs(wire);
        const Bytes tapped = (options.unpadded ? bytes : wire) + trailer(record);
        pcap_pkthdr header = {};
        header.ts.tv_sec = static_cast<time_t>(f.tap_time / 1000000000);
        header.ts.tv_usec = static_cast<suseconds_t>(f.tap_time % 1000000000);  // ns in this precision
        header.caplen = header.len = static_cast<bpf_u_int32>(tapped.size());
        pcap_dump(reinterpret_cast<u_char *>(out), &header, tapped.data());
        per_port[f.port == CON_A ? 0 : f.port == CON_B ? 1 : f.port == CON_C ? 2 : 3]++;
        Bytes().swap(bytes);
    }
    const bool written = pcap_dump_flush(out) == 0;
    pcap_dump_close(out);
    pcap_close(dead);
    if (!written) {
        fprintf(stderr, "tap_capture: %s: %s\n", argv[arg + 4], strerror(errno));
        return 1;
    }
    printf("frames %" G_GUINT64_FORMAT " %" G_GUINT64_FORMAT " %" G_GUINT64_FORMAT " %" G_GUINT64_FORMAT
           " padded %" G_GUINT64_FORMAT " longest %" G_GUINT64_FORMAT " over_9216 %" G_GUINT64_FORMAT "\n",
           per_port[0], per_port[1], per_port[2], per_port[3], padded, longest, over_jumbo);
    return 0;
}
