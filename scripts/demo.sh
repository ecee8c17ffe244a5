#!/usr/bin/env bash
# Builds brimsub-demo and runs it; arguments are passed to the demo, so
# `scripts/demo.sh --loop=glib` (or --loop=qt) runs the scenario inside a
# toolkit's loop. The GLib and Qt adapters are built when their development
# packages are there, and install-deps.sh installs them.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRIM_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target brimsub-demo
exec "$build/demo/brimsub-demo" "$@"
