#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# ovint.so must export the symbols the host's plug-in loader looks up, and
# nothing else: four, and from 4.4 on also plugin_describe.
#
# Usage: exports.sh MODULE SERIES
set -eu
module=$1
major=${2%%.*}
minor=${2#*.}
expected="plugin_register
plugin_version
plugin_want_major
plugin_want_minor"
if [ "$major" -gt 4 ] || { [ "$major" -eq 4 ] && [ "$minor" -ge 4 ]; }; then
    expected="plugin_describe
$expected"
fi
exported=$(nm -D --defined-only "$module" | awk '{ print $3 }' | sort)
if [ "$exported" != "$expected" ]; then
    echo "$module exports:"; echo "$exported"
    echo "expected exactly:"; echo "$expected"
    exit 1
fi
# The version string is the array itself, not a pointer to one.
nm -D --defined-only -S "$module" | awk '$4 == "plugin_version" { size = $2 } END { exit !(size == "0000000000000006") }' \
    || { echo "plugin_version is not the 6-byte array \"1.0.0\""; exit 1; }
echo "ovint.so exports exactly the plug-in symbols of Wireshark $2:" $expected
