#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Remakes the README's pictures from Wireshark 4.6's own window (Debian
# testing's wireshark package, in the chroot tools/test-host.sh keeps):
#   wireshark-trailer.png   the example capture, frame 5's trailer expanded
#   statistics-menu.png     Statistics with the BRAXEL TAP VESTRIL submenu open
#   port-statistics.png     Ports and errors of the example capture
#   profile-packet-list.png the router's capture under the BRAXEL TAP profile:
#                           its columns and colouring, a frame's trailer open
#   latency-statistics.png  Latency of the README's router capture (device.pcap),
#                           the figures the README's tshark shows
#   latency-io-graph.png    I/O Graphs: the profile's maximum and mean latency
#                           per ms
# Wireshark runs under Xvfb, is driven with xdotool and photographed with
# ImageMagick's import, as the user nobody (root ignores private plug-in
# folders). The clicks are placed for 4.6's window at 1280x860.
#
# Usage: tools/screenshots.sh          (as root: makes or reuses the chroot)
#        tools/screenshots.sh --here   (inside it, or where Wireshark 4.6 runs)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
images=$repo/docs/images

if [ "${1:-}" != --here ]; then
    chroots=${OVINT_CHROOTS:-/var/tmp/ovint-hosts}
    OVINT_CHROOT_PACKAGES="wireshark xvfb xdotool imagemagick xauth fonts-dejavu-core" \
        OVINT_CHROOT_RUN="cd /build/ovint && tools/screenshots.sh --here" "$repo/tools/test-host.sh" 4.6
    cp "$chroots/forky/build/ovint/docs/images/"*.png "$images/"
    echo "copied the pictures into $images"
    exit 0
fi

display=:57
for tool in wireshark Xvfb xdotool import; do
    command -v "$tool" >/dev/null ||
        { echo "screenshots.sh needs $tool (Debian: wireshark xvfb xdotool imagemagick)" >&2; exit 1; }
done
build=$repo/build-shots
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target ovint write_captures >/dev/null
series=$(pkg-config --modversion wireshark | cut -d. -f1,2)

