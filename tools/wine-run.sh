#!/bin/bash
# Runs a Windows console program of the cross build under Wine, quietly, in a
# throw-away prefix. CMake uses it as the cross-compiling emulator, so CTest
# and test discovery call it as:   wine-run.sh [options] PROGRAM.exe ARGS...
#
#   --prefix DIR   the Wine prefix (created and initialised on first use)
#   --wine PATH    the wine loader (default /usr/lib/wine/wine64)
#   --path DIR     a Unix directory added to the Windows PATH (DLL search);
#                  may be given more than once
#
# Exit status: the program's, or 125 when Wine itself cannot be set up.
#
# Wine starts helper processes (wineserver, services.exe, explorer.exe, ...)
# that outlive the program and inherit its standard streams. Started from a
# test, they would hold CTest's output pipes open until they exit, so this
# script starts them itself, detached from every caller's streams, and leaves
# them running briefly (PALVEX_WINE_LINGER seconds, default 10) so that the
# next test finds them warm: a program then starts in well under 0.1 s.
set -u

wine=/usr/lib/wine/wine64
prefix=${WINEPREFIX:-}
dll_path=
while [ $# -gt 0 ]; do
    case $1 in
        --prefix) prefix=$2; shift 2 ;;
        --wine) wine=$2; shift 2 ;;
        --path) dll_path="${dll_path:+$dll_path;}Z:${2//\//\\}"; shift 2 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
if [ $# -eq 0 ] || [ -z "$prefix" ]; then
    echo "usage: wine-run.sh --prefix DIR [--wine PATH] [--path DIR]... PROGRAM [ARGS...]" >&2
    exit 125
fi
if [ ! -x "$wine" ]; then
    wine=$(command -v wine64 || command -v wine) || {
        echo "wine-run.sh: no wine found (install Debian's wine and wine64)" >&2
        exit 125
    }
fi
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver) || {
    echo "wine-run.sh: no wineserver found next to $wine" >&2
    exit 125
}

mkdir -p "$prefix" || exit 125
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX=$prefix
# Silent. A program that ends with status 53 lacks a DLL: run it again with
# PALVEX_WINEDEBUG=-all,err+module to have Wine name it.
export WINEDEBUG=${PALVEX_WINEDEBUG:--all}
# No Mono or Gecko: their absence would otherwise be offered for download.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Console programs only; never open windows on a developer's display.
unset DISPLAY WAYLAND_DISPLAY
[ -n "$dll_path" ] && export WINEPATH="${WINEPATH:+$WINEPATH;}$dll_path"

# One test at a time sets the prefix up; the others wait here. The lock's
# descriptor is closed for everything started inside, so that no lingering
# Wine process keeps the lock.
exec 9>"$prefix.lock" || exit 125
flock 9 || exit 125
if [ ! -f "$prefix/.initialised" ]; then
    if ! "$wine" wineboot -i </dev/null >"$prefix.log" 2>&1 9>&-; then
        echo "wine-run.sh: could not initialise $prefix, see $prefix.log" >&2
        exit 125
    fi
    # Until the server exits the registry is not on disk.
    "$wineserver" -w 9>&-
    touch "$prefix/.initialised"
fi
# Exit status 0: no server was running and this one is ours; then also
# start the session's services while nobody's streams are attached.
if "$wineserver" -p"${PALVEX_WINE_LINGER:-10}" </dev/null >/dev/null 2>&1 9>&-; then
    "$wine" wineboot </dev/null >/dev/null 2>&1 9>&-
fi
exec 9>&-

# Windows text mode writes CR LF; test discovery and log readers want LF.
exec "$wine" "$@" > >(exec sed -u 's/\r$//')
