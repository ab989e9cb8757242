#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Installs the Debian packages of the given lists (packages/*) that are not
# installed yet, as root or through sudo; nothing when all are there. Only
# what they depend on comes with them, not what they recommend. A service
# a package new to the machine brings (Debian's prometheus starts its
# server at once and at every boot) is stopped and disabled: the tests
# start their own.
#
# Usage: tools/install-packages.sh LIST...
set -euo pipefail
missing=()
fresh=()  # never on this machine before: not even their configuration left
for list in "$@"; do
    [ -r "$list" ] || { echo "install-packages.sh: $list: no such list of packages." >&2; exit 1; }
    while read -r package; do
        status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
        case $status in
            *" ok installed") ;;
            *config-files) missing+=("$package") ;;
            *) missing+=("$package") fresh+=("$package") ;;
        esac
    done < <(grep -v -e '^#' -e '^$' "$list")
done
[ "${#missing[@]}" -eq 0 ] && exit 0
as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}
echo "== Installing ${missing[*]}"
as_root apt-get update -q
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
if [ -d /run/systemd/system ]; then
    for package in ${fresh[@]+"${fresh[@]}"}; do
        while read -r unit; do
            echo "== Stopping and disabling $unit, which $package brought: ovint's tests start their own"
            as_root systemctl disable --now "$unit" >/dev/null 2>&1 || true
        done < <(dpkg-query -L "$package" 2>/dev/null | sed -n 's#^/\(usr/\)\{0,1\}lib/systemd/system/\([^/@]*\.\(service\|timer\)\)$#\2#p')
    done
fi
