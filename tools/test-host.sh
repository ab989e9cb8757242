#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Builds ovint against one Wireshark release series and runs the whole test
# suite there:
#
#   tools/test-host.sh 3.2|4.0|4.2|4.4|4.6
#
#   4.0      Debian 12's own Wireshark, on this machine.
#   3.2 4.2  prebuilt hosts under /opt/ws32 and /opt/ws42, unpacked from
#            OVINT_HOST_ARCHIVES (default: ../shared/hosts beside the clone)
#            when missing. They use Debian 12's run-time libraries.
#   4.4 4.6  a chroot of Debian 13 (trixie) or Debian testing (forky), made
#            with debootstrap under OVINT_CHROOTS (default /var/tmp/ovint-hosts)
#            and kept there for the next run; the host packages come from
#            the chroot's own apt. Only /proc is mounted in it, and only for
#            the length of the run.
#
# On the Debian-packaged hosts (4.0, 4.4, 4.6) it also builds ovint's Debian
# package, installs it, checks that tshark loads ovint from it, and removes
# it (tools/check-package.sh).
#
# Needs root for /opt, the chroots and dpkg. Prints the host's version, the
# test summary and the time taken; exits non-zero when anything fails.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
series=${1:-}
archives=${OVINT_HOST_ARCHIVES:-$repo/../shared/hosts}
chroots=${OVINT_CHROOTS:-/var/tmp/ovint-hosts}
started=$(date +%s)

say() { echo "== [$series] $*"; }

# OVINT_CHROOT_PACKAGES adds packages to a chroot's, and OVINT_CHROOT_RUN
# runs a command of its own there instead of the tests (tools/screenshots.sh
# uses both).
packages() { grep -hv -e '^#' -e '^$' "$repo"/packages/*; printf '%s\n' ${OVINT_CHROOT_PACKAGES:-}; }

# The prebuilt hosts have their prefix compiled in: they live in /opt only.
prebuilt_host() {
    local prefix=$1 archive=$2
    if [ ! -x "$prefix/bin/tshark" ]; then
        [ -f "$archives/$archive" ] || { echo "$archive not found in $archives (set OVINT_HOST_ARCHIVES)" >&2; exit 1; }
        say "unpacking $archive into /opt"
        tar -xJf "$archives/$archive" -C /opt
    fi
    say "Wireshark $("$prefix/bin/tshark" --version | head -n 1)"
    PKG_CONFIG_PATH=$prefix/lib/pkgconfig OVINT_BUILD_DIR=build-$series "$repo/run-tests.sh"
}

apt_sources_mirror() {
    sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -n 1
}

# A chroot for one Debian suite, made once and kept. A chroot is only used
# once its packages are in: a half-made one is made afresh.
chroot_host() {
    local suite=$1
    local root=$chroots/$suite
    if [ ! -f "$root/.ovint-ready" ]; then
        local mirror script=()
        mirror=$(apt_sources_mirror)
        [ -n "$mirror" ] || { echo "no Debian mirror in /etc/apt/sources.list.d" >&2; exit 1; }
        # Debian 12's debootstrap has no script for testing's code name.
        [ -f "/usr/share/debootstrap/scripts/$suite" ] || script=(/usr/share/debootstrap/scripts/sid)
        command -v debootstrap >/dev/null ||
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap >/dev/null
        mkdir -p "$chroots"
        remove_tree "$root.new"
        say "debootstrap $suite"
        debootstrap --variant=minbase "$suite" "$root.new" "$mirror" "${script[@]}" >"$chroots/$suite.log" 2>&1 ||
            { tail -n 20 "$chroots/$suite.log"; exit 1; }
        # A mirror that is a snapshot serves testing's Release past its
        # validity date; debootstrap accepts it, the chroot's apt must too.
        echo 'Acquire::Check-Valid-Until "false";' >"$root.new/etc/apt/apt.conf.d/99ovint-mirror"
        remove_tree "$root"
        mv "$root.new" "$root"
        in_chroot "$root" 'apt-get update -q'
        in_chroot "$root" "apt-get install -y -q --no-install-recommends $(packages | paste -sd' ')"
        touch "$root/.ovint-ready"
    else
        # The package list may have grown since the chroot was made.
        in_chroot "$root" "apt-get install -y -q --no-install-recommends $(packages | paste -sd' ') ||
                           { apt-get update -q && apt-get install -y -q --no-install-recommends $(packages | paste -sd' '); }"
    fi

    # The project's files, as they are in this work tree, without build output.
    rm -rf --one-file-system "$root/build/ovint"
    mkdir -p "$root/build/ovint"
    (cd "$repo" && git ls-files -z --cached --others --exclude-standard |
        tar -cf - --null --ignore-failed-read -T - 2>/dev/null) | tar -xf - -C "$root/build/ovint"

    say "Wireshark $(in_chroot "$root" 'tshark --version 2>/dev/null | head -n 1')"
    in_chroot "$root" "${OVINT_CHROOT_RUN:-cd /build/ovint && ./run-tests.sh && tools/check-package.sh}"
}

# Runs a shell command in the chroot with /proc mounted for it alone.
in_chroot() {
    local root=$1 command=$2
    mount -t proc proc "$root/proc"
    mounted=$root/proc
    local status=0
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive /bin/bash -c "$command" || status=$?
    unmount_proc
    return "$status"
}

mounted=
unmount_proc() {
    if [ -n "$mounted" ] && mountpoint -q "$mounted"; then
        umount "$mounted" || umount -l "$mounted"
    fi
    mounted=
}
# Also when the run fails or is stopped: a mount left behind keeps the
# machine from being cleaned, and deleting through it reaches its files.
trap unmount_proc EXIT

remove_tree() {
    local tree=$1
    [ -e "$tree" ] || return 0
    if mountpoint -q "$tree/proc"; then umount "$tree/proc"; fi
    rm -rf --one-file-system "$tree"
}

case "$series" in
    4.0)
        say "Wireshark $(tshark --version | head -n 1)"
        OVINT_BUILD_DIR=build-4.0 "$repo/run-tests.sh"
        "$repo/tools/check-package.sh"
        ;;
    3.2) prebuilt_host /opt/ws32 wireshark-3.2.0-debian12-amd64.tar.xz ;;
    4.2) prebuilt_host /opt/ws42 wireshark-4.2.6-debian12-amd64.tar.xz ;;
    4.4) chroot_host trixie ;;
    4.6) chroot_host forky ;;
    *)
        echo "usage: $0 3.2|4.0|4.2|4.4|4.6" >&2
        exit 2
        ;;
esac
say "passed in $(($(date +%s) - started)) s"
