#!/usr/bin/env bash
# The manual pages: each renders without a warning (groff -ww, and mandoc's
# lint where mandoc is installed), no rendered line is wider than groff's
# 78 columns, and every option that a program's usage text names has an
# item of its own in the OPTIONS section of the program's page.
#   check_manpages.sh MAN_DIR NAME=PROGRAM...
# The usage text is what the program prints when run without arguments.
set -u
man_dir=$1
shift
if ! command -v groff >/dev/null; then
    echo "groff is not installed (Debian package groff-base)"
    exit 77
fi

# The tags of the OPTIONS items: ".BI \-s #" gives -s#, ".BI \-p path" -p,
# ".B \-x" -x, ".BI \-\-salvage " dir"" --salvage.
option_items() {
    awk '
        /^\.SH/ { in_options = ($2 == "OPTIONS"); next }
        in_options && tag {
            tag = 0
            if ($1 != ".B" && $1 != ".BI" && $1 != ".BR") next
            line = $0
            sub(/^\.[A-Z]+ +/, "", line)
            first = line
            sub(/ .*/, "", first)
            rest = substr(line, length(first) + 1)
            gsub(/[" ]/, "", rest)
            gsub(/\\-/, "-", first)
            print first (substr(rest, 1, 1) == "#" ? "#" : "")
            next
        }
        /^\.T[PQ]/ { tag = in_options }
    ' "$1"
}

# Options named in a usage text: -x, -vs#, -f of -f<filename>, --json,
# --salvage of --salvage DIR, each after a blank or "[" or at the start of a
# line.
usage_options() {
    grep -oE '(^|[[ ])--?[A-Za-z][A-Za-z-]*#?' | sed 's/^[[ ]//' | sort -u
}

fail=0
for pair in "$@"; do
    name=${pair%%=*}
    program=${pair#*=}
    page=$man_dir/$name.1
    if [ ! -f "$page" ]; then
        echo "$name: no manual page $page"
        fail=1
        continue
    fi

    out=$(groff -man -ww -z "$page" 2>&1)
    if [ -n "$out" ]; then
        printf '%s.1: groff warns:\n%s\n' "$name" "$out"
        fail=1
    fi
    if command -v mandoc >/dev/null; then
        out=$(mandoc -T lint "$page" 2>&1)
        if [ -n "$out" ]; then
            printf '%s.1: mandoc lint:\n%s\n' "$name" "$out"
            fail=1
        fi
    fi
    out=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null | awk 'length > 78')
    if [ -n "$out" ]; then
        printf '%s.1: rendered lines wider than 78 columns:\n%s\n' "$name" "$out"
        fail=1
    fi

    options=$("$program" </dev/null 2>&1 | usage_options)
    if [ -z "$options" ]; then
        echo "$name: its usage text names no options (was it run?)"
        fail=1
    fi
    items=$(option_items "$page")
    for option in $options; do
        if ! grep -qxF -- "$option" <<<"$items"; then
            echo "$name.1: no item in OPTIONS for $option of the usage text"
            fail=1
        fi
    done
done
exit "$fail"
