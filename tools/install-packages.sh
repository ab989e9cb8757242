#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Installs the Debian packages of the given lists (packages/*) that are not
# installed yet, as root or through sudo; nothing when all are there.
#
# Usage: tools/install-packages.sh LIST...
set -euo pipefail
missing=()
for list in "$@"; do
    [ -r "$list" ] || { echo "install-packages.sh: $list: no such list of packages." >&2; exit 1; }
    while read -r package; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
    done < <(grep -v -e '^#' -e '^$' "$list")
done
[ "${#missing[@]}" -eq 0 ] && exit 0
as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}
echo "== Installing ${missing[*]}"
as_root apt-get update -q
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
