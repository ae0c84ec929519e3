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

exec "$WINE" "$@"
