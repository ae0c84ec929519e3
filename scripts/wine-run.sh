#!/bin/sh
# Runs a Windows program under Wine, quietly: the cross build's emulator
# (cmake/mingw-w64-x86_64.cmake), through which ctest and test discovery run
# the .exe files. Exit status, stdin and stdout are the program's own.
WINE=${WINE:-$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko prompts if this run has to create the Wine prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# The wine server, and the system processes the first program of a server
# starts, would inherit that program's stdout and stderr, and ctest waits
# for those to close: a test would last until the server exits, 3 s after
# its last client (for the whole run when tests overlap). So when no server
# is running, one is started here, detached from them, staying 10 s after
# its last client, and a first program with no output starts the rest.
server=${WINESERVER:-$(dirname "$(readlink -f "$WINE")")/wineserver}
[ -x "$server" ] || server=$(command -v wineserver || true)
# Parallel runs wait on a lock (which the server must not inherit), so none
# reaches a server still starting.
boot() {
    if [ -n "$server" ] && "$server" -p10 </dev/null >/dev/null 2>&1 9>&-; then
        "$WINE" cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&-
    fi
}
if command -v flock >/dev/null; then
    (flock 9; boot) 9>"${TMPDIR:-/tmp}/wine-run-$(id -u).lock"
else
    boot
fi

# Test discovery lists a program's tests while the build runs; under load
# Wine has been seen to fail a program's start now and then (status 1, no
# output), which would fail the build. Listing has no side effects, so it
# is tried again.
case " $* " in
*" --gtest_list_tests "*)
    for try in 1 2; do
        out=$("$WINE" "$@") && { printf '%s\n' "$out"; exit 0; }
        [ -n "$out" ] && { printf '%s\n' "$out"; exit 1; }
        sleep 1
    done
    ;;
esac
exec "$WINE" "$@"
