#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Builds ovint with its tests and runs them all, against the Wireshark that
# pkg-config finds (PKG_CONFIG_PATH picks another), in OVINT_BUILD_DIR
# (default build-tests); first installs what building and the tests need.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-packages.sh packages/build-and-run packages/tests
build=${OVINT_BUILD_DIR:-build-tests}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
cmake --build "$build" --parallel "$(nproc)"
cd "$build"
ctest --output-on-failure --parallel "$(nproc)"
