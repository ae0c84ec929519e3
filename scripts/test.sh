#!/usr/bin/env bash
# Builds the project twice (plain, and with AddressSanitizer + UBSan), with
# libdeflate (installed when missing), and runs the whole test suite in both
# builds; then cross-builds the Windows programs (which inflate whole groups
# with zlib) and runs the suite against them under Wine (scripts/windows.sh,
# which installs the cross compiler and Wine when they are missing).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

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
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" </dev/null)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DUNBAK_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs" </dev/null)

scripts/windows.sh --test
