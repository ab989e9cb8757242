#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Remakes the README's pictures from Wireshark's own window: the example
# capture with a trailer-bearing frame selected and its "BRAXEL TAP VESTRIL
# trailer" subtree expanded, and the port statistics. Runs Debian's
# wireshark-qt under Xvfb, drives it with xdotool and captures it with
# ImageMagick's import. Wireshark run as root ignores private plug-in
# folders, so as root it runs as the user nobody.
#
# Usage: tools/screenshots.sh   (needs wireshark-qt xvfb xdotool imagemagick)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
images=$repo/docs/images
display=:57

for tool in wireshark Xvfb xdotool import; do
    command -v "$tool" >/dev/null ||
        { echo "screenshots.sh needs $tool (Debian: wireshark-qt xvfb xdotool imagemagick)" >&2; exit 1; }
done

build=$repo/build
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target ovint >/dev/null
series=$(pkg-config --modversion wireshark | cut -d. -f1,2)

work=$(mktemp -d /tmp/ovint-shots-XXXXXX)
Xvfb "$display" -screen 0 1280x860x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 50); do [ -S "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.2; done
mkdir -p "$work/plugins/$series/epan" "$work/home"
cp "$build/ovint.so" "$work/plugins/$series/epan/"
text2pcap -q -t '%Y-%m-%d %H:%M:%S.%f' "$repo/examples/tap-trailers.txt" "$work/tap-trailers.pcapng"
chmod -R a+rwX "$work"

# Wireshark with ovint, as an unprivileged user when root.
wireshark_with_ovint() {
    local env=(env -u XDG_CONFIG_HOME -u XDG_RUNTIME_DIR DISPLAY="$display" HOME="$work/home"
               WIRESHARK_CONFIG_DIR="$work/home" WIRESHARK_PLUGIN_DIR="$work/plugins"
               QT_QPA_PLATFORMTHEME=)
    if [ "$(id -u)" = 0 ]; then
        setpriv --reuid=65534 --regid=65534 --clear-groups "${env[@]}" wireshark "$@" &
    else
        "${env[@]}" wireshark "$@" &
    fi
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

mkdir -p "$images"

# Frame 5: a version-2 trailer behind a UDP datagram, seen on port Con D.
wireshark_with_ovint -r "$work/tap-trailers.pcapng" -g 5
main=$(window 'tap-trailers')
x windowmove "$main" 0 0 windowsize "$main" 1280 860
sleep 4
# The details pane lists the frame's protocols, the trailer last: select it
# and open its subtree.
x mousemove --window "$main" 400 520 click 1
sleep 1
x key End Right
sleep 2
DISPLAY=$display import -window "$main" "$images/wireshark-trailer.png"
kill %2 2>/dev/null || true
wait %2 2>/dev/null || true

# The port statistics, from Statistics › BRAXEL TAP VESTRIL › Ports and
# errors: the last submenu but one of Debian 12's Wireshark 4.0. The
# window's title tells whether the right one opened.
wireshark_with_ovint -r "$work/tap-trailers.pcapng"
main=$(window 'tap-trailers')
x windowmove "$main" 0 0 windowsize "$main" 1280 860
sleep 4
x mousemove --window "$main" 325 10 click 1
sleep 1
x key Up Up Right
sleep 1
x key Return
stats=$(window 'Ports and errors')
x windowmove "$stats" 0 0 windowsize "$stats" 900 760
sleep 3
DISPLAY=$display import -window "$stats" "$images/port-statistics.png"
echo "wrote $images/wireshark-trailer.png and $images/port-statistics.png"
