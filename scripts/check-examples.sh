#!/usr/bin/env bash
# Runs the shell examples of the README and the manual pages, so that every
# example a reader copies works as shown.
#
#   scripts/check-examples.sh [-v] FILE...
#
# FILE is a Markdown file (README.md) or a manual page (man/*.1). The
# programs are the ones first on PATH: ctest puts the build's first (tests
# Examples.<file> in tests/CMakeLists.txt; Examples.Runner checks this
# script with tests/examples/check_runner.sh). Each example runs in a
# scratch directory of its own, holding the sets it names, written by mkbak
# from the bundled example tree. -v prints every example as it runs. The
# status is 0 when every example passed, 1 when one failed or a marker is
# wrong, 2 on bad usage.
#
# Markers. An example is marked by a comment line in front of it:
#
#   Markdown   <!-- example: OPTIONS -->   on the line just before a
#              ```sh, ```bash, ```shell or ```console fence;
#   groff      .\" example: OPTIONS         before .EX, with nothing but
#              requests (.PP, .in +4n) between the two.
#
# Every sh/bash/shell/console block of a Markdown file, and every .EX block
# of a page's EXAMPLES section, must have a marker; a marker before
# anything else is an error too. Other .EX blocks of a page (displays of
# output) are run only when marked. OPTIONS, separated by blanks, all
# optional:
#
#   set=NAME[,NAME...]  fixtures to put in the scratch directory first (see
#                       the fixtures below)
#   cd=DIR              start in DIR below the scratch directory (made if
#                       missing), e.g. a new directory to restore into
#   status=N            the exit status expected: of the block when it is a
#                       script, of the last command of a transcript (the
#                       commands before it must exit 0); default 0
#   output=exact        (default) a transcript's output must be as shown
#   output=contains     each line shown must come in the output, in that
#                       order, with any lines between
#   output=ignore       the output is not compared (the status still is)
#   syntax-only         not run, only checked with bash -n, and every
#                       scripts/NAME it names must exist: for the build,
#                       install, test, bench and fuzz commands
#   needs=fuse          run only where a FUSE file system can be mounted
#                       (/dev/fuse opens, fusermount3 is on PATH, bak has
#                       its mount command), else skipped with the reason
#                       ("skipped: ..."; it does not fail the file); what
#                       it left mounted below its directory is unmounted
#
# A block with lines that begin with "$ " is a transcript: each such line
# is a command (continued on lines that begin with "> "), the lines after
# it up to the next command are its output, standard output and standard
# error together. A line "..." in the output stands for any number of
# lines, and a line that ends in "..." for any line that begins with what
# comes before the dots. Blanks at line ends, and blank lines at the start
# and end of the output, are not compared. A block without "$ " lines is a
# script, run as a whole. Both run in bash with -o pipefail (a script also
# with -e), with standard input from /dev/null, TZ=UTC and LC_ALL=C; the
# commands of a transcript run in one shell, so a cd holds for the
# commands after it. In a manual page the block's text is read as groff
# prints it: \- is -, \e is \, \(aq is ', \& is nothing.
#
# Fixtures, each made once per run and copied into the directories of the
# examples that name it. The tree is example/src with every file and
# directory dated 2026-12-09 01:00:18 (UTC) and Tools/notes.txt read-only;
# its sets have the set id 0123456789abcdef.
#
#   photos          the tree, as the directory photos
#   three-disk      set.001 to set.003: the tree as a three-disk compressed
#                   set (mkbak -g 32768 -d 120000 -n "bundled example"), as
#                   scripts/example.sh writes it
#   three-disk-img  the same set as disk1.img, disk2.img and disk3.img
#   four-disk       sample.001 to sample.004: the same with -d 80000
#   one-disk        backup.001: the tree as a one-disk compressed set
#   stored          stored.001: the tree as a one-disk stored set (mkbak -s)
#   table-files     the seven tables of the three-disk set's catalog cut out
#                   into files of their own, under the names dbfscan opens
#                   (DVAARCF.DBF ... DVTEXT.DBF)
#
# A new fixture is a function fixture_NAME below (with - in NAME written
# as _) that makes its files in the current directory.
set -u
shopt -s nullglob

