#!/usr/bin/env bash
# Builds the tool and runs every test (CTest, offscreen windows).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
corvin_ensure_packages "${CORVIN_BUILD_PACKAGES[@]}" "${CORVIN_TEST_PACKAGES[@]}"

build=${CORVIN_BUILD_DIR:-build}
jobs=$(nproc)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$jobs"

export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure --timeout 300
