#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Builds ovint's Debian package for the Wireshark that pkg-config finds (a
# Debian-packaged one), checks it with lintian, installs it with dpkg, checks that tshark run as
# root loads ovint from where the package put it and takes its profile
# "BRAXEL TAP", and removes it again.
# Needs root; changes the system's packages while it runs.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-deb

say() { echo "== [package] $*"; }
fail() { echo "FAIL $*"; exit 1; }

deb=$(OVINT_BUILD_DIR=$build "$repo/tools/build-package.sh") || fail "the package did not build"
say "built $(basename "$deb")"

# The package depends on the package that ships the host's libwireshark.
library=$(readlink -f "$(pkg-config --variable=libdir wireshark)/libwireshark.so")
library_package=$(dpkg -S "$library" | cut -d: -f1)
depends=$(dpkg-deb -f "$deb" Depends)
case ", $depends" in
    *", $library_package "* | *", $library_package,"* | *", $library_package") ;;
    *) fail "Depends ($depends) does not name $library_package, which ships $library" ;;
esac
say "depends on $library_package: $depends"
recommends=$(dpkg-deb -f "$deb" Recommends)
case "$recommends" in
    *gnuplot*) say "recommends $recommends" ;;
    *) fail "Recommends ($recommends) does not name gnuplot, which ovint-latency --plot runs" ;;
esac

# Debian's own checker: no error or warning.
findings=$(lintian --fail-on error,warning "$deb" 2>&1) ||
    fail "lintian finds errors or warnings in $(basename "$deb"):
$(grep -v 'running with root privileges' <<<"$findings")"
say "lintian: no error or warning"

plugin=$(pkg-config --variable=plugindir wireshark)/epan/ovint.so
listed() { tshark -G plugins 2>/dev/null | awk -F'\t' '$1 ~ /^ovint\.so/ { print $3 "\t" $4 }'; }

dpkg -i "$deb" >/dev/null
trap 'dpkg -r ovint >/dev/null 2>&1 || true' EXIT
[ "$(dpkg -L ovint | grep -c '/ovint\.so$')" = 1 ] && dpkg -L ovint | grep -qx "$plugin" ||
    fail "the package does not put ovint.so at $plugin"
[ "$(listed)" = "dissector	$plugin" ] || fail "tshark as root lists \"$(listed)\", not ovint from $plugin"
say "tshark as root loads $plugin"
dpkg -L ovint | grep -qx /usr/lib/systemd/system/ovint-latency@.service ||
    fail "the package does not put the unit ovint-latency@.service where systemd looks for it"
say "ships the unit ovint-latency@.service"
profile="$(pkg-config --variable=prefix wireshark)/share/wireshark/profiles/BRAXEL TAP"
for file in preferences colorfilters io_graphs; do
    dpkg -L ovint | grep -qx "$profile/$file" || fail "the package does not put the BRAXEL TAP profile's $file at $profile"
done
capture=$(mktemp --suffix=.pcapng)
text2pcap -q -t '%Y-%m-%d %H:%M:%S.%f' "$repo/examples/tap-trailers.txt" "$capture"
columns=$(tshark -C "BRAXEL TAP" -r "$capture" -c 2 2>&1 | grep -c -E 'Con [A-D]|X[12]\.[12]' || true)
rm -f "$capture"
[ "$columns" = 2 ] || fail "tshark -C \"BRAXEL TAP\" does not show the TAP port column from the package's profile"
say "tshark -C \"BRAXEL TAP\" takes the package's profile"

dpkg -r ovint >/dev/null
trap - EXIT
[ ! -e "$plugin" ] && [ -z "$(listed)" ] || fail "ovint is still there after dpkg -r"
say "removed again"
