#!/usr/bin/env bash
# Builds brimsub-bench (Release) and runs it; arguments go to Google Benchmark.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRIM_BUILD_TESTS=OFF -DBRIM_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target brimsub-bench
exec "$build/bench/brimsub-bench" "$@"
