#!/usr/bin/env bash
# Builds brimsub-bench (Release) with the peer libraries it measures ours
# against, and runs it.
# Usage: scripts/bench.sh [benchmark-args...]           the raw Google Benchmark output
#        scripts/bench.sh --report [benchmark-args...]  the table of our figures and
#                                                      their ratios to each peer
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" bench
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRIM_BUILD_TESTS=OFF -DBRIM_BUILD_BENCH=ON \
    -DBRIM_WITH_GLIB=ON -DBRIM_WITH_QT=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target brimsub-bench
if [ "${1:-}" = "--report" ]; then
    shift
    exec python3 "$root/scripts/bench-report.py" --bench "$build/bench/brimsub-bench" "$@"
fi
exec "$build/bench/brimsub-bench" "$@"
