#!/usr/bin/env bash
# Runs Windows programs under Wine for the cross build's tests, with Wine's state in a
# prefix of our own rather than ~/.wine.
#
#   scripts/wine.sh start          prepares the prefix, starts a persistent wineserver and
#                                  keeps Wine's own services up
#   scripts/wine.sh run PROG ARGS  runs PROG under wine64 (the build's test emulator)
#   scripts/wine.sh stop           stops the wineserver and every program of the prefix
#
# WINEPREFIX defaults to a folder under the temporary directory. Without a persistent
# wineserver each run whose output goes to a pipe takes seconds instead of milliseconds:
# Wine's helper processes inherit the pipe and keep it open.
set -euo pipefail

export WINEDEBUG="${WINEDEBUG:--all}"
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/pelldor-wine-$(id -u)}"
WINE64="${PELLDOR_WINE64:-/usr/lib/wine/wine64}"
WINESERVER="${PELLDOR_WINESERVER:-/usr/lib/wine/wineserver}"

# Makes the prefix once, whoever comes first (tests may start two at a time).
prepare() {
    [[ -f "$WINEPREFIX/system.reg" ]] && return 0
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        [[ -f "$WINEPREFIX/system.reg" ]] && exit 0
        # No Mono or Gecko: nothing here needs them, and their installers would ask.
        WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE64" wineboot --init > /dev/null 2>&1 < /dev/null
        # Without a display the null driver still gives windows, hidden ones included.
        "$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > /dev/null 2>&1 < /dev/null
        # The registry reaches its files when the server ends.
        "$WINESERVER" -w
    ) 9> "$WINEPREFIX/.pelldor-lock"
}

case "${1:-}" in
run)
    shift
    prepare
    exec "$WINE64" "$@"
    ;;
start)
    prepare
    # In a session of its own, so it outlives the shell (and process group) that started it.
    setsid "$WINESERVER" -p > /dev/null 2>&1 < /dev/null &
    # Wine ends its service processes once no program of the prefix runs, and starts them
    # again for the next program; started then they inherit its output pipes, and a test
    # waits seconds for those to close. An idle notepad (windowless on the null driver)
    # keeps them up until stop.
    setsid "$WINE64" notepad.exe > /dev/null 2>&1 < /dev/null &
    # Ready once a client can reach it.
    "$WINE64" cmd /c exit > /dev/null 2>&1 < /dev/null
    ;;
stop)
    "$WINESERVER" -k > /dev/null 2>&1 || true
    ;;
*)
    echo "usage: $0 start | run PROGRAM [ARGS...] | stop" >&2
    exit 2
    ;;
esac
