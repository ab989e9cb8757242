// SPDX-License-Identifier: GPL-2.0-or-later

#include "reading/capture_follower.h"

#include "capture_io/output_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

CaptureFollower::CaptureFollower(const std::string &name, unsigned pause_us) : name_(name), pause_us_(pause_us)
{
    const size_t slash = name.rfind('/');
    folder_ = slash == std::string::npos ? "." : name.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    const size_t dot = base.rfind('.');
    prefix_ = (dot == std::string::npos || dot == 0 ? base : base.substr(0, dot)) + "_";
    suffix_ = dot == std::string::npos || dot == 0 ? "" : base.substr(dot);
}

// NAME_NNNNN_YYYYMMDDhhmmss.EXT: the number, at least five digits; and
// when the file was last written.
std::vector<CaptureFollower::RingFile> CaptureFollower::ring_files() const
{
    std::vector<RingFile> files;
    DIR *folder = opendir(folder_.c_str());
    if (!folder)
        return files;
    while (const dirent *entry = readdir(folder)) {
        const std::string file = entry->d_name;
        if (file.size() < prefix_.size() + suffix_.size() + 20 || file.compare(0, prefix_.size(), prefix_) != 0 ||
            file.compare(file.size() - suffix_.size(), suffix_.size(), suffix_) != 0)
            continue;
        const std::string middle = file.substr(prefix_.size(), file.size() - prefix_.size() - suffix_.size());
        const size_t underscore = middle.find('_');
        if (underscore == std::string::npos || underscore < 5 || underscore > 19 || middle.size() - underscore - 1 != 14)
            continue;
        bool digits = true;
        for (size_t i = 0; i < middle.size(); i++)
            digits = digits && (i == underscore || std::isdigit(static_cast<unsigned char>(middle[i])));
        if (!digits)
            continue;
        const std::string path = folder_ == "." && name_.find('/') == std::string::npos ? file : folder_ + file;
        struct stat status;
        if (stat(path.c_str(), &status) != 0)
            continue;  // removed meanwhile
        files.push_back({std::strtoull(middle.substr(0, underscore).c_str(), nullptr, 10),
                         uint64_t(status.st_mtim.tv_sec) * 1000000000 + uint64_t(status.st_mtim.tv_nsec), path});
    }
    closedir(folder);
    return files;
}

// The file to read after the current one: the next of its run (numbers
// rise, each file written after the one before), or, once dumpcap has been
// started again (numbers from 1 anew), the first of the newer run. The
// time in a name is local time, which goes back an hour once a year: the
// files' own times tell the order. Files of an older run left in the
// folder are neither. The first file is the one written first.
bool CaptureFollower::pick_next(const std::vector<RingFile> &files, RingFile &next) const
{
    // Files written at one time (copied, or a coarse clock) in number order.
    auto earlier = [](const RingFile &a, const RingFile &b) {
        return a.written != b.written ? a.written < b.written : a.number < b.number;
    };
    const RingFile *same_run = nullptr, *newer_run = nullptr;
    for (const RingFile &file : files) {
        // Written after the current one was begun, at a number it had
        // reached (the current one itself goes on being written).
        if ((!current_.number || (file.number <= current_.number && file.written > current_.written &&
                                  file.path != current_.path)) &&
            (!newer_run || earlier(file, *newer_run)))
            newer_run = &file;
    }
    for (const RingFile &file : files) {
        // Written after the current one, before a newer run began.
        if (current_.number && file.number > current_.number && file.written >= current_.written &&
            (!newer_run || file.written < newer_run->written) && (!same_run || file.number < same_run->number))
            same_run = &file;
    }
    if (!same_run && !newer_run)
        return false;
    next = same_run ? *same_run : *newer_run;
    return true;
}

void CaptureFollower::pause() const
{
    usleep(pause_us_);
}

bool CaptureFollower::next(std::string &path)
{
    last_look_ = false;
    for (;;) {
        if (input_interrupted())
            return false;
        struct stat status;
        // One file growing: read once, to the end of the input.
        if (!current_.number && stat(name_.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            if (single_taken_)
                return false;
            single_taken_ = true;
            path = name_;
            return true;
        }
        RingFile next;
        if (pick_next(ring_files(), next)) {
            // Files of the run between the last read and this one went
            // unread.
            if (current_.number && next.number > current_.number) {
                for (uint64_t gone = current_.number + 1; gone < next.number; gone++) {
                    char number[24];
                    snprintf(number, sizeof number, "%05llu", static_cast<unsigned long long>(gone));
                    missed_.push_back(folder_ + prefix_ + number + "_*" + suffix_);
                }
            }
            current_ = next;
            // Listed, now gone: removed by the ring before it was read.
            if (access(next.path.c_str(), R_OK) != 0) {
                missed_.push_back(next.path);
                continue;
            }
            path = next.path;
            return true;
        }
        pause();
    }
}

bool CaptureFollower::more_may_come()
{
    if (input_interrupted())
        return false;
    if (current_.number) {
        // A newer file of the ring: dumpcap has closed this one. What it
        // wrote before it closed it is read once more, then it ends.
        RingFile next;
        if (pick_next(ring_files(), next)) {
            if (last_look_)
                return false;
            last_look_ = true;
            return true;
        }
    }
    pause();
    return !input_interrupted();
}
