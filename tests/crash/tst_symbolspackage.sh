#!/usr/bin/env bash
# The Windows release as support meets it: the packaged corvin.exe crashes under Wine, and its
# dump is read by scripts/read-dump.sh with nothing but corvin-<version>-win64-symbols.zip (and
# Wine's own DLLs for the frames inside Windows). Run by the test command after cpack and the
# target `symbols`, in the build's test prefix.
#   tst_symbolspackage.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
wine=/usr/lib/wine/wine64
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all

fail() {
    echo "FAIL: $1"
    exit 1
}

package=$(ls "$build"/corvin-*-win64.zip 2>/dev/null | head -n 1)
[ -n "$package" ] || fail "no corvin-<version>-win64.zip in $build"
symbols=${package%.zip}-symbols.zip
[ -f "$symbols" ] || fail "no $(basename "$symbols")"

work=$(mktemp -d)
corvin=
trap '[ -n "$corvin" ] && kill "$corvin" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/app" "$work/symbols" "$work/run/dump"
(cd "$work/app" && cmake -E tar xf "$package") || fail "cannot unpack $package"
(cd "$work/symbols" && cmake -E tar xf "$symbols") || fail "cannot unpack $symbols"

# The prefix's environment has Qt take its offscreen platform from the build.
(cd "$work/run" && exec "$wine" "$work/app/corvin.exe" >/dev/null 2>&1) &
corvin=$!
for _ in $(seq 60); do
    grep -qs "current currentPath" "$work"/run/log/*.log && break
    sleep 1
done
"$wine" "$build/bin/corvin_crash_helper.exe" poke corvin.exe || fail "cannot make corvin.exe crash"
for _ in $(seq 60); do
    kill -0 "$corvin" 2>/dev/null || break
    sleep 1
done
kill -0 "$corvin" 2>/dev/null && fail "corvin.exe did not end after its crash"
corvin=

dumps=("$work"/run/dump/*.dmp)
[ -f "${dumps[0]}" ] && [ ${#dumps[@]} -eq 1 ] || fail "expected one dump, found: ${dumps[*]}"
output=$("$root/scripts/read-dump.sh" "${dumps[0]}" "$work/symbols" \
    "$WINEPREFIX/drive_c/windows/system32" 2>&1) || fail "read-dump.sh: $output"
# read-dump.sh has found the package's build id in the symbols package. The thread started at
# address 0 crashed; the main thread waits in Qt's event loop.
grep -Eq '^Crashing thread \(tid [0-9]+\):$' <<<"$output" || fail "no crashing thread: $output"
grep -Eq '^Main thread \(tid [0-9]+\):$' <<<"$output" || fail "no main thread: $output"
grep -Eq 'Qt5Core\.dll`QEventDispatcherWin32::processEvents' <<<"$output" ||
    fail "the frames inside Qt are not named: $output"
echo "PASS: a dump of the packaged corvin.exe read with $(basename "$symbols")"
