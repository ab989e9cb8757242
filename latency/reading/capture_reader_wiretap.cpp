// SPDX-License-Identifier: GPL-2.0-or-later
//
// The reader's other way: wiretap, for every capture not read straight
// (other formats, compressed files, streams in another form) and for the
// rest of a file that turned odd part way.

#include "reading/capture_reader.h"

#include "capture_io/output_files.h"
#include "capture_io/program_shell.h"
#include "capture_io/wiretap_error.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// Opens a capture for wiretap; null with `sentence` saying why.
wtap *CaptureReader::open_through_wiretap(const char *name, std::string &sentence)
{
    int err = 0;
    gchar *err_info = nullptr;
    wtap *wth = wtap_open_offline(name, WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    if (!wth)
        sentence = std::string(is_standard_stream(name) ? "standard input" : name) + ": " +
                   wiretap_error(err, err_info) + ".";
    return wth;
}

// The file turned odd after `frames_` records: wiretap reads it from the
// start, those records passed over, and goes on from there.
bool CaptureReader::go_on_through_wiretap()
{
    close(fd_);
    fd_ = -1;
    format_ = Format::wiretap;
    pending_.reset();
    pending_start_ = pending_end_ = pending_capacity_ = 0;
    std::string sentence;
    wth_ = open_through_wiretap(name_.c_str(), sentence);
    if (!wth_) {
        wiretap_done_ = true;
        err_ = WTAP_ERR_CANT_OPEN;
        return false;
    }
    record_init(record_);
    gint64 offset;
    for (uint64_t passed = 0; passed < frames_; passed++) {
        if (!read_record(wth_, record_, &err_, &err_info_, &offset)) {
            wiretap_done_ = true;
            if (!err_)
                err_ = WTAP_ERR_SHORT_READ;  // the file was cut meanwhile
            return false;
        }
        wtap_rec_reset(&record_.rec);
    }
    return true;
}

// A stream that is not read here, or turned odd after `frames_` records:
// wiretap reads on from a pipe fed the stream's header, the bytes not yet
// taken and the rest of the stream, by a thread of its own.
bool CaptureReader::go_on_from_stream()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        wiretap_done_ = true;
        err_ = errno;
        return false;
    }
    std::vector<uint8_t> first(preamble_);
    first.insert(first.end(), pending_.get() + pending_start_, pending_.get() + pending_end_);
    pending_.reset();
    pending_start_ = pending_end_ = pending_capacity_ = 0;
    format_ = Format::wiretap;
    const int from = fd_, to = ends[1];
    std::atomic<bool> &stop = stop_feeding_;
    feeder_ = std::thread([first, from, to, &stop] {
        // A reader gone (the capture closed) is an error here, not a signal.
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
        bool going = write_all(to, reinterpret_cast<const char *>(first.data()), first.size());
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[65536]);
        while (going && !stop) {
            pollfd ready = {from, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0)
                continue;
            const ssize_t got = read(from, buffer.get(), 65536);
            if (got < 0 && errno == EINTR)
                continue;
            going = got > 0 && write_all(to, reinterpret_cast<const char *>(buffer.get()), size_t(got));
        }
        close(to);
    });
    const std::string path = "/dev/fd/" + std::to_string(ends[0]);
    int err = 0;
    gchar *err_info = nullptr;
    wth_ = wtap_open_offline(path.c_str(), WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    close(ends[0]);  // wiretap opened its own
    if (!wth_) {
        wiretap_done_ = true;
        err_ = err;
        err_info_ = err_info;
        return false;
    }
    record_init(record_);
    return true;
}

bool CaptureReader::read_through_wiretap(FrameChunk &chunk, size_t most_bytes)
{
    gint64 offset;
    while (!wiretap_done_ && chunk.size < most_bytes) {
        if (!read_record(wth_, record_, &err_, &err_info_, &offset)) {
            wiretap_done_ = true;
            break;
        }
        frames_++;
        chunk.records++;
        const wtap_rec &rec = record_.rec;
        if (rec.rec_type == REC_TYPE_PACKET) {
            const wtap_packet_header &header = rec.rec_header.packet_header;
            chunk.reserve_more(header.caplen);
            if (header.caplen)
                std::memcpy(chunk.bytes.get() + chunk.size, record_bytes(record_), header.caplen);
            chunk.frames.push_back({frames_, chunk.size, header.caplen, header.len,
                                    header.pkt_encap == WTAP_ENCAP_ETHERNET});
            chunk.size += header.caplen;
        }
        wtap_rec_reset(&record_.rec);
    }
    return chunk.records > 0;
}

CaptureEnding CaptureReader::ending()
{
    CaptureEnding ending;
    ending.frames = frames_;
    if (!stop_reason_.empty()) {
        ending.complete = false;
        ending.frame = frames_ + 1;
        ending.reason = stop_reason_;
        return ending;
    }
    if (err_ != 0 && !input_interrupted()) {
        ending.complete = false;
        ending.frame = frames_ + 1;
        ending.reason = read_error(err_, err_info_);
        err_info_ = nullptr;
        err_ = 0;
    }
    return ending;
}
