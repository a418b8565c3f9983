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
(cd "$build" && ctest --output-on-failure --timeout 300)

# The same suite again under AddressSanitizer and UndefinedBehaviorSanitizer: any report fails.
asan=${CORVIN_ASAN_BUILD_DIR:-build-asan}
cmake -S . -B "$asan" -DCMAKE_BUILD_TYPE=Debug -DCORVIN_SANITIZE=ON
cmake --build "$asan" -j"$jobs"
export ASAN_OPTIONS=fast_unwind_on_malloc=0:detect_stack_use_after_return=1:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$(pwd)/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$asan" && ctest --output-on-failure --timeout 600)
