#!/usr/bin/env bash
# The Debian packages the scripts need, in one place, and their installation.
#
#   scripts/deps.sh SET...            install what SET... needs and is missing
#   . scripts/deps.sh; need_debian_packages SET...   the same, from a script
#
# Sets:
#   build    build the programs and the tests (scripts/example.sh)
#   test     and run every check of the suite: the manual pages, the .deb
#   windows  cross-build the Windows programs and test them under Wine, and
#            render the pages for the Windows zip (scripts/windows.sh)
#   bench    and measure the restore (scripts/bench.sh)
#
# As root, missing packages are installed with apt-get, without questions
# (standard input is not read, so this works in CI with no terminal); the
# package lists are updated once per run of the calling script. Otherwise
# the missing packages are named with the command that installs them, and
# the call fails.

debian_packages_of() {
    case $1 in
    # libcli11-dev, nlohmann-json3-dev: bak's command line and JSON
    # (headers only; the Windows build copies them into its build tree).
    # libarchive-dev: bak convert's archives; libfuse3-dev: bak mount (each
    # left out of a build without it, and of the Windows build).
    build) echo g++ make cmake zlib1g-dev libgtest-dev pkg-config libdeflate-dev libcli11-dev \
        nlohmann-json3-dev libarchive-dev libfuse3-dev ;;
    # groff-base: the manual-page check; dpkg-dev (dpkg-shlibdeps) and file:
    # the .deb's dependencies. libarchive-tools (bsdtar) and unzip read bak
    # convert's archives back; fuse3 (fusermount3): the mount tests and
    # examples.
    test) echo "$(debian_packages_of build) groff-base dpkg-dev file libarchive-tools unzip fuse3" ;;
    # The cross build takes bak's headers from the host's packages too.
    windows) echo make cmake groff-base g++-mingw-w64-x86-64 libz-mingw-w64-dev wine64 googletest \
        libcli11-dev nlohmann-json3-dev ;;
    bench) echo "$(debian_packages_of build) time zip unzip libarchive-tools" ;;
    *)
        echo "deps.sh: unknown package set $1 (build, test, windows, bench)" >&2
        return 1
        ;;
    esac
}

need_debian_packages() {
    local wanted=() set missing=() package
    for set in "$@"; do
        wanted+=($(debian_packages_of "$set")) || return 1
    done
    if ! command -v dpkg-query >/dev/null; then
        echo "deps.sh: not a Debian system; make sure these are installed: ${wanted[*]}" >&2
        return 0
    fi
    for package in $(printf '%s\n' "${wanted[@]}" | sort -u); do
        [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null)" = "ii " ] ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages: ${missing[*]}" >&2
        echo "install them as root, then run this again:" >&2
        echo "  sudo apt-get install ${missing[*]}" >&2
        return 1
    fi
    echo "installing the Debian packages ${missing[*]}" >&2
    local log
    log=$(mktemp)
    if [ -z "${UNBAK_APT_UPDATED:-}" ]; then
        if ! apt-get update -q </dev/null >"$log" 2>&1; then
            cat "$log" >&2
            rm -f "$log"
            return 1
        fi
        export UNBAK_APT_UPDATED=1
    fi
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "${missing[@]}" </dev/null >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "deps.sh: apt-get could not install ${missing[*]}" >&2
        return 1
    fi
    rm -f "$log"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    if [ $# -eq 0 ]; then
        echo "usage: scripts/deps.sh build|test|windows|bench..." >&2
        exit 2
    fi
    need_debian_packages "$@"
fi
