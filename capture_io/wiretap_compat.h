// SPDX-License-Identifier: GPL-2.0-or-later
//
// What differs between the host releases' wiretap libraries (4.0 to 4.6),
// as named shims for the programs that read and write captures. The rest
// of a program never tests a host version.

#ifndef OVINT_CAPTURE_IO_WIRETAP_COMPAT_H
#define OVINT_CAPTURE_IO_WIRETAP_COMPAT_H

#include <glib.h>
#include <wiretap/wtap.h>
#include <wsutil/buffer.h>
#include <wsutil/wslog.h>
#include <ws_version.h>

#define CAPTURE_IO_HOST_AT_LEAST(major, minor) \
    (WIRESHARK_VERSION_MAJOR > (major) || (WIRESHARK_VERSION_MAJOR == (major) && WIRESHARK_VERSION_MINOR >= (minor)))

// 4.6: the log routine no longer takes the program's name.
inline void start_log(const char *program)
{
#if CAPTURE_IO_HOST_AT_LEAST(4, 6)
    (void)program;
    ws_log_init(NULL);
#else
    ws_log_init(program, NULL);
#endif
}

// pcapng numbers a file's interfaces anew in each section. From 4.4 the
// host gives an interface's number over the whole file, in the order
// wtap_get_next_interface_description hands them out; before, the caller
// works it out.
#if CAPTURE_IO_HOST_AT_LEAST(4, 4)
#define CAPTURE_IO_HOST_NUMBERS_INTERFACES 1
inline guint32 host_file_interface_id(wtap *wth, unsigned section, guint32 interface_id)
{
    return wtap_file_get_shb_global_interface_id(wth, section, interface_id);
}
#else
#define CAPTURE_IO_HOST_NUMBERS_INTERFACES 0
#endif

// A record and the bytes it was read with. 4.6 keeps the bytes in the
// record itself; before, they are read into a buffer of their own.
struct ReadRecord {
    wtap_rec rec;
    Buffer buf;
};

inline void record_init(ReadRecord &record)
{
#if CAPTURE_IO_HOST_AT_LEAST(4, 6)
    wtap_rec_init(&record.rec, 1514);
#else
    wtap_rec_init(&record.rec);
#endif
    ws_buffer_init(&record.buf, 1514);
}

inline void record_cleanup(ReadRecord &record)
{
    wtap_rec_cleanup(&record.rec);
    ws_buffer_free(&record.buf);
}

inline bool read_record(wtap *wth, ReadRecord &record, int *err, gchar **err_info, gint64 *offset)
{
#if CAPTURE_IO_HOST_AT_LEAST(4, 6)
    return wtap_read(wth, &record.rec, err, err_info, offset);
#else
    return wtap_read(wth, &record.rec, &record.buf, err, err_info, offset);
#endif
}

inline guint8 *record_bytes(ReadRecord &record)
{
#if CAPTURE_IO_HOST_AT_LEAST(4, 6)
    return ws_buffer_start_ptr(&record.rec.data);
#else
    return ws_buffer_start_ptr(&record.buf);
#endif
}

// Writes the record, its first `skip` bytes left out.
inline bool write_record(wtap_dumper *wdh, ReadRecord &record, guint32 skip, int *err, gchar **err_info)
{
#if CAPTURE_IO_HOST_AT_LEAST(4, 6)
    if (skip)
        ws_buffer_remove_start(&record.rec.data, skip);
    return wtap_dump(wdh, &record.rec, err, err_info);
#else
    return wtap_dump(wdh, &record.rec, record_bytes(record) + skip, err, err_info);
#endif
}

inline bool close_dump(wtap_dumper *wdh, int *err, gchar **err_info)
{
    return wtap_dump_close(wdh, NULL, err, err_info);
}

#endif // OVINT_CAPTURE_IO_WIRETAP_COMPAT_H
