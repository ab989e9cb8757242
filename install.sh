#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Sets up ovint on Debian: installs the missing packages, builds the
# plug-in against the installed Wireshark, installs it where that
# Wireshark's tshark loads it, and shows tshark using it on a capture.
#
# Usage: ./install.sh [CAPTURE]
#   CAPTURE  a capture taken through the TAP (default: the example capture)
set -euo pipefail

# One sentence on standard error, and out.
fail() {
    echo "install.sh: $*" >&2
    exit 1
}

capture=${1:-}
if [ -n "$capture" ]; then
    [ -e "$capture" ] || fail "$capture: no such file."
    [ -f "$capture" ] && [ -r "$capture" ] || fail "$capture: not a file you can read."
    capture=$(realpath "$capture")
fi
cd "$(dirname "$0")"

check_capture() {
    [ -z "$capture" ] || capinfos "$capture" >/dev/null 2>&1 ||
        fail "$capture is not a capture file that Wireshark can read."
}

# The Wireshark to build for: the one whose development files pkg-config finds.
check_wireshark() {
    version=$(pkg-config --modversion wireshark 2>/dev/null) ||
        fail "no Wireshark development files found (pkg-config module \"wireshark\"): install libwireshark-dev."
    local major=${version%%.*} minor
    minor=$(echo "$version" | cut -d. -f2)
    if [ "$major" -lt 3 ] || { [ "$major" -eq 3 ] && [ "$minor" -lt 2 ]; }; then
        fail "Wireshark $version is too old for ovint, which needs 3.2 or later."
    fi
}

# What can be told before installing anything is told first.
if command -v capinfos >/dev/null; then check_capture; fi
if command -v pkg-config >/dev/null && pkg-config --exists wireshark; then check_wireshark; fi

tools/install-packages.sh packages/build-and-run

check_capture
check_wireshark

# tshark run as root loads no plug-in from a personal folder, so root gets
# the plug-in in the host's system folder.
system=OFF
if [ "$(id -u)" = 0 ]; then
    system=ON
    echo "== Running as root: installing into Wireshark's system plug-in folder, because"
    echo "   tshark run as root ignores personal plug-in folders"
fi

# One copy only: with the plug-in in both the system folder and a personal
# one, Wireshark warns at every start and loads just one of them.
if [ "$system" = OFF ]; then
    installed=$(pkg-config --variable=plugindir wireshark)/epan/ovint.so
    [ ! -e "$installed" ] ||
        fail "ovint is installed for every user already ($installed, from its package or an install as root); remove that copy first (sudo apt remove ovint), or install as root."
fi
if [ "$system" = ON ] && [ -n "${SUDO_USER:-}" ]; then
    home=$(getent passwd "$SUDO_USER" | cut -d: -f6 || true)
    personal=$home/.local/lib/wireshark/plugins/$(echo "$version" | cut -d. -f1,2)/epan/ovint.so
    [ -z "$home" ] || [ ! -e "$personal" ] ||
        echo "== $SUDO_USER has a personal copy too ($personal): remove it, or Wireshark warns of two copies at every start"
fi
# A build folder left by an install as root cannot be built into by a user.
if [ -e build ] && { [ ! -w build ] || { [ -e build/CMakeCache.txt ] && [ ! -w build/CMakeCache.txt ]; }; }; then
    fail "build/ belongs to $(stat -c %U build) (an earlier install as that user): remove it (sudo rm -r build), then run again."
fi

echo "== Building ovint for Wireshark $version"
mkdir -p build
{
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DOVINT_INSTALL_SYSTEM="$system" &&
        cmake --build build
} >build/install.log 2>&1 || fail "building ovint for Wireshark $version failed: see build/install.log."
echo "== Installing ovint"
cmake --install build | grep -v '^-- Up-to-date' || true

if [ -z "$capture" ]; then
    text2pcap -q -t '%Y-%m-%d %H:%M:%S.%f' examples/tap-trailers.txt build/tap-trailers.pcapng
    capture=build/tap-trailers.pcapng
    echo "== tshark with ovint on examples/tap-trailers.txt"
else
    echo "== tshark with ovint on $capture"
fi

# Long captures: the listings show their first frames.
limit=50
# Two passes (-2) so that every field shows the times taken from the TAP clock.
tshark -r "$capture" -2 -c "$limit"
tshark -r "$capture" -2 -c "$limit" -T fields -E header=y -e frame.number -e frame.time_relative \
    -e ovint.channel -e ovint.port -e ovint.rxerror -e ovint.crcerror -e ovint.timestamp
first=$(tshark -r "$capture" -Y ovint -T fields -e frame.number 2>/dev/null | head -n 1 || true)
if [ -z "$first" ]; then
    echo "== No frame in $capture carries a TAP trailer"
    exit 0
fi
echo "== The first frame with a TAP trailer, $first"
tshark -r "$capture" -2 -O ovint -Y "frame.number == $first"
tshark -r "$capture" -q -z ovint,tree
