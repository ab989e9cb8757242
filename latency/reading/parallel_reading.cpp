// SPDX-License-Identifier: GPL-2.0-or-later

#include "reading/parallel_reading.h"

#include "capture_io/output_files.h"
#include "capture_io/program_shell.h"

#include <signal.h>

#include <algorithm>
#include <system_error>

// Records a block of a capture read whole holds at most.
constexpr size_t BLOCK_RECORDS = 1024;
// What the captures being read keep at most, together, shared among the
// one being matched and those read ahead of their turn: 48 MB of records.
constexpr size_t MOST_BLOCKS_KEPT = (size_t(48) << 20) / (BLOCK_RECORDS * sizeof(FrameRecord));
// Emptied blocks kept to be filled again.
constexpr size_t MOST_SPARE_BLOCKS = 64;
// Captures are read in chunks of about this many bytes, and a single
// capture's stretches are such chunks: whatever the records' size, the
// stretches in flight stay within a few MB.
constexpr size_t STRETCH_BYTES = size_t(1) << 20;

ParallelReading::ParallelReading(const std::vector<const char *> &captures, unsigned threads, KeyMode mode,
                                 bool views)
    : names_(captures), threads_(threads ? threads : 1), mode_(mode), views_(views), captures_(captures.size()),
      blocks_kept_(std::max<size_t>(4, MOST_BLOCKS_KEPT / (threads_ + 1)))
{
    const ThreadSignals signals;  // left to the caller's thread
    try {
        stretched_ = captures.size() == 1;
        if (stretched_) {
            for (unsigned i = 0; i < threads_; i++)
                readers_.emplace_back(&ParallelReading::read_and_key_stretches, this);
        } else {
            for (unsigned i = 0; i < threads_ && i < captures.size(); i++)
                readers_.emplace_back(&ParallelReading::read_captures, this);
        }
    } catch (const std::system_error &) {
        // Fewer threads than asked for: those there are read every capture.
    }
}

ParallelReading::~ParallelReading()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread &reader : readers_)
        reader.join();
}

// A reader's thread: the next capture not yet taken up, while at most
// `threads_` are read beyond the one the caller takes.
void ParallelReading::read_captures()
{
    for (;;) {
        size_t index;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] {
                return stopping_ || next_ >= captures_.size() || next_ <= taken_ + threads_;
            });
            if (stopping_ || next_ >= captures_.size())
                return;
            index = next_++;
        }
        read_capture(index);
    }
}

// Opens a capture for a reading thread, and tells the caller; false when
// it could not be opened.
bool ParallelReading::open_for(Capture &capture, const char *name, CaptureReader &reader)
{
    std::string sentence;
    const bool opened = reader.open(name, sentence);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        capture.open_known = true;
        capture.opened = opened;
        capture.open_error = sentence;
        if (!opened && stretched_)
            read_through_ = true;  // the keying threads end
    }
    changed_.notify_all();
    return opened;
}

void ParallelReading::read_capture(size_t index)
{
    Capture &capture = captures_[index];
    CaptureReader reader;
    if (!open_for(capture, names_[index], reader))
        return;
    FrameChunk chunk;
    std::vector<FrameRecord> block = spare_block();
    bool stopped = false;
    auto hand_over = [&]() {
        {
            // A capture waits once it holds its share of the records all
            // threads may keep, the one being matched too (its reading
            // may outpace the matching).
            std::unique_lock<std::mutex> lock(mutex_);
            capture.blocks.push_back(std::move(block));
            changed_.wait(lock, [&] { return stopping_ || capture.blocks.size() < blocks_kept_; });
            stopped = stopping_;
        }
        changed_.notify_all();
        block = spare_block();
    };
    while (!stopped && !stopping_.load(std::memory_order_relaxed) && !input_interrupted() &&
           reader.read_chunk(chunk, STRETCH_BYTES)) {
        for (const RawFrame &raw : chunk.frames) {
            const FrameRecord read =
                read_frame(mode_, views_, raw.frame, chunk.frame_bytes(raw), raw.captured, raw.wire, raw.ethernet);
            if (read.kind == FrameRecord::no_trailer)
                continue;
            block.push_back(read);
            if (block.size() == BLOCK_RECORDS) {
                hand_over();
                if (stopped)
                    break;
            }
        }
    }
    const CaptureEnding ending = reader.ending();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!block.empty())
            capture.blocks.push_back(std::move(block));
        capture.ending = ending;
        capture.finished = true;
    }
    changed_.notify_all();
}

