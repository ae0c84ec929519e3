#!/usr/bin/env bash
# The main job on the bundled example: build, write example/src as a
# three-disk compressed backup set with mkbak, restore it with unbak from
# the last disk (answering the dialogue from a here-string), then list the
# restored tree.
# With --windows, the same set is then restored by the Windows build's
# unbak.exe under Wine (scripts/windows.sh builds it), and its output, files,
# times and read-only states are compared with those of the Linux run.
set -euo pipefail
cd "$(dirname "$0")/.."
windows=false
[ "${1:-}" = --windows ] && windows=true
# libdeflate for the fast inflate path, found with pkg-config; installed
# with apt-get when missing (as root), so this build takes that path.
if ! { command -v pkg-config >/dev/null && pkg-config --exists libdeflate; }; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "installing libdeflate-dev pkg-config" >&2
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends libdeflate-dev pkg-config >/dev/null
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target unbak dbfscan mkbak >/dev/null

rm -rf example-out
mkdir -p example-out/restore
cp -a example/src example-out/src
chmod a-w example-out/src/Tools/notes.txt          # restored read-only
build/mkbak -g 32768 -d 120000 -n "bundled example" example-out/src example-out/sample

cd example-out/restore
# N: start from disk 1; then the names of disks 1, 2 and 3 when asked.
answers=$'N\n../sample.001\n../sample.002\n../sample.003\n'
../../build/unbak ../sample.003 -x <<< "$answers" | tee ../restore.out
echo
echo "restored tree:"
find C_ -print0 | sort -z | xargs -0 ls -ld --time-style=+%Y-%m-%d
diff -r C_ ../src && echo "restored files are identical to example-out/src"
$windows || exit 0

# Each restored file with its modification time and whether it is writable.
file_states() {
    find C_ -type f | sort | while read -r f; do
        echo "$f $(stat -c %Y "$f") $(stat -c %A "$f" | cut -c3)"
    done
}
../../scripts/windows.sh >/dev/null
mkdir ../restore-win
cd ../restore-win
echo
echo "the same restore with build-win/unbak.exe under Wine:"
# The console's "\r\n" line ends read as "\n".
../../scripts/wine-run.sh ../../build-win/unbak.exe ../sample.003 -x <<< "$answers" |
    sed 's/\r$//' > ../restore-win.out
diff ../restore.out ../restore-win.out && echo "unbak.exe printed the same output as unbak"
diff -r C_ ../restore/C_ && echo "unbak.exe restored the same files"
diff <(cd ../restore && file_states) <(file_states) &&
    echo "with the same modification times and read-only states"
