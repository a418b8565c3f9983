#!/usr/bin/env bash
# The Windows installer tried as a user would, in a fresh Wine prefix on a virtual display:
# silent install, an upgrade over a site's config.ini, the installed corvin.exe started from
# another working folder with nothing on the path but what the installer put there (log file,
# login window, a second start refused), then a silent uninstall.
#   scripts/windows-check.sh <Windows build folder>
set -euo pipefail
build=$(cd "$1" && pwd)
setup=$(ls "$build"/corvin-*-win64-setup.exe | head -n 1)
check=$build/install-check
wine=/usr/lib/wine/wine64

fail() {
    echo "windows-check: $*" >&2
    exit 1
}

rm -rf "$check"
mkdir -p "$check/work"
export WINEPREFIX=$check/prefix WINEDEBUG=-all
unset WINEPATH QT_PLUGIN_PATH

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$check/display" 2>/dev/null &
xvfb=$!
cleanup() {
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$check/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$check/display")

"$wine" wineboot --init >/dev/null 2>&1
program='C:\Program Files\Corvin'
installed="$WINEPREFIX/drive_c/Program Files/Corvin"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Corvin"

# Install, then install again over a config.ini the site has written.
"$wine" "$setup" /S
/usr/lib/wine/wineserver -w
for file in corvin.exe Qt5Core.dll Qt5Gui.dll Qt5Widgets.dll Qt5Network.dll \
        platforms/qwindows.dll styles/qwindowsvistastyle.dll config.ini.example Uninstall.exe; do
    [ -f "$installed/$file" ] || fail "the installer did not install $file"
done
[ -f "$menu/Corvin.lnk" ] || fail "no Start-menu entry"
cmp -s "$installed/config.ini" "$installed/config.ini.example" \
    || fail "a first install does not make config.ini from the example"
printf '[Server]\r\nCorvinHost=http://site.example\r\n' >"$installed/config.ini"
cp "$installed/config.ini" "$check/site-config.ini"
"$wine" "$setup" /S
/usr/lib/wine/wineserver -w
cmp -s "$installed/config.ini" "$check/site-config.ini" || fail "the upgrade overwrote config.ini"

# The installed program, started from another folder.
window_of() { xwininfo -root -tree | grep -F "\"$1\": (\"corvin.exe\"" | awk '{print $1}' | head -n 1 || true; }
cd "$check/work"
"$wine" "$program\\corvin.exe" >/dev/null 2>&1 &
first=$!
for _ in $(seq 300); do
    login=$(window_of 'Corvin助手')
    [ -n "$login" ] && break
    kill -0 "$first" 2>/dev/null || fail "corvin.exe ended at start"
    sleep 0.1
done
[ -n "$login" ] || fail "no login window"
logs=(log/log*.log)
[ ${#logs[@]} -eq 1 ] || fail "expected one log file, found: ${logs[*]}"
[[ $(basename "${logs[0]}") =~ ^log[0-9]{14}\.log$ ]] || fail "log file name ${logs[0]}"
# The first record: "\n\r[" time "]main.cpp int main(int, char**)  Line:N  \r\nContent:current ..."
python3 - "${logs[0]}" <<'PY' || fail "the log's first record is not the working-directory line"
import re, sys
data = open(sys.argv[1], 'rb').read()
first = data.split(b'\n\r[')[1]
sys.exit(0 if re.match(rb'[-0-9 :]{23}\]main\.cpp .*  Line:\d+  \r\nContent:current currentPath: ', first) else 1)
PY
geometry=$(xwininfo -id "$login" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')
[ "$geometry" = 640x480 ] || fail "login window is $geometry, not 640x480"
sleep 1
xwd -id "$login" -silent >"$check/login.xwd"
python3 - "$check/login.xwd" <<'PY' || fail "the login window is blank"
import struct, sys
data = open(sys.argv[1], 'rb').read()
header = struct.unpack('>25I', data[:100])
size, width, height, bpl, bpp = header[0], header[4], header[5], header[12], header[11]
ncolors = header[19]
pixels = data[size + ncolors * 12:]
colours = {pixels[y * bpl + x * 4:y * bpl + x * 4 + 3] for y in range(0, height, 3) for x in range(0, width, 3)}
print('login window %dx%d, %d colours' % (width, height, len(colours)))
sys.exit(0 if bpp == 32 and len(colours) > 8 else 1)
PY

# A second start while the first runs: the box, then -1.
"$wine" "$program\\corvin.exe" >/dev/null 2>&1 &
second=$!
for _ in $(seq 300); do
    box=$(window_of '提示')
    [ -n "$box" ] && break
    sleep 0.1
done
[ -n "$box" ] || fail "the second start shows no box"
sleep 0.5
xdotool windowactivate --sync "$box" 2>/dev/null || true
xdotool key --window "$box" Return
status=0
wait "$second" || status=$?
[ "$status" -eq 255 ] || fail "the second start ended with $status, not -1"
kill -0 "$first" 2>/dev/null || fail "the first instance ended with the second"
"$wine" taskkill /f /im corvin.exe >/dev/null 2>&1 || true
wait "$first" 2>/dev/null || true

# Uninstall: the program's files go, the site's config.ini stays.
"$wine" "$program\\Uninstall.exe" /S
/usr/lib/wine/wineserver -w
for file in corvin.exe Qt5Core.dll platforms/qwindows.dll config.ini.example Uninstall.exe; do
    [ ! -e "$installed/$file" ] || fail "the uninstaller left $file"
done
[ ! -e "$menu" ] || fail "the uninstaller left the Start-menu entry"
cmp -s "$installed/config.ini" "$check/site-config.ini" || fail "the uninstaller took config.ini"
echo "windows-check: install, upgrade, start, refusal and uninstall as expected"
