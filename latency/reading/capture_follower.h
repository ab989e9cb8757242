// SPDX-License-Identifier: GPL-2.0-or-later
//
// --follow: the captures of a capture host still writing them, read as
// they are written. Either one file that grows, or a ring of files dumpcap
// writes (`dumpcap -w NAME.EXT -b files:N …` writes NAME_00001_<date and
// time>.EXT, NAME_00002_…, removing the oldest): taken in dumpcap's order
// as they appear, each read to its end once a newer one exists, the newest
// waited on at its end, none read twice. A file the ring removed before it
// was read is named and counted.

#ifndef OVINT_LATENCY_READING_CAPTURE_FOLLOWER_H
#define OVINT_LATENCY_READING_CAPTURE_FOLLOWER_H

#include <cstdint>
#include <string>
#include <vector>

class CaptureFollower {
public:
    // `name`: the file, or the name dumpcap was given for its ring.
    // `pause_us`: how long to wait before looking again.
    explicit CaptureFollower(const std::string &name, unsigned pause_us = 50000);
    // The next capture to read, once there is one; false once the input is
    // to end (a signal).
    bool next(std::string &path);
    // At the end of the capture being read: whether more may come (after a
    // pause); false once a newer file of the ring exists, or on a signal.
    bool more_may_come();
    // The ring's files removed before they were read.
    const std::vector<std::string> &missed() const { return missed_; }

private:
    struct RingFile {
        uint64_t number = 0;   // 0: none
        uint64_t written = 0;  // last written, ns since 1970
        std::string path;
    };
    // The ring's files now in its folder.
    std::vector<RingFile> ring_files() const;
    bool pick_next(const std::vector<RingFile> &files, RingFile &next) const;
    void pause() const;

    std::string name_, folder_, prefix_, suffix_;
    unsigned pause_us_;
    bool single_taken_ = false;
    bool last_look_ = false;  // a newer file exists: this one is read to its end once more
    RingFile current_;        // the ring file being read
    std::vector<std::string> missed_;
};

#endif // OVINT_LATENCY_READING_CAPTURE_FOLLOWER_H
