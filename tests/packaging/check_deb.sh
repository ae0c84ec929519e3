#!/usr/bin/env bash
# `cpack -G DEB` gives one .deb with the programs in /usr/bin and their
# manual pages, compressed, in /usr/share/man/man1, depending on the shared
# libraries they link; unpacked with dpkg-deb -x, its mkbak writes the
# bundled example as a three-disk set, its bak test finds every file of the
# set intact, and its unbak restores that set, the dialogue answered on
# stdin, to files equal to example/src.
#   check_deb.sh BUILD_DIR SCRATCH_DIR SOURCE_DIR PROGRAM...
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$2
source=$(cd "$3" && pwd)
shift 3
for tool in cpack dpkg-deb dpkg-shlibdeps file gzip; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is not installed (Debian packages: cmake dpkg-dev file gzip)"
        exit 77
    fi
done

rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"
    exit 1
fi
debs=("$scratch"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "cpack did not leave one .deb in $scratch"
    exit 1
fi
deb=${debs[0]}

expected=(./usr/share/doc/unbak/README.md)
for program in "$@"; do
    expected+=("./usr/bin/$program" "./usr/share/man/man1/$program.1.gz")
done
want=$(printf '%s\n' "${expected[@]}" | sort)
got=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
if [ "$got" != "$want" ]; then
    echo "the package's files differ from those expected:"
    diff <(echo "$want") <(echo "$got") || true
    exit 1
fi
depends=$(dpkg-deb -f "$deb" Depends)
wanted=(libc6 zlib1g)
# libarchive13: bak convert.
"$build/bak" --help 2>/dev/null | grep -q '^  convert SET' && wanted+=(libarchive13)
# A bak with mount links libfuse 3 and needs fusermount3 (fuse3).
if "$build/bak" --help 2>/dev/null | grep -q '^  mount SET'; then
    wanted+=(libfuse3-3 fuse3)
fi
for library in "${wanted[@]}"; do
    if ! grep -qE "(^|, )$library( |,|$)" <<<"$depends"; then
        echo "Depends lacks $library: $depends"
        exit 1
    fi
done

root=$scratch/root
dpkg-deb -x "$deb" "$root"
for program in "$@"; do
    if ! gzip -dc "$root/usr/share/man/man1/$program.1.gz" | cmp -s - "$source/man/$program.1"; then
        echo "the packaged page of $program is not man/$program.1"
        exit 1
    fi
    if ! file "$root/usr/bin/$program" | grep -q ', stripped'; then
        echo "usr/bin/$program is not stripped: $(file "$root/usr/bin/$program")"
        exit 1
    fi
done

# The example as scripts/example.sh restores it, with the unpacked programs.
"$root/usr/bin/mkbak" -g 32768 -d 120000 -n "bundled example" "$source/example/src" \
    "$scratch/sample" >/dev/null
status=0
"$root/usr/bin/bak" test "$scratch"/sample.001 >"$scratch/check.out" 2>&1 || status=$?
if [ "$status" -ne 0 ] || ! tail -n 1 "$scratch/check.out" | grep -q '^bak: all .* intact'; then
    echo "the packaged bak test ended with status $status:"
    cat "$scratch/check.out"
    exit 1
fi
mkdir "$scratch/restore"
cd "$scratch/restore"
status=0
printf 'N\n../sample.001\n../sample.002\n../sample.003\n' |
    "$root/usr/bin/unbak" ../sample.003 -x >../restore.out || status=$?
if [ "$status" -ne 0 ]; then
    echo "the packaged unbak ended with status $status:"
    cat ../restore.out
    exit 1
fi
if ! diff -r C_ "$source/example/src"; then
    echo "the packaged unbak restored files that differ from example/src"
    exit 1
fi
