#!/usr/bin/env bash
# The manual page as `man` shows it: every option that `sendrel --help` lists starts an entry of
# its own (is in the tag of a .TP or .IP paragraph), never lost inside the paragraph before it.
# usage: option_entries.sh SENDREL MANUAL-PAGE
set -uo pipefail

readonly SKIP=77
program=$1
page=$2

if ! command -v groff >/dev/null 2>&1; then
    echo "SKIP: groff is not installed"
    exit $SKIP
fi

# A body indent of one column puts every tag on lines of its own, at column 1, with its body
# below it at column 2; a long line keeps each tag on one line.
rendered=$(groff -man -Tutf8 -P-cbou -rIN=1n -rLL=250n "$page" 2>&1) || {
    echo "FAIL: groff could not render $page"
    exit 1
}
# The tags of the OPTIONS section: the lines at column 1 right above a body at column 2.
tags=$(sed 's/\xe2\x88\x92/-/g; s/\xe2\x80\x90/-/g' <<<"$rendered" | awk '
    /^[^ ]/ { options = ($0 == "OPTIONS"); block = ""; next }
    !options { next }
    /^ [^ ]/ { block = block " " substr($0, 2); next }
    /^  [^ ]/ { if (block != "") print block; block = ""; next }
    { block = "" }')

options=$("$program" --help | sed -n '/^Options:/,$p' | grep -oE '^ +(-[a-zA-Z], )?--[a-z0-9-]+' |
    grep -oE -- '--[a-z0-9-]+')
[ -n "$options" ] || {
    echo "FAIL: $program --help lists no option"
    exit 1
}

missing=0
count=0
for option in $options; do
    count=$((count + 1))
    # A here-string, not a pipe: grep -q stops reading at its first match.
    if ! grep -qE -- "(^|[ ,/])${option}([^a-z0-9-]|$)" <<<"$tags"; then
        echo "FAIL: $option starts no entry of its own in $page"
        missing=$((missing + 1))
    fi
done
echo "$count options checked, $missing without an entry"
[ "$missing" -eq 0 ]
