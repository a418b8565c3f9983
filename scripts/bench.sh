#!/usr/bin/env bash
# Builds the benchmark in Release (build-bench) and runs it: scripts/bench.sh [section] [options]
# Sections: hash, verify, copy, cold, log, small, all (default).
# Example: scripts/bench.sh small --rounds 3
set -euo pipefail
cd "$(dirname "$0")/.."

build=${CORVIN_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target corvin-bench -j"$(nproc)"

section=${1:-all}
shift || true
exec "$build/bin/corvin-bench" "$section" "$@"
