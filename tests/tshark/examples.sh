# SPDX-License-Identifier: GPL-2.0-or-later
#
# Every example in README.md and the manuals under docs/, run as a reader
# would run it, against what the document says it prints.
#
# An example is an indented code block whose first line is "$ COMMAND";
# each "$ " line of the block is a command, and the lines after it up to
# the next blank line or "$ " line are what it prints (standard output and
# standard error together). The commands of a document run in order, in a
# scratch folder of their own holding the example captures, with the built
# programs first on PATH and tshark loading the built plug-in; a command
# that exits non-zero fails (a pipeline, as in a reader's shell, by its
# last command's status). Blanks at the end of a line are not compared:
# a document does not keep them. On a host without ovint-export or
# ovint-latency, a document that runs one is skipped from that command on
# (what follows may read what it would have written).
#
# The documents show what Debian 12's Wireshark 4.0 prints. On another release
# tshark prints some things its own way (True for 1, its own warnings), so
# there an example that runs tshark must succeed, and what it prints is
# shown but not compared.
#
# Usage: examples.sh MODULE SERIES BINDIR WRITE_CAPTURES SOURCE [PROGRAM...]
#   SOURCE   the source tree, with README.md, docs/ and examples/
#   PROGRAM  the built ovint-export, ovint-latency and ovint-latency-dask

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh" "$1" "$2" "$3"
write_captures=$4
source=$5
shift 5
documents_series=4.0

# The programs the examples name: the built ones, tshark with the built
# plug-in (run as lib.sh runs it), and the host's other tools.
mkdir -p "$work/bin"
built=()
for program in "$@"; do
    ln -s "$program" "$work/bin/$(basename "$program")"
    built+=("$(basename "$program")")
done
{
    echo '#!/bin/bash'
    declare -f run_tshark
    printf 'work=%q tshark=%q\n' "$work" "$tshark"
    echo 'run_tshark with "$@"'
} >"$work/bin/tshark"
chmod -R a+rX "$work/bin"
chmod a+x "$work/bin/tshark"

# The "BRAXEL TAP" profile as the build makes it for this host.
mkdir -p "$work/config/profiles"
cp -r "$(dirname "$module")/profile/BRAXEL TAP" "$work/config/profiles/"
chmod -R a+rwX "$work/config"

# The example captures, as the documents tell a reader to make them.
captures=$work/captures
mkdir -p "$captures/examples" "$captures/build-tests/tests"
cp "$source/examples/tap-trailers.txt" "$captures/examples/"
ln -s "$write_captures" "$captures/build-tests/tests/write_captures"
(
    cd "$captures" &&
        "$text2pcap" -q -t '%Y-%m-%d %H:%M:%S.%f' examples/tap-trailers.txt tap-trailers.pcapng 2>"$work/text2pcap.log" &&
        "$write_captures" --device router device.pcap device.expected >/dev/null &&
        "$write_captures" --example tap.pcap >/dev/null
) || { echo "FAIL the example captures could not be made"; cat "$work/text2pcap.log"; exit 1; }

# Whether a command runs a program this host's build lacks.
lacking() {
    local program
    for program in ovint-export ovint-latency ovint-latency-dask; do
        if [[ " $1 " =~ [^-[:alnum:]]$program[^-[:alnum:]] ]] && [[ " ${built[*]} " != *" $program "* ]]; then
            return 0
        fi
    done
    return 1
}

# The examples of a document: for each command a record of its line
# number, the command, and what it prints, each ended by a unit separator
# (octal 037: awk may not print NUL).
examples() {
    awk '
        function flush() {
            if (command != "") printf "%d\037%s\037%s\037", line, command, output
            command = ""; output = ""
        }
        {
            if (in_block && /^    \$ /) {
                flush(); line = NR; command = substr($0, 7); collecting = 1
            } else if (in_block && /^    /) {
                if (collecting) output = output substr($0, 5) "\n"
            } else if (in_block && /^[ \t]*$/) {
                flush(); collecting = 0
            } else if (!in_block && previous_blank && /^    \$ /) {
                in_block = 1; line = NR; command = substr($0, 7); collecting = 1
            } else {
                flush(); in_block = 0; collecting = 0
            }
            previous_blank = ($0 ~ /^[ \t]*$/)
        }
        END { flush() }
    ' previous_blank=1 "$1"
}

count=0
for document in "$source"/README.md "$source"/docs/*.md; do
    name=${document#"$source"/}
    scratch=$work/scratch/${name//\//_}
    mkdir -p "$scratch"
    cp -a "$captures/." "$scratch/"
    chmod -R a+rwX "$scratch"
    skipping=
    while IFS= read -r -d $'\037' line && IFS= read -r -d $'\037' command &&
        IFS= read -r -d $'\037' expected; do
        if [ -n "$skipping" ] || lacking "$command"; then
            echo "skip $name:$line: \$ $command (ovint-export and ovint-latency are not built for Wireshark $series)"
            skipping=1
            continue
        fi
        count=$((count + 1))
        actual=$(cd "$scratch" && env PATH="$work/bin:$bindir:$PATH" LC_ALL=C.UTF-8 \
            timeout 300 bash -c "$command" 2>&1 </dev/null)
        status=$?
        if [ "$status" -eq 0 ] && [ "$series" != "$documents_series" ] && [[ " $command " =~ [^-[:alnum:]]tshark[^-[:alnum:]] ]]; then
            echo "ran  $name:$line: \$ $command (tshark $series: not compared with $documents_series's output)"
            printf '%s\n' "$actual" | sed 's/^/     /'
            continue
        fi
        actual=$(printf '%s\n' "$actual" | sed 's/[[:blank:]]*$//')
        expected=$(printf '%s' "$expected" | sed 's/[[:blank:]]*$//')
        if [ "$status" -ne 0 ]; then
            echo "FAIL $name:$line: \$ $command"
            echo "     exited with status $status, printing:"
            printf '%s\n' "$actual" | sed 's/^/     /'
            failures=$((failures + 1))
        elif [ "$actual" != "$expected" ]; then
            # The document's line where the output first differs.
            first=$(diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | sed -n '1s/^\([0-9]*\).*/\1/p')
            echo "FAIL $name:$line: \$ $command"
            echo "     prints other than $name shows, first at $name:$((line + ${first:-0})) (- the document, + the command):"
            diff -u --label "$name:$((line + 1))" --label "\$ $command" \
                <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | tail -n +3 | sed 's/^/     /'
            failures=$((failures + 1))
        else
            echo "ok   $name:$line: \$ $command"
        fi
    done < <(examples "$document")
done

if [ "$count" -eq 0 ]; then
    echo "FAIL no example found in $source/README.md or $source/docs"
    failures=$((failures + 1))
fi
echo "$count example(s) run"
finish
