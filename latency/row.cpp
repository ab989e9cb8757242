// SPDX-License-Identifier: GPL-2.0-or-later

#include "row.h"

#include <cstring>

Row &Row::text(const char *value)
{
    return text(value, std::strlen(value));
}

Row &Row::text(const char *value, size_t length)
{
    if (length > CAPACITY - used_)
        length = CAPACITY - used_;
    std::memcpy(line_ + used_, value, length);
    used_ += length;
    return *this;
}
