// SPDX-License-Identifier: GPL-2.0-or-later
//
// One capture read through, its frames handed on in order: for the report
// and for a capture followed as it is written.

#ifndef OVINT_LATENCY_READING_READ_CAPTURE_H
#define OVINT_LATENCY_READING_READ_CAPTURE_H

#include "reading/capture_reader.h"

#include "capture_io/output_files.h"
#include "capture_io/program_shell.h"

#include <cinttypes>
#include <functional>
#include <string>

// Reads one capture, numbering its records on from `frame`, and hands each
// to `take(frame, bytes, captured, wire_length, ethernet)` (a record that is
// no packet as no Ethernet frame). False when it could not be opened (after
// saying why); a cut or damaged capture ends the reading with `ending`
// telling where, and a sentence saying that `covered` covers the frames
// before it.
template <typename Take>
inline bool read_capture(const char *name, uint64_t &frame, CaptureEnding &ending, const char *covered, Take take,
                         std::function<bool()> more_may_come = nullptr,
                         std::function<void(uint64_t)> quiet = nullptr)
{
    std::string sentence;
    CaptureReader reader;
    if (more_may_come)
        reader.follow(std::move(more_may_come));
    if (quiet)
        reader.when_quiet(std::move(quiet));
    if (!reader.open(name, sentence)) {
        say("%s", sentence.c_str());
        return false;
    }
    const uint64_t before = frame;
    FrameChunk chunk;
    while (!input_interrupted() && reader.read_chunk(chunk, size_t(1) << 20)) {
        for (const RawFrame &raw : chunk.frames)
            take(before + raw.frame, chunk.frame_bytes(raw), raw.captured, raw.wire, raw.ethernet);
        for (uint64_t other = chunk.frames.size(); other < chunk.records; other++)
            take(before, nullptr, 0, 0, false);
    }
    ending = reader.ending();
    frame = before + ending.frames;
    if (!ending.complete) {
        ending.frame += before;
        say("%s: frame %" PRIu64 ": %s; %s the frames before it.", name, ending.frame, ending.reason.c_str(), covered);
    }
    return true;
}

#endif // OVINT_LATENCY_READING_READ_CAPTURE_H
