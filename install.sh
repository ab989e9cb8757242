#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Sets up ovint on Debian: installs the missing packages, builds the
# plug-in against the installed Wireshark, installs it where that
# Wireshark's tshark loads it, and shows tshark using it.
set -euo pipefail
cd "$(dirname "$0")"

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

mapfile -t packages < <(grep -v -e '^#' -e '^$' debian-packages)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "== Installing ${missing[*]}"
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

# tshark run as root loads no plug-in from a personal folder, so root gets
# the plug-in in the host's system folder.
system=OFF
if [ "$(id -u)" = 0 ]; then
    system=ON
    echo "== Running as root: installing into Wireshark's system plug-in folder, because"
    echo "   tshark run as root ignores personal plug-in folders"
fi

echo "== Building ovint"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DOVINT_INSTALL_SYSTEM="$system"
cmake --build build
echo "== Installing ovint"
cmake --install build

echo "== tshark with ovint on examples/tap-trailers.txt"
text2pcap -q -t '%Y-%m-%d %H:%M:%S.%f' examples/tap-trailers.txt build/tap-trailers.pcapng
# Two passes (-2) so that every field shows the times taken from the TAP clock.
tshark -r build/tap-trailers.pcapng -2
tshark -r build/tap-trailers.pcapng -2 -T fields -E header=y -e frame.number -e frame.time_relative \
    -e ovint.channel -e ovint.port -e ovint.rxerror -e ovint.crcerror -e ovint.timestamp
tshark -r build/tap-trailers.pcapng -2 -O ovint -Y 'frame.number == 5'
