// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-latency -j N: the captures are read, and their frames read into
// records (trailer, key, traffic view), by N - 1 threads, a capture each,
// while the caller takes the records in capture order and matches them
// alone: every result is the one a single thread gives. At most N - 1
// captures are read beyond the one being taken; a capture's records wait
// in blocks until taken (about 110 bytes a trailer-bearing frame), and each
// capture being read, the one taken among them, waits at its share of 48
// MB of records. A
// single capture is cut into stretches of about 1 MB instead: each thread
// reads one in turn and keys it while the others read, at most four a
// thread in flight.

#ifndef OVINT_LATENCY_READING_PARALLEL_READING_H
#define OVINT_LATENCY_READING_PARALLEL_READING_H

#include "matching/analysis.h"
#include "reading/capture_reader.h"
#include "reading/sightings.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ParallelReading {
public:
    // `threads` reading threads (at least one).
    ParallelReading(const std::vector<const char *> &captures, unsigned threads, KeyMode mode, bool views);
    ~ParallelReading();
    // Whether a thread could be started to read.
    bool started() const { return !readers_.empty(); }

    // Waits until capture `index` is open; false with `sentence` set when it
    // could not be opened.
    bool open(size_t index, std::string &sentence);
    // The capture's next block of trailer-bearing records (frames numbered
    // in their capture); false once they are all taken, `ending` then set.
    bool next_block(size_t index, std::vector<FrameRecord> &block, CaptureEnding &ending);
    // The caller is done with capture `index`: a thread may read another.
    void taken(size_t index);

private:
    struct Capture {
        bool open_known = false, opened = false, finished = false;
        std::string open_error;
        std::deque<std::vector<FrameRecord>> blocks;
        CaptureEnding ending;
    };
    void read_captures();
    bool open_for(Capture &capture, const char *name, CaptureReader &reader);
    void read_capture(size_t index);
    // One capture in stretches: its frames' bytes, read by one thread at a
    // time and keyed by the thread that read them.
    struct Stretch {
        uint64_t number;
        FrameChunk chunk;
    };
    void read_and_key_stretches();
    void finish_if_keyed();  // with the lock held
    bool stretched_ = false;
    std::mutex stretch_reading_;  // taken before mutex_, never after
    CaptureReader stretch_reader_;
    bool stretch_reader_opened_ = false;
    std::vector<FrameChunk> spare_chunks_;
    // Blocks the caller has emptied, to be filled again; taken with the
    // lock, or a new one.
    std::vector<std::vector<FrameRecord>> spare_blocks_;
    std::vector<FrameRecord> spare_block();
    std::map<uint64_t, std::vector<FrameRecord>> keyed_;  // keyed, waiting for their turn
    uint64_t stretches_read_ = 0, stretches_moved_ = 0, blocks_taken_ = 0;
    bool read_through_ = false;
    CaptureEnding stretched_ending_;

    const std::vector<const char *> &names_;
    const unsigned threads_;
    const KeyMode mode_;
    const bool views_;
    std::vector<Capture> captures_;
    const size_t blocks_kept_;  // a capture being read keeps at most
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t next_ = 0;   // the next capture a thread takes up
    size_t taken_ = 0;  // captures the caller is done with
    // Set under the mutex; read without it by the reading loops, on every
    // record, so that a failure anywhere stops them within a record.
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> readers_;
};

#endif // OVINT_LATENCY_READING_PARALLEL_READING_H
