#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Builds ovint with its tests and runs them all.
set -euo pipefail
cd "$(dirname "$0")"
cmake -S . -B build-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
cmake --build build-tests --parallel "$(nproc)"
cd build-tests
ctest --output-on-failure --parallel "$(nproc)"
