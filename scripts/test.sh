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

# Windows: cross-built with MinGW-w64 against a Qt for MinGW, every suite run under Wine, the
# packages made, the installers tried as a teacher and IT would, and signing tried.
if [ -z "${CORVIN_QT_MINGW:-}" ]; then
    echo "Windows run skipped: CORVIN_QT_MINGW is not set (a Qt 5 for MinGW prefix or its .tar.xz)."
    exit 0
fi
[ -n "${CORVIN_HTTPLIB:-}" ] || { echo "CORVIN_HTTPLIB must name the folder of cpp-httplib's single header for the Windows run" >&2; exit 1; }
corvin_ensure_packages "${CORVIN_WINDOWS_PACKAGES[@]}"
win=${CORVIN_WINDOWS_BUILD_DIR:-build-win}
cmake -S . -B "$win" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCORVIN_QT_MINGW="$CORVIN_QT_MINGW" -DCORVIN_HTTPLIB="$CORVIN_HTTPLIB"
cmake --build "$win" -j"$jobs"
(cd "$win" && ctest --output-on-failure --timeout 300 -j"$jobs")
(cd "$win" && cpack)
# The release's symbols package, and a dump of the packaged program read with it.
cmake --build "$win" --target symbols
bash tests/crash/tst_symbolspackage.sh "$win"
bash scripts/windows-check.sh "$win"
bash scripts/sign-check.sh "$win"
