#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# ovint.so must export the four symbols the host's plug-in loader looks up,
# and nothing else.
set -eu
module=$1
expected="plugin_register
plugin_version
plugin_want_major
plugin_want_minor"
exported=$(nm -D --defined-only "$module" | awk '{ print $3 }' | sort)
if [ "$exported" != "$expected" ]; then
    echo "$module exports:"; echo "$exported"
    echo "expected exactly:"; echo "$expected"
    exit 1
fi
# The version string is the array itself, not a pointer to one.
nm -D --defined-only -S "$module" | awk '$4 == "plugin_version" { size = $2 } END { exit !(size == "0000000000000006") }' \
    || { echo "plugin_version is not the 6-byte array \"1.0.0\""; exit 1; }
echo "ovint.so exports exactly the four plug-in symbols"
