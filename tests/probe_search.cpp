// SPDX-License-Identifier: GPL-2.0-or-later

#include "probe_search.h"

#include <epan/exceptions.h>

#include "ovint_private.h"

guint8 record_version = 0;

void read_marker(tvbuff_t *tvb, gint offset)
{
    record_version = 0;
    for (gint i = 0; i < MARKER_LEN; i++) {
        if (ovint_get_uint8(tvb, offset + i) != MARKER_BYTES[i])
            return;
    }
    const guint8 code = ovint_get_uint8(tvb, offset + MARKER_LEN);
    if (code == VERSION_CODE_V1)
        record_version = 1;
    else if (code == VERSION_CODE_V2)
        record_version = 2;
}

gboolean probe_marker(tvbuff_t *tvb, gint offset)
{
    // When all six bytes are captured no read can fail, so the exception
    // frame (a setjmp) is only set up for probes that reach past the data.
    if (offset >= 0 && tvb_bytes_exist(tvb, offset, MARKER_LEN + 1)) {
        read_marker(tvb, offset);
        return record_version != 0;
    }
    TRY {
        read_marker(tvb, offset);
    }
    CATCH_ALL {
        THROW_FORMATTED(ReassemblyError, "Offset-Exception:%d", offset);
    }
    ENDTRY;
    return record_version != 0;
}

static TrailerMatch found(TrailerPlacement placement, guint32 offset)
{
    return {offset, placement, record_version};
}

TrailerMatch probe_by_probe_search(tvbuff_t *tvb)
{
    const guint32 length = tvb_captured_length(tvb);
    record_version = 0;
    if (length < static_cast<guint32>(TRAILER_LEN))
        return found(TrailerPlacement::none, 0);
    if (length == MIN_FRAME_LEN) {
        for (gint marker = FIRST_MARKER_IN_MIN_FRAME; marker >= gint(LAST_MARKER_IN_MIN_FRAME); marker--) {
            if (probe_marker(tvb, marker))
                return found(TrailerPlacement::trailing, static_cast<guint32>(marker - MARKER_OFFSET));
        }
        return found(TrailerPlacement::none, 0);
    }
    if (probe_marker(tvb, 0))
        return found(TrailerPlacement::leading, 0);
    const guint32 offset = length - TRAILER_LEN;
    if (probe_marker(tvb, static_cast<gint>(offset) + MARKER_OFFSET) && offset != 0)
        return found(TrailerPlacement::trailing, offset);
    return found(TrailerPlacement::none, 0);
}

bool operator==(const TrailerMatch &a, const TrailerMatch &b)
{
    return a.placement == b.placement && a.offset == b.offset && a.version == b.version;
}