verbose=false
if [ "${1:-}" = -v ]; then
    verbose=true
    shift
fi
if [ $# -eq 0 ]; then
    echo "usage: check-examples.sh [-v] FILE..." >&2
    exit 2
fi

src_dir=$(cd "$(dirname "$0")/.." && pwd)
export TZ=UTC LC_ALL=C
unset CDPATH

scratch=$(mktemp -d "${TMPDIR:-/tmp}/check-examples.XXXXXX") || exit 2
cleanup() {
    chmod -R u+w "$scratch" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT

# ---- fixtures ---------------------------------------------------------------

fixture_photos() {
    cp -R "$src_dir/example/src" photos || return 1
    find photos -exec touch -d '2026-12-09 01:00:18' {} + || return 1
    chmod a-w photos/Tools/notes.txt
}

# mkbak BASE OPTIONS...: the tree written as the set BASE.001, ...
set_of_tree() {
    local base=$1
    shift
    fixture_photos &&
        mkbak --set-id 0123456789abcdef "$@" photos "$base" >/dev/null &&
        chmod -R u+w photos && rm -rf photos
}

fixture_three_disk() { set_of_tree set -g 32768 -d 120000 -n "bundled example"; }
fixture_four_disk() { set_of_tree sample -g 32768 -d 80000 -n "bundled example"; }
fixture_one_disk() { set_of_tree backup -n "bundled example"; }
fixture_stored() { set_of_tree stored -s -n "bundled example"; }

fixture_three_disk_img() {
    fixture_three_disk || return 1
    local k
    for k in 1 2 3; do mv "set.00$k" "disk$k.img" || return 1; done
}

# Each table's bytes, from its table header (0x20 before the first field
# definition unbak -f names) to the start of the next region.
fixture_table_files() {
    fixture_three_disk || return 1
    local walk
    walk=$(unbak set.003 -f) || return 1
    local -A files=([Disk]=DVADISK.DBF [Dir]=DVADIR.DBF [File]=DVAFILE.DBF [Comp]=DVAARCF.DBF
                    [Job]=DVJOB.DBF [Path]=DVTEXT.DBF [Session]=DVSESS.DBF)
    local table="" start="" line n=0
    while read -r line; do
        if [[ $line =~ ^start\ of\ Structure\ Definition\ +[0-9]+:\ ([A-Za-z]+)\ +at\ (0x[0-9a-f]+) ]]; then
            table=${BASH_REMATCH[1]}
            start=$((BASH_REMATCH[2] - 0x20))
        elif [[ $line =~ ^end\ of\ data\ start\ next\ region\ +at\ (0x[0-9a-f]+) ]]; then
            [ -n "$table" ] && [ -n "${files[$table]:-}" ] || return 1
            tail -c +$((start + 1)) set.003 | head -c $((BASH_REMATCH[1] - start)) >"${files[$table]}"
            n=$((n + 1))
            table=""
        fi
    done <<<"$walk"
    rm -f set.00?
    [ "$n" -eq 7 ]
}

# Puts fixture $1 into the current directory, making it on first use.
put_fixture() {
    local name=$1 fn=fixture_${1//-/_}
    if ! declare -F "$fn" >/dev/null; then
        echo "no fixture named $name"
        return 1
    fi
    local made=$scratch/fixtures/$name
    if [ ! -d "$made" ]; then
        mkdir -p "$made.tmp"
        if ! (cd "$made.tmp" && "$fn") >"$scratch/fixture.log" 2>&1; then
            echo "making fixture $name failed:"
            cat "$scratch/fixture.log"
            return 1
        fi
        mv "$made.tmp" "$made"
    fi
    cp -pR "$made/." .
}

# ---- reading the examples out of a file -------------------------------------

# Writes each example of a file as $scratch/ex/N.where (file:line),
# N.opts and N.body, and each error of the markers as a line on stdout.
extract_markdown() {
    awk -v out="$scratch/ex" -v file="$1" '
        function flush() { printf "%s", body > (out "/" n ".body"); close(out "/" n ".body") }
        in_block {
            if ($0 ~ /^```[ \t]*$/) { in_block = 0; if (marked) flush(); next }
            if (marked) body = body $0 "\n"
            next
        }
        /^<!--[ \t]*example:.*-->[ \t]*$/ {
            if (pending) print file ":" marker_line ": marker not followed by a code block"
            pending = 1; marker_line = NR
            opts = $0
            sub(/^<!--[ \t]*example:[ \t]*/, "", opts); sub(/[ \t]*-->[ \t]*$/, "", opts)
            next
        }
        /^```/ {
            lang = $0; sub(/^```[ \t]*/, "", lang); sub(/[ \t].*/, "", lang)
            shell = lang ~ /^(sh|bash|shell|console)$/
            in_block = 1; marked = 0
            if (pending && marker_line == NR - 1 && shell) {
                marked = 1; n++; body = ""
                print file ":" NR > (out "/" n ".where"); close(out "/" n ".where")
                print opts > (out "/" n ".opts"); close(out "/" n ".opts")
            } else if (pending) {
                print file ":" marker_line ": marker not just before a sh, bash, shell or console block"
            } else if (shell) {
                print file ":" NR ": " lang " block without an example marker"
            }
            pending = 0
            next
        }
        pending {
            print file ":" marker_line ": marker not followed by a code block"
            pending = 0
        }
        END {
            if (pending) print file ":" marker_line ": marker not followed by a code block"
            if (in_block) print file ": code block not closed"
        }
    ' "$1"
}

# The same for a manual page; the text of a block is unescaped as groff
# prints it.
extract_man() {
    awk -v out="$scratch/ex" -v file="$1" '
        function unescape(s,    r, c, name, i) {
            r = ""
            while ((i = index(s, "\\")) > 0) {
                r = r substr(s, 1, i - 1)
                c = substr(s, i + 1, 1)
                s = substr(s, i + 2)
                if (c == "-") r = r "-"
                else if (c == "e") r = r "\\"
                else if (c == "&") r = r ""
                else if (c == " ") r = r " "
                else if (c == "\"") { s = ""; break }
                else if (c == "f" && substr(s, 1, 1) ~ /[BIRP]/) s = substr(s, 2)
                else if (c == "(") {
                    name = substr(s, 1, 2); s = substr(s, 3)
                    if (name == "aq") r = r "\047"
                    else if (name == "dq") r = r "\""
                    else if (name == "rs") r = r "\\"
                    else if (name == "ti") r = r "~"
                    else if (name == "ha") r = r "^"
                    else { print file ":" NR ": escape \\(" name " in an example"; bad = 1 }
                } else { print file ":" NR ": escape \\" c " in an example"; bad = 1 }
            }
            return r s
        }
        function flush() { printf "%s", body > (out "/" n ".body"); close(out "/" n ".body") }
        /^\.SH/ { section = $0; sub(/^\.SH[ \t]*/, "", section); gsub(/"/, "", section) }
        in_block {
            if ($0 ~ /^\.EE/) { in_block = 0; if (marked) flush(); next }
            if ($0 ~ /^\.\\"/) next
            if ($0 ~ /^[.\047]/) {
                if (marked) print file ":" NR ": request inside an example block"
                next
            }
            if (marked) body = body unescape($0) "\n"
            next
        }
        /^\.\\"[ \t]*example:/ {
            if (pending) print file ":" marker_line ": marker not followed by .EX"
            pending = 1; marker_line = NR
            opts = $0; sub(/^\.\\"[ \t]*example:[ \t]*/, "", opts); sub(/[ \t]+$/, "", opts)
            next
        }
        /^\.EX/ {
            in_block = 1; marked = 0
            if (pending) {
                marked = 1; n++; body = ""
                print file ":" NR > (out "/" n ".where"); close(out "/" n ".where")
                print opts > (out "/" n ".opts"); close(out "/" n ".opts")
            } else if (section == "EXAMPLES") {
                print file ":" NR ": example without a marker in EXAMPLES"
            }
            pending = 0
            next
        }
        pending && !/^[.\047]/ {
            print file ":" marker_line ": marker not followed by .EX"
            pending = 0
        }
        END {
            if (pending) print file ":" marker_line ": marker not followed by .EX"
            if (in_block) print file ": .EX not closed by .EE"
        }
    ' "$1"
}

# ---- running one example ----------------------------------------------------

# Compares expected output $1 with actual output $2 (files) in mode $3
# (exact or contains); true when they match.
output_matches() {
    awk -v mode="$3" '
        function clean(s) { sub(/[ \t\r]+$/, "", s); return s }
        function ok(p, s,    k) {
            if (length(p) > 3 && substr(p, length(p) - 2) == "...") {
                k = substr(p, 1, length(p) - 3)
                return substr(s, 1, length(k)) == k
            }
            return p == s
        }
        # Does e[i..] match a[j..]?
        function m(i, j,    k, r) {
            if ((i, j) in memo) return memo[i, j]
            if (i > ne) r = j > na
            else if (e[i] == "...") {
                r = 0
                for (k = j; k <= na + 1 && !r; k++) r = m(i + 1, k)
            } else r = j <= na && ok(e[i], a[j]) && m(i + 1, j + 1)
            memo[i, j] = r
            return r
        }
        FILENAME == ARGV[1] { e[++ne] = clean($0); next }
        { a[++na] = clean($0) }
        END {
            while (ne > 0 && e[ne] == "") ne--
            while (na > 0 && a[na] == "") na--
            for (s = 1; s <= ne && e[s] == ""; s++) ;
            for (k = s; k <= ne; k++) e[k - s + 1] = e[k]
            ne -= s - 1
            for (s = 1; s <= na && a[s] == ""; s++) ;
            for (k = s; k <= na; k++) a[k - s + 1] = a[k]
            na -= s - 1
            if (mode == "contains") {
                for (k = ne; k >= 1; k--) e[2 * k] = e[k]
                for (k = 0; k <= ne; k++) e[2 * k + 1] = "..."
                ne = 2 * ne + 1
            }
            exit !m(1, 1)
        }
    ' "$1" "$2"
}

# The lines of expected output $1 that match no line of output $2 (the
# first five), for the message of a mismatch.
lines_not_printed() {
    awk '
        function clean(s) { sub(/[ \t\r]+$/, "", s); return s }
        FILENAME == ARGV[1] { if (clean($0) != "" && clean($0) != "...") e[++ne] = clean($0); next }
        { a[++na] = clean($0) }
        END {
            for (i = 1; i <= ne && shown < 5; i++) {
                p = e[i]
                prefix = length(p) > 3 && substr(p, length(p) - 2) == "..."
                if (prefix) p = substr(p, 1, length(p) - 3)
                found = 0
                for (j = 1; j <= na && !found; j++)
                    found = prefix ? substr(a[j], 1, length(p)) == p : a[j] == p
                if (!found) { print e[i]; shown++ }
            }
        }
    ' "$1" "$2"
}

# Why an example marked needs=fuse cannot run here; nothing when it can.
fuse_unusable() {
    if [ ! -r /dev/fuse ] || [ ! -w /dev/fuse ]; then
        echo "/dev/fuse cannot be opened"
    elif ! command -v fusermount3 >/dev/null; then
        echo "fusermount3 is not on PATH"
    elif bak --help 2>&1 | grep -q 'mount .*not available'; then
        echo "this bak is built without mount"
    fi
}

# Unmounts every file system mounted below directory $1.
unmount_below() {
    local mp
    awk -v d="$1/" 'index($2, d) == 1 { print $2 }' /proc/mounts 2>/dev/null |
        while read -r mp; do fusermount3 -uz "$mp" 2>/dev/null; done
}

# Runs example N; prints what went wrong and returns 1 when it fails, 2
# when it is skipped.
run_example() {
    local n=$1 where opts body
    where=$(<"$scratch/ex/$n.where")
    opts=$(<"$scratch/ex/$n.opts")
    body=$scratch/ex/$n.body
    local sets="" cd="." status=0 output=exact syntax_only=false needs_fuse=false opt
    for opt in $opts; do
        case $opt in
            set=?*) sets=${opt#set=} ;;
            cd=?*) cd=${opt#cd=} ;;
            status=*)
                status=${opt#status=}
                [[ $status =~ ^[0-9]+$ ]] || { echo "$where: bad marker option $opt"; return 1; }
                ;;
            output=exact | output=contains | output=ignore) output=${opt#output=} ;;
            syntax-only) syntax_only=true ;;
            needs=fuse) needs_fuse=true ;;
            *) echo "$where: unknown marker option $opt"; return 1 ;;
        esac
    done
    $verbose && echo "== $where [$opts]"
    if $needs_fuse; then
        local why
        why=$(fuse_unusable)
        if [ -n "$why" ]; then
            echo "$where: skipped: $why"
            return 2
        fi
        local result
        run_example_here "$n" "$where" "$opts" "$body" "$sets" "$cd" "$status" "$output" \
            "$syntax_only"
        result=$?
        unmount_below "$scratch/run/$n"
        return $result
    fi
    run_example_here "$n" "$where" "$opts" "$body" "$sets" "$cd" "$status" "$output" "$syntax_only"
}

# The rest of run_example, with its marker's options read.
run_example_here() {
    local n=$1 where=$2 opts=$3 body=$4 sets=$5 cd=$6 status=$7 output=$8 syntax_only=$9

    local dir=$scratch/run/$n
    mkdir -p "$dir"
    # The commands of a transcript, one file each (the "$ " and "> "
    # prompts taken off), and the output shown after each.
    local transcript=false k=0 line
    if grep -q '^\$ ' "$body"; then
        transcript=true
        while IFS= read -r line || [ -n "$line" ]; do
            if [[ $line == '$ '* ]]; then
                k=$((k + 1))
                printf '%s\n' "${line#\$ }" >"$dir/cmd.$k"
                : >"$dir/want.$k"
            elif [[ $line == '> '* && $k -gt 0 && ! -s $dir/want.$k ]]; then
                printf '%s\n' "${line#> }" >>"$dir/cmd.$k"
            elif [ "$k" -gt 0 ]; then
                printf '%s\n' "$line" >>"$dir/want.$k"
            elif [ -n "$line" ]; then
                echo "$where: text before the first \"\$ \" command: $line"
                return 1
            fi
        done <"$body"
    fi

    if $syntax_only; then
        local script=$body
        if $transcript; then
            cat "$dir"/cmd.* >"$dir/script"
            script=$dir/script
        fi
        local path fail=0
        if ! bash -n "$script" 2>"$dir/err"; then
            echo "$where: not valid bash:"
            sed 's/^/    /' "$dir/err"
            fail=1
        fi
        for path in $(grep -oE '(^|[^A-Za-z0-9_./-])scripts/[A-Za-z0-9_.-]+' "$script" |
                      sed 's/^[^s]*//'); do
            if [ ! -f "$src_dir/$path" ]; then
                echo "$where: $path does not exist"
                fail=1
            fi
        done
        return $fail
    fi

    local work=$dir/work
    mkdir -p "$work"
    if [ -n "$sets" ]; then
        local name
        for name in ${sets//,/ }; do
            (cd "$work" && put_fixture "$name") || { echo "$where: fixture $name"; return 1; }
        done
    fi
    mkdir -p "$work/$cd"

    if ! $transcript; then
        if [ "$output" != exact ]; then
            echo "$where: output=$output is for transcripts (\"\$ \" lines); a script's output is not compared"
            return 1
        fi
        (cd "$work/$cd" && timeout 120 bash -e -o pipefail "$body") </dev/null >"$dir/out" 2>&1
        local got=$?
        if [ "$got" -ne "$status" ]; then
            echo "$where: the script exited $got, not $status; the end of its output:"
            tail -n 40 "$dir/out" | sed 's/^/    /'
            return 1
        fi
        return 0
    fi

    # One shell runs the commands in turn, each with its output and status
    # in files of its own.
    local driver=$dir/driver i
    {
        echo "set -o pipefail"
        echo "cd \"$work/$cd\" || exit 99"
        for ((i = 1; i <= k; i++)); do
            if ! bash -n "$dir/cmd.$i" 2>"$dir/err"; then
                echo "$where: command $i is not valid bash: $(<"$dir/cmd.$i")" >&2
                cat "$dir/err" >&2
                return 1
            fi
            echo "{"
            cat "$dir/cmd.$i"
            echo "} >\"$dir/got.$i\" 2>&1 </dev/null; echo \$? >\"$dir/status.$i\""
        done
    } >"$driver" 2>&1 || { cat "$driver"; return 1; }
    timeout 120 bash "$driver" </dev/null >"$dir/driver.out" 2>&1

    local fail=0 want_status
    for ((i = 1; i <= k; i++)); do
        local cmd
        # The command's first line, for the messages.
        cmd=$(head -n 1 "$dir/cmd.$i")
        [ "$(wc -l <"$dir/cmd.$i")" -gt 1 ] && cmd="$cmd ..."
        if [ ! -f "$dir/status.$i" ]; then
            echo "$where: \$ $cmd: did not run (an earlier command ended the shell)"
            fail=1
            break
        fi
        want_status=0
        [ "$i" -eq "$k" ] && want_status=$status
        if [ "$(<"$dir/status.$i")" -ne "$want_status" ]; then
            echo "$where: \$ $cmd: exit status $(<"$dir/status.$i"), not $want_status"
            fail=1
        fi
        if [ "$output" != ignore ] && ! output_matches "$dir/want.$i" "$dir/got.$i" "$output"; then
            echo "$where: \$ $cmd: output not as shown (output=$output)"
            lines_not_printed "$dir/want.$i" "$dir/got.$i" | sed 's/^/    shown, never printed: /'
            echo "    printed:"
            head -n 60 "$dir/got.$i" | sed 's/^/    | /'
            fail=1
        fi
    done
    return $fail
}

# ---- main -------------------------------------------------------------------

fail=0
for file in "$@"; do
    if [ ! -f "$file" ]; then
        echo "$file: no such file"
        fail=1
        continue
    fi
    # The examples of the file before, and the directories they ran in.
    chmod -R u+w "$scratch/ex" "$scratch/run" 2>/dev/null
    rm -rf "$scratch/ex" "$scratch/run"
    mkdir -p "$scratch/ex"
    case $file in
        *.md) errors=$(extract_markdown "$file") ;;
        *.[1-9]) errors=$(extract_man "$file") ;;
        *) echo "$file: neither Markdown (.md) nor a manual page (.1 to .9)"; fail=1; continue ;;
    esac
    if [ -n "$errors" ]; then
        echo "$errors"
        fail=1
    fi
    passed=0 failed=0 skipped=0
    for ((n = 1; ; n++)); do
        [ -f "$scratch/ex/$n.where" ] || break
        run_example "$n"
        case $? in
            0) passed=$((passed + 1)) ;;
            2) skipped=$((skipped + 1)) ;;
            *)
                failed=$((failed + 1))
                fail=1
                ;;
        esac
    done
    echo "$file: $passed examples passed, $failed failed$([ "$skipped" -eq 0 ] || echo ", $skipped skipped")"
done
exit $fail
