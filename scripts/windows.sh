#!/usr/bin/env bash
# The Windows build: cross-builds unbak.exe and dbfscan.exe for Windows
# x86-64 with MinGW-w64 (C and C++ runtimes and zlib linked in, so they need
# only system DLLs) into build-win/, and says where they are.
#   scripts/windows.sh          the two programs
#   scripts/windows.sh --test   and the unit and end-to-end tests, run
#                               against the .exe files under Wine
# What it needs is installed with apt-get when missing (as root): the cross
# compiler, zlib for it, Wine, and the GoogleTest sources.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64)
[ -f /usr/x86_64-w64-mingw32/lib/libz.a ] || missing+=(libz-mingw-w64-dev)
command -v wine64 >/dev/null || command -v wine >/dev/null || [ -x /usr/lib/wine/wine64 ] ||
    missing+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "installing ${missing[*]}" >&2
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ "${1:-}" = --test ]; then
    # The Wine prefix is made (a few seconds, once) before test discovery
    # runs the test programs.
    scripts/wine-run.sh cmd.exe /c exit </dev/null >/dev/null 2>&1
    cmake --build build-win -j"$jobs"
    (cd build-win && ctest --output-on-failure -j"$jobs" </dev/null)
else
    cmake --build build-win -j"$jobs" --target unbak dbfscan
    echo "Windows programs: $PWD/build-win/unbak.exe $PWD/build-win/dbfscan.exe"
fi
