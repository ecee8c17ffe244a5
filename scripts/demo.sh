#!/usr/bin/env bash
# Builds brimsub-demo and runs it; arguments are passed to the demo, so
# `scripts/demo.sh --loop=glib` (or --loop=qt) runs the scenario inside a
# toolkit's loop. Installs only what the demo needs: a compiler, CMake and
# Ninja, and the toolkit of the loop asked for. Build lines are shown only
# when the build fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sets=(base)
for arg in "$@"; do
    case "$arg" in
        --loop=glib) sets+=(glib) ;;
        --loop=qt) sets+=(qt) ;;
    esac
done
"$root/scripts/install-deps.sh" "${sets[@]}"
build="$root/build/demo"
log="$build/build.log"
mkdir -p "$build"
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRIM_BUILD_TESTS=OFF \
           -DBRIM_BUILD_EXAMPLES=OFF && cmake --build "$build" -j "$(nproc)" --target brimsub-demo; } >"$log" 2>&1; then
    cat "$log"
    echo "demo.sh: the build failed (log: $log)" >&2
    exit 1
fi
exec "$build/demo/brimsub-demo" "$@"
