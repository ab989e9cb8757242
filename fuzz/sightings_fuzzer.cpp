// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-latency's reading of sightings files, on any bytes: refused with a
// sentence or read to its end, never beyond what the file holds. The input
// is the file up to its checksum, which is added, so that the reading gets
// past the checksum to the structure behind it; a first byte of 0 leaves
// the input as it is.

#include "reading/sightings.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    std::vector<uint8_t> file(data + 1, data + size);
    if (data[0] != 0) {
        // "OVINTSGT", format 1, the ip key, then the input as the body.
        static const uint8_t header[16] = {'O', 'V', 'I', 'N', 'T', 'S', 'G', 'T', 1, 0, 0, 0, 2, 0, 0, 0};
        file.insert(file.begin(), header, header + sizeof header);
        file.push_back('Z');
        uint64_t sum = XXH64(file.data(), file.size(), 0);
        for (int i = 0; i < 8; i++)
            file.push_back(static_cast<uint8_t>(sum >> (8 * i)));
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
        std::string name;
        while (reader.next_capture(name)) {
            FrameRecord record;
            CaptureEnding ending;
            uint64_t last = 0;
            while (reader.next_record(record, ending)) {
                if (record.frame <= last)
                    abort();  // frames come in order, as the check made sure
                last = record.frame;
            }
        }
    } else if (sentence.empty()) {
        abort();  // refused without saying why
    }
    unlink(path);
    return 0;
}
