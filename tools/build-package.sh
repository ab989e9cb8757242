#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Builds ovint's Debian package for the Wireshark that pkg-config finds,
# first installing what building and packaging need, into build-deb (or
# OVINT_BUILD_DIR), and names the package made on standard output.
#
# Usage: tools/build-package.sh [CMAKE-OPTION...]
#   e.g. -DOVINT_PACKAGE_MAINTAINER="Name <address>"
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${OVINT_BUILD_DIR:-$repo/build-deb}
"$repo/tools/install-packages.sh" "$repo/packages/build-and-run" "$repo/packages/package" >&2
rm -f "$build"/ovint_*.deb
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DOVINT_DEBIAN_PACKAGE=ON "$@" >/dev/null
cmake --build "$build" --target package >/dev/null 2>&1 ||
    { echo "build-package.sh: the package did not build: run cmake --build $build --target package" >&2; exit 1; }
ls "$build"/ovint_*.deb
