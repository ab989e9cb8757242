// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-latency's reading of sightings files, on any bytes: refused with a
// sentence or read to its end, never beyond what the file holds, and what
// it takes matched and figured as --from-sightings does, under each
// latency definition and with line rates (where a record's port indexes).
// A first byte of 0 takes the input as the file; one with its high bit
// set, as a capture's records; else the input is the file between its
// header and its checksum, which are added, so that the reading gets past
// them to the structure behind. Its low bits choose the definition.

#include "reading/sightings.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t RECORD_BYTES = 107;  // format 3's

void append_sum(std::vector<uint8_t> &file)
{
    file.push_back('Z');
    const uint64_t sum = XXH64(file.data(), file.size(), 0);
    for (int i = 0; i < 8; i++)
        file.push_back(static_cast<uint8_t>(sum >> (8 * i)));
}

void append_u64(std::vector<uint8_t> &file, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        file.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // "OVINTSGT", format 3, the ip key.
    static const uint8_t header[16] = {'O', 'V', 'I', 'N', 'T', 'S', 'G', 'T', 3, 0, 0, 0, 2, 0, 0, 0};
    std::vector<uint8_t> file;
    if (data[0] == 0) {
        file.assign(data + 1, data + size);
    } else if (data[0] & 0x80) {
        // One capture whose records are the input's, numbered 1, 2, ...:
        // the port and every field the reader does not bound as the input
        // has them, straight to the analysis.
        file.assign(header, header + sizeof header);
        file.insert(file.end(), {'C', 1, 0, 0, 0, 'x'});
        uint64_t frame = 0;
        for (size_t at = 1; at + RECORD_BYTES <= size; at += RECORD_BYTES) {
            file.push_back('F');
            append_u64(file, ++frame, 8);
            file.insert(file.end(), data + at + 8, data + at + RECORD_BYTES);
            // Keys from four, so that sightings pair; the fields the
            // reader checks folded into their ranges, but for the port.
            uint8_t *record = &file[file.size() - RECORD_BYTES];
            record[16] &= 3;
            std::fill(record + 17, record + 32, 0);
            record[34] = record[35] = 0;
            record[33] &= 0x3F;  // lengths up to 16 kB
            const bool merged = (record[32] | record[33] << 8) > 9216;
            record[36] = merged ? FrameRecord::merged : FrameRecord::keyed + record[36] % 2;
            record[38] = 1 + record[38] % 2;
            record[40] = "\0\4\6"[record[40] % 3];
            record[43] &= 1;
            record[82] %= static_cast<uint8_t>(FrameScope::link_local) + 1;
            record[92] %= static_cast<uint8_t>(FragmentKind::later) + 1;
        }
        file.push_back('E');
        append_u64(file, frame, 8);
        append_u64(file, 1, 1);
        append_u64(file, 0, 8);  // the frame it ended at: none
        append_u64(file, 0, 4);  // no reason
        append_sum(file);
    } else {
        file.assign(header, header + sizeof header);
        file.insert(file.end(), data + 1, data + size);
        append_sum(file);
    }
    char path[] = "/tmp/ovint-sightings-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        abort();
    if (write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size()))
        abort();
    close(fd);
    SightingsReader reader;
    std::string sentence;
    if (reader.open(path, sentence)) {
        Analysis analysis(reader.key_mode(), 100000000, Cabling::learn, nullptr);
        analysis.line_rates(10000000000, 1000000000);
        analysis.define_latency(static_cast<LatencyDefinition>(data[0] & 3));
        analysis.group_by(GroupBy::dscp, 8);
        std::string name;
        uint64_t before = 0;
        while (reader.next_capture(name)) {
            FrameRecord record;
            CaptureEnding ending;
            uint64_t last = 0, with_trailer = 0;
            while (reader.next_record(record, ending)) {
                if (record.frame <= last)
                    abort();  // frames come in order, as the check made sure
                last = record.frame;
                record.frame += before;
                analysis.add_record(record);
                with_trailer++;
            }
            if (ending.frames < with_trailer || before + ending.frames < before)
                abort();  // counts that the check let wrap
            analysis.count_frames_without_trailer(ending.frames - with_trailer);
            before += ending.frames;
        }
        analysis.finish();
    } else if (sentence.empty()) {
        abort();  // refused without saying why
    }
    unlink(path);
    return 0;
}
