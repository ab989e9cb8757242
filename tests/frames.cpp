// SPDX-License-Identifier: GPL-2.0-or-later

#include "frames.h"

#include <stdexcept>

static void put_le(Bytes &bytes, size_t offset, guint64 value, size_t size)
{
    for (size_t i = 0; i < size; i++)
        bytes.at(offset + i) = static_cast<guint8>(value >> (8 * i));
}

Bytes marker(guint8 code)
{
    return {0xC8, 0x3E, 0xA7, 0x00, 0x01, code};
}

Bytes trailer(const Record &record)
{
    Bytes bytes(20, 0);
    put_le(bytes, 0, record.fcs, 4);
    bytes = patched(bytes, 4, marker(record.code));
    bytes[10] = record.port;
    bytes[11] = record.flags;
    put_le(bytes, 12, record.ts, 8);
    return bytes;
}

Bytes leading_record(const Record &record)
{
    Bytes bytes = patched(trailer(record), 0, marker(record.code));
    for (size_t i = 6; i < 10; i++)
        bytes[i] = 0;
    return bytes;
}

Bytes ethernet_frame(size_t length)
{
    if (length < 14)
        throw std::invalid_argument("an Ethernet frame has at least 14 bytes");
    Bytes bytes = {
        0x02, 0x00, 0x00, 0x00, 0x00, 0x01,  // destination
        0x02, 0x00, 0x00, 0x00, 0x00, 0x02,  // source
        0x88, 0xB5,                          // local experimental EtherType
    };
    for (size_t i = bytes.size(); i < length; i++)
        bytes.push_back(static_cast<guint8>(i));
    return bytes;
}

Bytes frame_with_marker_at(size_t length, size_t marker_offset, const Record &record)
{
    Bytes bytes = patched(ethernet_frame(length), marker_offset - 4, trailer(record));
    bytes.resize(length);
    return bytes;
}

Bytes crowded_min_frame(size_t first_marker, guint8 code, guint8 last_code)
{
    Bytes bytes(60, 0xC8);
    size_t marker = first_marker;
    for (; marker + 12 <= 50; marker += 6)
        bytes = patched(bytes, marker, ::marker(code));
    return patched(bytes, marker, ::marker(last_code));
}

Bytes named_dissector_frame(const std::string &dissector, const Bytes &payload)
{
    const guint16 dissector_name_tag = 12;
    Bytes bytes = {0, static_cast<guint8>(dissector_name_tag), 0, static_cast<guint8>(dissector.size())};
    bytes.insert(bytes.end(), dissector.begin(), dissector.end());
    bytes = bytes + Bytes{0, 0, 0, 0};  // end of tags
    return bytes + payload;
}

Bytes operator+(Bytes head, const Bytes &tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes patched(Bytes bytes, size_t offset, const Bytes &patch)
{
    if (offset + patch.size() > bytes.size())
        bytes.resize(offset + patch.size(), 0);
    for (size_t i = 0; i < patch.size(); i++)
        bytes[offset + i] = patch[i];
    return bytes;
}
