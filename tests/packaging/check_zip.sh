#!/usr/bin/env bash
# `cpack -G ZIP` in the Windows build gives NAME.zip holding one folder NAME
# with exactly the .exe files, README.md and each program's manual page as
# plain text (no overstriking or escape sequences left in it).
#   check_zip.sh BUILD_DIR SCRATCH_DIR NAME PROGRAM...
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$2
name=$3
shift 3

rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
if ! cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$scratch" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"
    exit 1
fi
zip=$scratch/$name.zip
if [ ! -f "$zip" ]; then
    echo "cpack did not write $zip"
    exit 1
fi

expected=("$name/README.md")
for program in "$@"; do
    expected+=("$name/$program.exe" "$name/$program.txt")
done
want=$(printf '%s\n' "${expected[@]}" | sort)
mkdir "$scratch/unpacked"
(cd "$scratch/unpacked" && cmake -E tar xf "$zip")
got=$(cd "$scratch/unpacked" && find . -type f | sed 's|^\./||' | sort)
if [ "$got" != "$want" ]; then
    echo "the zip's files differ from those expected:"
    diff <(echo "$want") <(echo "$got") || true
    exit 1
fi

for program in "$@"; do
    exe=$scratch/unpacked/$name/$program.exe
    text=$scratch/unpacked/$name/$program.txt
    if [ "$(head -c 2 "$exe")" != MZ ]; then
        echo "$program.exe is not a Windows program"
        exit 1
    fi
    if ! grep -q '^SYNOPSIS' "$text" || ! grep -qi "^ *$program " "$text"; then
        echo "$program.txt is not the rendered page of $program"
        exit 1
    fi
    if LC_ALL=C grep -q $'[\b\033]' "$text"; then
        echo "$program.txt holds overstriking or escape sequences"
        exit 1
    fi
done
