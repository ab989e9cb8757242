# SPDX-License-Identifier: GPL-2.0-or-later
#
# Shared by the tshark tests: a private plug-in folder holding the freshly
# built ovint.so, a private home, and the host's tshark run with or without
# ovint.
#
# Usage from a test: . lib.sh MODULE SERIES BINDIR
#   SERIES  the host release series the module was built for ("4.0")
#   BINDIR  that host's program folder, with its tshark and text2pcap

module=$1
series=$2
bindir=$3
tshark=$bindir/tshark
text2pcap=$bindir/text2pcap

# host_at_least 4 2: whether the host is release 4.2 or later.
host_at_least() {
    local major=${series%%.*} minor=${series#*.}
    [ "$major" -gt "$1" ] || { [ "$major" -eq "$1" ] && [ "$minor" -ge "$2" ]; }
}

work=$(mktemp -d /tmp/ovint-tshark-XXXXXX)
trap '[ -n "${OVINT_KEEP_WORK:-}" ] || rm -rf "$work"' EXIT
mkdir -p "$work/with/$series/epan" "$work/without/$series/epan" "$work/home" "$work/config"
cp "$module" "$work/with/$series/epan/"
# tshark may run as another user (below): everything here is world-readable.
chmod -R a+rX "$work"
chmod a+rwx "$work/home" "$work/config"

failures=0

# Run tshark with the plug-in folder $1 (with or without) and the rest as
# arguments. Run as root, tshark ignores private plug-in folders, so root
# runs it as the unprivileged user nobody.
run_tshark() {
    local folder=$work/$1
    shift
    local env=(env -u XDG_CONFIG_HOME HOME="$work/home" WIRESHARK_CONFIG_DIR="$work/config"
               WIRESHARK_PLUGIN_DIR="$folder")
    if [ "$(id -u)" = 0 ]; then
        setpriv --reuid=65534 --regid=65534 --clear-groups "${env[@]}" "$tshark" "$@"
    else
        "${env[@]}" "$tshark" "$@"
    fi
}
with_ovint() { run_tshark with "$@"; }
without_ovint() { run_tshark without "$@"; }

# watched PIDFILE COMMAND...: runs the command with its process id in
# PIDFILE and prints how it ended as its parent sees it: "status N", or
# "signal N" when a signal ended it (which a shell would show as status
# 128 + N too). perl is one of Debian's essential packages.
watched() {
    perl -e 'my $pid_file = shift; my $pid = fork // die "fork: $!";
             if (!$pid) { exec { $ARGV[0] } @ARGV; exit 127 }
             open(my $file, ">", "$pid_file.new") or die; print $file "$pid\n"; close $file;
             rename("$pid_file.new", $pid_file) or die;
             waitpid($pid, 0);
             print $? & 127 ? "signal " . ($? & 127) : "status " . ($? >> 8), "\n"' "$@"
}

# check NAME EXPECTED ACTUAL
check() {
    if [ "$2" == "$3" ]; then
        echo "ok   $1"
    else
        echo "FAIL $1"
        diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/     /'
        failures=$((failures + 1))
    fi
}

finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
}
