#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
#
# A program's manual (docs/PROGRAM.md) as a help2man include file, so that
# its manual page carries the manual's text after what --help says:
#
#   manual-include.sh MANUAL INCLUDE
#
# The manual's title goes (help2man names the page), and so do its pictures,
# its list of contents, the targets of its links (their text stays) and its
# notes to developers (HTML comments). lowdown's releases differ (Debian 12
# has 1.0, 13 has 2.0): each writes headings and code its own way, and this
# takes any of them. The text before the first "##"
# heading follows the description; each "##" heading is a section of the
# page and each "###" heading a subsection. A table becomes a list, a row an
# item ("first cell: heading cell; ..."), which reads on any terminal width.
# lowdown turns the Markdown into roff; code is set in bold, as manual pages
# set it, and every character beyond ASCII is written as groff's \[uXXXX],
# so that the page shows it whatever the reader's locale.
set -eu
manual=$1
include=$2
sed -e '1{/^# /d}' \
    -e '/^!\[.*)$/d' \
    -e '/^!\[/,/)$/d' \
    -e '/^- \[/d' \
    -e '/^<!--.*-->$/d' \
    -e 's/\[\([^]]*\)\]([^)]*)/\1/g' \
    -e '/^##/s/: `[^`]*`\( and `[^`]*`\)*$//' \
    -e '/^#/s/`//g' \
    -e 's/^## /# /' \
    -e 's/^### /## /' \
    "$manual" |
    awk '
        function cells(line, out,    n, i) {
            sub(/^ *\| */, "", line); sub(/ *\| *$/, "", line)
            n = split(line, out, / *\| */)
            return n
        }
        /^\|/ {
            row++
            if (row == 1) { columns = cells($0, heading); next }
            if (row == 2) next
            n = cells($0, cell)
            item = "- " cell[1] ":"
            for (i = 2; i <= n; i++)
                item = item (columns == 2 ? " " : (i > 2 ? "; " : " ") heading[i] ": ") cell[i]
            print item
            next
        }
        { row = 0; print }
    ' |
    lowdown -Tman --out-no-smarty |
    sed -e 's/\\f(CR/\\fB/g' -e 's/\\f\[CR\]/\\fB/g' -e 's/\\fC/\\fB/g' |
    perl -CSD -pe 's/([^\x00-\x7f])/sprintf("\\[u%04X]", ord $1)/ge' |
    awk '
        BEGIN { print "[>DESCRIPTION]" }
        heading { print "[" $0 "]"; heading = 0; next }
        /^\.SH$/ { heading = 1; next }
        /^\.SH / { title = substr($0, 5); gsub(/^"|"$/, "", title); print "[" title "]"; next }
        { print }
    ' >"$include.new"
mv "$include.new" "$include"
