#!/usr/bin/env bash
# The Windows build: cross-builds unbak.exe, dbfscan.exe and bak.exe
# for Windows x86-64 with MinGW-w64 (C and C++ runtimes and zlib linked in,
# so they need only system DLLs) into build-win/, and says where they are.
#   scripts/windows.sh            the three programs
#   scripts/windows.sh --test     and the unit and end-to-end tests, run
#                                 against the .exe files under Wine
#   scripts/windows.sh --package  and the zip for Windows users: the .exe
#                                 files, the README and the manual pages as
#                                 text (build-win/unbak-<version>-win64.zip)
# What it needs (the cross compiler, zlib for it, Wine, the GoogleTest
# sources, groff) is installed with apt-get when missing, as root
# (scripts/deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
. scripts/deps.sh
need_debian_packages windows

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
case ${1:-} in
--test)
    # The Wine prefix is made (a few seconds, once) before test discovery
    # runs the test programs.
    scripts/wine-run.sh cmd.exe /c exit </dev/null >/dev/null 2>&1
    cmake --build build-win -j"$jobs"
    (cd build-win && ctest --output-on-failure -j"$jobs" </dev/null)
    ;;
--package)
    cmake --build build-win -j"$jobs" --target unbak dbfscan bak manual_texts
    zip=$(cd build-win && cpack -G ZIP | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p')
    echo "Windows zip: $zip"
    ;;
*)
    cmake --build build-win -j"$jobs" --target unbak dbfscan bak
    echo "Windows programs: $PWD/build-win/unbak.exe $PWD/build-win/dbfscan.exe" \
         "$PWD/build-win/bak.exe"
    ;;
esac