// A thread of a single capture: it reads the next stretch, one thread at a
// time, keys it while others read theirs, and hands its records on in the
// order the stretches were read; none reads while a few stretches are read
// beyond what the caller has taken.
void ParallelReading::read_and_key_stretches()
{
    const uint64_t most_in_flight = 4 * uint64_t(threads_);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] {
                return stopping_ || read_through_ || stretches_read_ - blocks_taken_ < most_in_flight;
            });
            if (stopping_ || read_through_)
                return;
        }
        Stretch stretch = {0, {}};
        {
            // The bytes of a stretch keyed before: no new pages to fault in.
            std::lock_guard<std::mutex> lock(mutex_);
            if (!spare_chunks_.empty()) {
                stretch.chunk = std::move(spare_chunks_.back());
                spare_chunks_.pop_back();
            }
        }
        {
            std::lock_guard<std::mutex> reading(stretch_reading_);
            if (!stretch_reader_opened_) {
                stretch_reader_opened_ = true;
                if (!open_for(captures_[0], names_[0], stretch_reader_))
                    return;
            }
            bool read = false;
            if (!stopping_.load(std::memory_order_relaxed) && !input_interrupted()) {
                std::lock_guard<std::mutex> lock(mutex_);
                read = !read_through_;
            }
            read = read && stretch_reader_.read_chunk(stretch.chunk, STRETCH_BYTES);
            std::lock_guard<std::mutex> lock(mutex_);
            if (!read) {
                if (!read_through_) {
                    stretched_ending_ = stretch_reader_.ending();
                    read_through_ = true;
                    finish_if_keyed();
                }
                changed_.notify_all();
                return;
            }
            stretch.number = stretches_read_++;
        }
        std::vector<FrameRecord> block = spare_block();
        for (const RawFrame &raw : stretch.chunk.frames) {
            const FrameRecord record = read_frame(mode_, views_, raw.frame, stretch.chunk.frame_bytes(raw),
                                                  raw.captured, raw.wire, raw.ethernet);
            if (record.kind != FrameRecord::no_trailer)
                block.push_back(record);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            keyed_.emplace(stretch.number, std::move(block));
            spare_chunks_.push_back(std::move(stretch.chunk));
            for (auto next = keyed_.find(stretches_moved_); next != keyed_.end(); next = keyed_.find(stretches_moved_)) {
                captures_[0].blocks.push_back(std::move(next->second));
                keyed_.erase(next);
                stretches_moved_++;
            }
            finish_if_keyed();
        }
        changed_.notify_all();
    }
}

void ParallelReading::finish_if_keyed()
{
    if (read_through_ && stretches_moved_ == stretches_read_) {
        captures_[0].ending = stretched_ending_;
        captures_[0].finished = true;
    }
}

bool ParallelReading::open(size_t index, std::string &sentence)
{
    std::unique_lock<std::mutex> lock(mutex_);
    Capture &capture = captures_[index];
    changed_.wait(lock, [&capture] { return capture.open_known; });
    sentence = capture.open_error;
    return capture.opened;
}

bool ParallelReading::next_block(size_t index, std::vector<FrameRecord> &block, CaptureEnding &ending)
{
    std::unique_lock<std::mutex> lock(mutex_);
    // The caller is done with its last block: a reading thread fills it
    // again, rather than the memory going back and forth.
    if (block.capacity() && spare_blocks_.size() < MOST_SPARE_BLOCKS) {
        block.clear();
        spare_blocks_.push_back(std::move(block));
    }
    Capture &capture = captures_[index];
    changed_.wait(lock, [&capture] { return !capture.blocks.empty() || capture.finished; });
    if (capture.blocks.empty()) {
        ending = capture.ending;
        return false;
    }
    block = std::move(capture.blocks.front());
    capture.blocks.pop_front();
    blocks_taken_++;
    lock.unlock();
    changed_.notify_all();  // the reading thread of a single capture may go on
    return true;
}

std::vector<FrameRecord> ParallelReading::spare_block()
{
    std::vector<FrameRecord> block;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!spare_blocks_.empty()) {
            block = std::move(spare_blocks_.back());
            spare_blocks_.pop_back();
            return block;
        }
    }
    block.reserve(BLOCK_RECORDS);
    return block;
}

void ParallelReading::taken(size_t index)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        taken_ = index + 1;
        std::deque<std::vector<FrameRecord>>().swap(captures_[index].blocks);
    }
    changed_.notify_all();
}
