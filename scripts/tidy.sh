#!/usr/bin/env bash
# Runs clang-tidy's bug-prone checks (see .clang-tidy) over the library, the
# tests and the tools, from a plain build's compile commands.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/tidy"
cmake -S "$root" -B "$build" -G Ninja -DBRIM_BUILD_TESTS=ON -DBRIM_BUILD_DEMO=ON >/dev/null
# clang does not know GCC's -fno-gnu-unique; drop it from what clang-tidy reads.
sed -i 's/ -fno-gnu-unique//g' "$build/compile_commands.json"
run-clang-tidy -p "$build" -j "$(nproc)" -quiet "$root/(platform|subscription|mainthread|filewatch|payloads|siblings|tests|demo|examples/minimal)/" 2>/dev/null \
    | tee "$build/tidy.log" | grep -E "(warning|error):" || true
if grep -qE "(warning|error):" "$build/tidy.log"; then
    echo "clang-tidy found problems" >&2
    exit 1
fi
echo "clang-tidy: clean"
