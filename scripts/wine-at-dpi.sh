#!/usr/bin/env bash
# Runs Windows programs under Wine at one display scaling, as a teacher's laptop at 125, 150 or
# 200 % would: a fresh prefix whose LogPixels is DPI, and the windows platform plugin on a virtual
# display of its own. Its own prefix, server and display: the Wine tests that run at the same time
# in the build's main prefix meet none of it. The prefix is removed when every program passed.
#   scripts/wine-at-dpi.sh DPI PREFIX BIN_FOLDER PROGRAM.exe [ARG...] [-- PROGRAM.exe [ARG...]]...
set -euo pipefail
[ $# -ge 4 ] || { echo "usage: $0 DPI PREFIX BIN_FOLDER PROGRAM.exe [ARG...] [-- PROGRAM...]" >&2; exit 2; }
dpi=$1 prefix=$2 bin=$3
shift 3
here=$(cd "$(dirname "$0")/.." && pwd)
wine=/usr/lib/wine/wine64
export WINEPREFIX=$prefix WINEDEBUG=-all WINEPATH=Z:$bin

# Large enough for the biggest window at 200 %: Wine keeps a window within its screen.
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 2560x1600x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb=$!
cleanup() {
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    rm -f "$display_file"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
[ -s "$display_file" ] || { echo "wine-at-dpi: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(cat "$display_file")

# The display first: the prefix's desktop takes the display it finds when it starts, and without
# one it makes a 1024 x 768 screen of its own, which cuts the windows at 200 %.
cmake -DPREFIX="$prefix" -DBIN="$bin" -DLOGPIXELS="$dpi" -P "$here/cmake/WinePrefix.cmake"

status=0
while [ $# -gt 0 ]; do
    command=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        command+=("$1")
        shift
    done
    [ $# -gt 0 ] && shift
    echo "wine-at-dpi: $dpi dpi: ${command[*]}"
    "$wine" "${command[@]}" || { echo "wine-at-dpi: ${command[0]} failed at $dpi dpi" >&2; status=1; }
done
if [ "$status" -eq 0 ]; then
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    /usr/lib/wine/wineserver -w 2>/dev/null || true
    rm -rf "$prefix"
fi
exit "$status"