work=$(mktemp -d /tmp/ovint-shots-XXXXXX)
Xvfb "$display" -screen 0 1280x860x24 -nolisten tcp >/dev/null 2>&1 &
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 50); do [ -S "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.2; done
mkdir -p "$work/plugins/$series/epan" "$work/home"
cp "$build/ovint.so" "$work/plugins/$series/epan/"
text2pcap -q -t '%Y-%m-%d %H:%M:%S.%f' "$repo/examples/tap-trailers.txt" "$work/tap-trailers.pcapng"
# A router between the links: 20,000 packets over about a second.
"$build/tests/write_captures" --device router "$work/router.pcap" "$work/router.expected" 20000 50000
# The README's own router capture, as its example writes it.
"$build/tests/write_captures" --device router "$work/device.pcap" "$work/device.expected" >/dev/null
# The build's BRAXEL TAP profile, as a personal one: the router's pictures
# show its columns, colouring and I/O graphs.
mkdir -p "$work/home/profiles"
cp -R "$build/profile/BRAXEL TAP" "$work/home/profiles/"
chmod -R a+rwX "$work"

# Wireshark with ovint on a capture, as an unprivileged user when root;
# its main window at 1280x860 once it shows.
main=
open_capture() {
    local env=(env -u XDG_CONFIG_HOME -u XDG_RUNTIME_DIR DISPLAY="$display" HOME="$work/home"
               WIRESHARK_CONFIG_DIR="$work/home" WIRESHARK_PLUGIN_DIR="$work/plugins"
               QT_QPA_PLATFORMTHEME=)
    if [ "$(id -u)" = 0 ]; then
        setpriv --reuid=65534 --regid=65534 --clear-groups "${env[@]}" wireshark "$@" >>"$work/wireshark.log" 2>&1 &
    else
        "${env[@]}" wireshark "$@" >>"$work/wireshark.log" 2>&1 &
    fi
    main=$(window "$(basename "${*: -1}" | sed 's/\..*//')")
    x windowmove "$main" 0 0 windowsize "$main" 1280 860
    sleep 4
}
close_capture() {
    pkill -x wireshark || true
    sleep 2
}

# The id of the first visible window whose name matches, once there is one.
window() {
    local id
    for _ in $(seq 60); do
        id=$(DISPLAY=$display xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true)
        [ -n "$id" ] && { echo "$id"; return; }
        sleep 1
    done
    echo "no window named $1 appeared" >&2
    exit 1
}

x() { DISPLAY=$display xdotool "$@"; }
shot() { DISPLAY=$display import -window "$1" "$images/$2"; }

# Statistics, then its BRAXEL TAP VESTRIL submenu (4.6's menu at 1280x860).
open_submenu() {
    x mousemove --window "$main" 307 8 click 1
    sleep 1
    x mousemove 367 649
    sleep 2
}

# The submenu's item at X Y clicked: its window, named NAME, at WIDTH by
# HEIGHT, photographed into PICTURE.
statistics_window() {  # X Y NAME WIDTH HEIGHT PICTURE
    x mousemove "$1" "$2" click 1
    local stats
    stats=$(window "$3")
    x windowmove "$stats" 0 0 windowsize "$stats" "$4" "$5"
    sleep 4
    shot "$stats" "$6"
}

mkdir -p "$images"

# Frame 5: a version-2 trailer behind a UDP datagram, seen on port Con D.
open_capture -g 5 "$work/tap-trailers.pcapng"
# The details pane lists the frame's protocols, the trailer last: select it
# and open its subtree.
x mousemove --window "$main" 400 500 click 1
sleep 1
x key End Right
sleep 2
shot "$main" wireshark-trailer.png

# The submenu open, then its Ports and errors.
open_submenu
shot root statistics-menu.png
statistics_window 720 671 'Ports and errors' 900 760 port-statistics.png
close_capture

# The router's capture under the BRAXEL TAP profile: its packet list about
# frame 126 (a latency on Con B, a CRC error and a frame not seen on the
# other link in view), the columns at the profile's own widths, as a user
# first sees them, and the frame's trailer open; the profile's I/O graphs
# at 1 ms.
open_capture -C "BRAXEL TAP" -g 126 "$work/router.pcap"
x mousemove --window "$main" 400 500 click 1
sleep 1
x key End Right
sleep 2
shot "$main" profile-packet-list.png
x mousemove --window "$main" 307 8 click 1
sleep 1
x mousemove 336 161 click 1
graphs=$(window 'I/O Graphs')
x windowmove "$graphs" 0 0 windowsize "$graphs" 1100 800
sleep 3
# The interval box: from 1 s, nine steps down to 1 ms.
x mousemove --window "$graphs" 760 747 click 1
sleep 1
for _ in $(seq 9); do x key Up; done
x key Return
sleep 4
shot "$graphs" latency-io-graph.png
# Close: Wireshark writes the graphs back into the profile when they changed.
x mousemove --window "$graphs" 955 776 click 1
sleep 3
close_capture
# The README's capture: its Latency statistics, the figures its tshark shows.
open_capture -C "BRAXEL TAP" "$work/device.pcap"
open_submenu
statistics_window 696 649 'Latency' 1000 780 latency-statistics.png
close_capture
cmp -s "$build/profile/BRAXEL TAP/io_graphs" "$work/home/profiles/BRAXEL TAP/io_graphs" ||
    { echo "Wireshark rewrote the profile's io_graphs:"; cat "$work/home/profiles/BRAXEL TAP/io_graphs"; }
if [ -s "$work/wireshark.log" ]; then
    echo "Wireshark said:"
    cat "$work/wireshark.log"
fi
echo "wrote the pictures in $images"
