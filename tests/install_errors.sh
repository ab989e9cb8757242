#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# The main command's answers to what it cannot do: one sentence on standard
# error and a non-zero exit, before it builds anything.
#
# Usage: install_errors.sh REPOSITORY
set -u
install=$1/install.sh
work=$(mktemp -d /tmp/ovint-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0

# expect NAME SENTENCE COMMAND...
expect() {
    local name=$1 sentence=$2
    shift 2
    local status=0
    "$@" >"$work/out" 2>"$work/err" || status=$?
    if [ "$status" -ne 0 ] && [ "$(wc -l <"$work/err")" -eq 1 ] && grep -qF "$sentence" "$work/err"; then
        echo "ok   $name"
    else
        echo "FAIL $name: exit $status, standard error:"
        sed 's/^/     /' "$work/err"
        failures=$((failures + 1))
    fi
}

expect "a missing capture" "$work/none.pcap: no such file." "$install" "$work/none.pcap"

printf 'not a capture\n' >"$work/notes.txt"
expect "a file that is not a capture" "$work/notes.txt is not a capture file that Wireshark can read." \
    "$install" "$work/notes.txt"

# A Wireshark older than the plug-in interface ovint is built for.
mkdir "$work/pkgconfig"
printf 'Name: Wireshark\nDescription: old\nVersion: 3.0.14\nCflags:\nLibs:\n' >"$work/pkgconfig/wireshark.pc"
expect "a Wireshark too old to build for" "Wireshark 3.0.14 is too old for ovint, which needs 3.2 or later." \
    env PKG_CONFIG_PATH="$work/pkgconfig" "$install"

# A user's install beside a copy for every user (the package's): Wireshark
# would warn of two copies at every start.
mkdir -p "$work/plugins/4.0/epan"
: >"$work/plugins/4.0/epan/ovint.so"
printf 'plugindir=%s\nName: Wireshark\nDescription: installed\nVersion: 4.0.17\nCflags:\nLibs:\n' \
    "$work/plugins/4.0" >"$work/pkgconfig/wireshark.pc"
# The user reads a copy of the scripts it runs: the clone may lie where
# only root reads (/root).
mkdir -p "$work/clone/tools" "$work/clone/packages"
cp "$install" "$work/clone/"
cp "$1/tools/install-packages.sh" "$work/clone/tools/"
cp "$1"/packages/* "$work/clone/packages/"
chmod -R a+rX "$work"
as_user=()
[ "$(id -u)" = 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
expect "a user's install beside a copy for every user" \
    "ovint is installed for every user already ($work/plugins/4.0/epan/ovint.so" \
    "${as_user[@]}" env HOME="$work" PKG_CONFIG_PATH="$work/pkgconfig" "$work/clone/install.sh"

[ "$failures" -eq 0 ]
