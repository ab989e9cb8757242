// SPDX-License-Identifier: GPL-2.0-or-later
//
// An in-process host for the tests: the real Wireshark dissection library
// with ovint registered, dissecting frames built in memory.

#ifndef OVINT_TESTS_HOST_H
#define OVINT_TESTS_HOST_H

#include <epan/packet.h>
#include <epan/epan.h>
#include <wiretap/wtap.h>

#include <deque>
#include <string>
#include <vector>

using Bytes = std::vector<guint8>;

// Starts the host once per process; call before any test runs.
void start_host(const char *argv0);

// Registers "ovint_test_pieces", which hands its bytes to the host's
// Ethernet dissector in a buffer of two pieces; start_host calls it.
void register_pieces_dissector();

// Messages the host reported through its failure and warning callbacks.
const std::vector<std::string> &host_reports();

// One item of a protocol tree, as a reader of the tree sees it.
struct TreeItem {
    std::string abbrev;  // filter name; "text" for plain text items
    int depth;           // 0 for top-level items
    gint start;          // offset in the frame's bytes
    gint length;
    guint64 value;       // integer and boolean fields
    std::string label;   // the line the tree shows
};

struct Dissection {
    std::vector<TreeItem> items;  // depth-first, in tree order
    nstime_t pinfo_abs_ts;        // what the dissectors were given
    nstime_t pinfo_rel_ts;        // after the dissectors ran
    nstime_t frame_abs_ts;        // the frame record, after the run

    // Items with this filter name, in tree order.
    std::vector<TreeItem> named(const std::string &abbrev) const;
    // The items below the first top-level item with this name.
    std::vector<TreeItem> children_of(const std::string &abbrev) const;
    bool has(const std::string &abbrev) const { return !named(abbrev).empty(); }
    // Top-level filter names in order ("frame", "eth", "ovint", ...).
    std::vector<std::string> top_level() const;
};

struct FrameOptions {
    nstime_t ts = {1000, 0};
    int encap = WTAP_ENCAP_ETHERNET;
    guint32 reported_len = 0;  // 0: the captured length
    bool tree = true;
};

// The harness's side of the host's packet provider: answers the host's
// questions about other frames of the capture.
struct packet_provider_data {
    const class Capture *capture;
};

// One capture: a host session with its frames, numbered from 1.
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    // Reads and dissects the next frame of the capture.
    Dissection add(const Bytes &bytes, const FrameOptions &options = {});
    // Dissects frame `num` again, as a second pass or a redisplay does.
    Dissection again(guint32 num, bool tree = true);
    // Dissects frame `num` again as if read for the first time.
    Dissection afresh(guint32 num, bool tree = true);
    // Frees frame `num`'s bytes: it is not dissected again. Keeps long
    // captures small.
    void release_bytes(guint32 num);

    frame_data &frame(guint32 num);
    guint32 frame_count() const { return static_cast<guint32>(frames_.size()); }

    // Like tshark: the time of the reference frame is taken before that
    // frame is dissected; other frames answer with their current record.
    const nstime_t *frame_time(guint32 num) const;

private:
    struct Frame {
        Bytes bytes;
        wtap_rec rec;
        frame_data fd;
    };
    Dissection run(Frame &frame, bool tree);

    packet_provider_data provider_;
    epan_t *session_;
    std::deque<Frame> frames_;
    frame_data ref_copy_;
    const frame_data *ref_ = nullptr;
    const frame_data *prev_dis_ = nullptr;
    guint32 cum_bytes_ = 0;
    nstime_t elapsed_ = {0, 0};
};

#endif // OVINT_TESTS_HOST_H
