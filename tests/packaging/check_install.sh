#!/usr/bin/env bash
# `cmake --install` into a scratch prefix gives exactly the programs in bin/,
# their manual pages in share/man/man1/ and the README in share/doc/unbak/;
# the installed unbak runs (its usage text, status 0).
#   check_install.sh BUILD_DIR SCRATCH_PREFIX PROGRAM...
set -euo pipefail
build=$1
prefix=$2
shift 2

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

expected=(share/doc/unbak/README.md)
for program in "$@"; do
    expected+=("bin/$program" "share/man/man1/$program.1")
done
want=$(printf '%s\n' "${expected[@]}" | sort)
got=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
if [ "$got" != "$want" ]; then
    echo "installed files differ from those expected:"
    diff <(echo "$want") <(echo "$got") || true
    exit 1
fi
for program in "$@"; do
    if [ ! -x "$prefix/bin/$program" ]; then
        echo "bin/$program is not executable"
        exit 1
    fi
done

status=0
out=$("$prefix/bin/unbak" </dev/null) || status=$?
if [ "$status" -ne 0 ] || ! grep -q '^usage: unbak ' <<<"$out"; then
    echo "the installed unbak did not print its usage text with status 0 (status $status):"
    echo "$out"
    exit 1
fi
