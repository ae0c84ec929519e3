#!/usr/bin/env bash
# Builds the project twice (plain, and with AddressSanitizer + UBSan), with
# libdeflate for the fast inflate path, and runs the whole test suite in
# both builds; builds bak and its tests with ThreadSanitizer and runs the
# tests of the threaded inflate (-j) there; then cross-builds the Windows programs (which inflate whole
# groups with zlib) and runs the suite against them under Wine
# (scripts/windows.sh). The suite includes the packaging checks: the manual
# pages, an install into a scratch prefix, the .deb (plain build) and the
# Windows zip. Every Debian package this needs is installed first when it is
# missing (as root; scripts/deps.sh), so a bare Debian box needs nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
. scripts/deps.sh
need_debian_packages test windows


cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" </dev/null)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DUNBAK_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs" </dev/null)

# Only what runs on threads: bak's tests that compare -j N with -j 1, on
# sets and on every kept fuzzing input.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUNBAK_TSAN=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target bak test_bak test_replay test_pipeline
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:exitcode=66 \
   ctest --output-on-failure -j"$jobs" -R '^(BakParallel|ParallelReplay|Pipeline)\.' --no-tests=error </dev/null)

scripts/windows.sh --test
