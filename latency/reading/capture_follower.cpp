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

// NAME_NNNNN_YYYYMMDDhhmmss.EXT: the number, at least five digits.
std::map<uint64_t, std::string> CaptureFollower::ring_files() const
{
    std::map<uint64_t, std::string> files;
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
        if (underscore == std::string::npos || underscore < 5 || middle.size() - underscore - 1 != 14)
            continue;
        bool digits = true;
        for (size_t i = 0; i < middle.size(); i++)
            digits = digits && (i == underscore || std::isdigit(static_cast<unsigned char>(middle[i])));
        if (!digits)
            continue;
        const std::string path = folder_ == "." && name_.find('/') == std::string::npos ? file : folder_ + file;
        files[std::strtoull(middle.substr(0, underscore).c_str(), nullptr, 10)] = path;
    }
    closedir(folder);
    return files;
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
        if (current_ == 0 && stat(name_.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            if (single_taken_)
                return false;
            single_taken_ = true;
            path = name_;
            return true;
        }
        for (const auto &file : ring_files())
            if (file.first > current_)
                seen_[file.first] = file.second;
        if (!seen_.empty()) {
            const auto first = seen_.begin();
            // Files between the last read and this one went unread.
            if (current_ != 0) {
                for (uint64_t gone = current_ + 1; gone < first->first; gone++) {
                    char number[24];
                    snprintf(number, sizeof number, "%05llu", static_cast<unsigned long long>(gone));
                    missed_.push_back(folder_ + prefix_ + number + "_*" + suffix_);
                }
            }
            // Listed once, now gone: removed by the ring before it was read.
            if (access(first->second.c_str(), R_OK) != 0) {
                missed_.push_back(first->second);
                current_ = first->first;
                seen_.erase(first);
                continue;
            }
            current_ = first->first;
            path = first->second;
            seen_.erase(first);
            return true;
        }
        pause();
    }
}

bool CaptureFollower::more_may_come()
{
    if (input_interrupted())
        return false;
    if (current_ != 0) {
        // A newer file of the ring: dumpcap has closed this one. What it
        // wrote before it closed it is read once more, then it ends.
        const auto files = ring_files();
        if (files.upper_bound(current_) != files.end()) {
            if (last_look_)
                return false;
            last_look_ = true;
            return true;
        }
    }
    pause();
    return !input_interrupted();
}
