// SPDX-License-Identifier: GPL-2.0-or-later
//
// The read-change-write loop: every record of the input, read through
// wiretap, changed by change_frame, written to the pcapng output, counted.

#ifndef OVINT_EXPORT_EXPORT_LOOP_H
#define OVINT_EXPORT_EXPORT_LOOP_H

#include "capture_io/wiretap_compat.h"
#include "core/trailer/ports.h"

#include "record_change.h"
#include "summary.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// How the loop ended.
struct LoopResult {
    enum Kind {
        complete,     // every record written
        interrupted,  // SIGINT ended the standard input: what was read is written
        damaged,      // the input ended in a cut or damaged record, or one that cannot be written as it is
        write_failed, // the output could not be written
        not_opened,   // the output could not be opened (said already)
    } kind = complete;
    uint64_t frame = 0;   // the frame it ended at, for damaged
    std::string reason;   // why, for damaged and write_failed
};

class ExportLoop {
public:
    // Opens the output for the input as read so far (nullptr: it could
    // not, and said why).
    using OutputOpener = std::function<wtap_dumper *()>;
    // The output is opened once the first record is read, or the input has
    // ended: a pcapng file may hold records of other kinds before its first
    // interface, and an ERF file makes its interfaces as its records come,
    // while the host's writer needs an input's first interface to begin
    // without one of its own. `live`: the input is a stream (standard
    // input): each frame is passed on as it arrives rather than when the
    // output's buffer fills.
    ExportLoop(const ChangeOptions &options, wtap *wth, OutputOpener open_output, Summary &summary, bool progress,
               bool live);
    ~ExportLoop();
    ExportLoop(const ExportLoop &) = delete;
    ExportLoop &operator=(const ExportLoop &) = delete;

    LoopResult run();
    // The output, once opened (nullptr: never); the caller closes it.
    wtap_dumper *dumper() const { return wdh_; }

private:
    bool export_packet(ReadRecord &record, uint64_t frame, LoopResult &result);
    bool interface_for_link(uint16_t channel, guint32 *output);
    bool interface_for_input(guint32 input, guint32 *output);
    bool interface_for_port(uint8_t version, uint8_t port, guint32 *output);
    bool add_interface(wtap_block_t idb, guint32 *output);
    void note_new_input_interfaces();
    guint32 input_interface(const wtap_rec &rec) const;
    void show_progress(uint64_t frame, bool last);

    const ChangeOptions options_;
    wtap *wth_;
    OutputOpener open_output_;
    wtap_dumper *wdh_ = nullptr;
    Summary &summary_;
    TimeBase time_base_;
    std::vector<wtap_block_t> input_idbs_;
    // Where each section's interfaces begin among input_idbs_, by section
    // number, where the host does not say.
    std::vector<size_t> section_first_idb_;
    std::map<guint32, guint32> input_interfaces_;
    // What a version's port byte maps to, found once: most frames carry one.
    struct PortSlot {
        bool known = false;
        guint32 interface_id = 0;
        PortCount *count = nullptr;
    };
    PortTable<PortSlot> port_slots_;
    // With an interface per link: each channel's, once made (0: none yet).
    guint32 link_interfaces_[3] = {};
    guint32 next_interface_ = 0;
    int64_t file_size_ = 0;
    bool progress_;
    bool live_;
    int write_err_ = 0;
    gchar *write_err_info_ = nullptr;
};

#endif // OVINT_EXPORT_EXPORT_LOOP_H
