#!/usr/bin/env bash
# The main job on the bundled example: build, write example/src as a
# three-disk compressed backup set with mkbak, restore it with unbak from
# the last disk (answering the dialogue from a here-string), then list the
# restored tree.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target unbak dbfscan mkbak >/dev/null

rm -rf example-out
mkdir -p example-out/restore
cp -a example/src example-out/src
chmod a-w example-out/src/Tools/notes.txt          # restored read-only
build/mkbak -g 32768 -d 120000 -n "bundled example" example-out/src example-out/sample

cd example-out/restore
# N: start from disk 1; then the names of disks 1, 2 and 3 when asked.
../../build/unbak ../sample.003 -x <<< $'N\n../sample.001\n../sample.002\n../sample.003\n'
echo
echo "restored tree:"
find C_ -print0 | sort -z | xargs -0 ls -ld --time-style=+%Y-%m-%d
diff -r C_ ../src && echo "restored files are identical to example-out/src"
