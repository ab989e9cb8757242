// SPDX-License-Identifier: GPL-2.0-or-later

#include "host.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    start_host(argv[0]);
    return RUN_ALL_TESTS();
}
