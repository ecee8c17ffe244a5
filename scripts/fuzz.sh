#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang and runs each for a
# bounded time over a copy of its corpus from the repository; fails when any
# target finds a crash, a leak, a time-out or runs out of memory.
# Usage: scripts/fuzz.sh [seconds-per-target]   (default 20)
#
# New inputs found during the run stay in a temporary directory; the corpus in
# the repository is only read. A failing input is kept in
# build/fuzz/artifacts/<target>/ and replays with
#   build/fuzz/fuzz_<target> build/fuzz/artifacts/<target>/crash-...
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
case "$seconds" in
    ''|*[!0-9]*|0) echo "usage: $0 [seconds-per-target]" >&2; exit 2 ;;
esac

"$root/scripts/install-deps.sh" base clang libclang-rt-14-dev

build="$root/build/fuzz"
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
echo "=== fuzz build ==="
cmake -S "$root/tests/fuzz" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$jobs"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

targets=(subscription_map)
total_runs=0
crashes=0
for target in "${targets[@]}"; do
    corpus="$work/$target/corpus"
    artifacts="$work/$target/artifacts"
    log="$work/$target/log"
    mkdir -p "$corpus" "$artifacts"
    cp "$root/tests/fuzz/corpus/$target/"* "$corpus/"
    echo "=== fuzz $target (${seconds} s) ==="
    status=0
    "$build/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || status=$?
    # A run that fails while reading its corpus prints no statistics.
    runs=$(awk '/stat::number_of_executed_units/ {n = $2} END {print n}' "$log")
    speed=$(awk '/stat::average_exec_per_sec/ {n = $2} END {print n}' "$log")
    cov=$(awk '{for (i = 1; i < NF; ++i) if ($i == "cov:") n = $(i + 1)} END {print n}' "$log")
    runs=${runs:-0}
    total_runs=$((total_runs + runs))
    found=$(find "$artifacts" -type f | wc -l)
    if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
        crashes=$((crashes + (found > 0 ? found : 1)))
        tail -n 40 "$log"
        if [ "$found" -ne 0 ]; then
            mkdir -p "$build/artifacts/$target"
            cp "$artifacts"/* "$build/artifacts/$target/"
            echo "fuzz: $target: failing input kept in $build/artifacts/$target/"
        fi
        echo "fuzz: $target FAILED (exit status $status)"
    fi
    echo "fuzz: $target: $runs runs, ${speed:-?} exec/s, coverage ${cov:-?}"
done

echo "fuzz: ${#targets[@]} targets, $total_runs runs, $crashes crashes"
[ "$crashes" -eq 0 ]
