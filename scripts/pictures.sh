#!/usr/bin/env bash
# Renders every window of Corvin in each of its states, offscreen, into PNG files:
#   scripts/pictures.sh [output folder]     (default docs/pictures)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
# Without a CJK font the Chinese texts come out as boxes.
corvin_ensure_packages "${CORVIN_BUILD_PACKAGES[@]}" fonts-wqy-microhei

build=${CORVIN_BUILD_DIR:-build}
out=${1:-docs/pictures}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target corvin-pictures
mkdir -p "$out"
QT_QPA_PLATFORM=offscreen "$build/pictures/corvin-pictures" "$out"
