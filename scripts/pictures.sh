#!/usr/bin/env bash
# Renders every window of Corvin in each of its states, offscreen, into PNG files, each with the
# list of its window's visible controls beside it (<state>.controls), which the picture test
# compares with the windows as they are:
#   scripts/pictures.sh [output folder]     (default docs/pictures)
# The Windows build's login and selection windows at 150 % display scaling, under Wine on a
# virtual display, as win150-login.png and win150-select.png (CORVIN_QT_MINGW and CORVIN_HTTPLIB
# as for the test command):
#   scripts/pictures.sh --windows [output folder]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
# Without a CJK font the Chinese texts come out as boxes.
corvin_ensure_packages "${CORVIN_BUILD_PACKAGES[@]}" fonts-wqy-microhei

windows=
if [ "${1:-}" = --windows ]; then
    windows=1
    shift
fi
out=${1:-docs/pictures}
mkdir -p "$out"

if [ -z "$windows" ]; then
    build=${CORVIN_BUILD_DIR:-build}
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j"$(nproc)" --target corvin-pictures
    QT_QPA_PLATFORM=offscreen "$build/pictures/corvin-pictures" "$out"
    exit 0
fi

[ -n "${CORVIN_QT_MINGW:-}" ] && [ -n "${CORVIN_HTTPLIB:-}" ] \
    || { echo "CORVIN_QT_MINGW and CORVIN_HTTPLIB must be set for --windows (see README)" >&2; exit 1; }
corvin_ensure_packages "${CORVIN_WINDOWS_PACKAGES[@]}"
win=${CORVIN_WINDOWS_BUILD_DIR:-build-win}
cmake -S . -B "$win" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCORVIN_QT_MINGW="$CORVIN_QT_MINGW" -DCORVIN_HTTPLIB="$CORVIN_HTTPLIB" >/dev/null
cmake --build "$win" -j"$(nproc)" --target corvin-pictures
win=$(cd "$win" && pwd)
shots=$(mktemp -d)
trap 'rm -rf "$shots"' EXIT
# 144 dpi is Windows' 150 %.
bash scripts/wine-at-dpi.sh 144 "$win/pictures-prefix" "$win/bin" "$win/pictures/corvin-pictures.exe" "$shots"
for name in login select; do
    cp "$shots/$name.png" "$out/win150-$name.png"
    cp "$shots/$name.controls" "$out/win150-$name.controls"
    echo "$out/win150-$name.png"
done
