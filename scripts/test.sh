#!/usr/bin/env bash
# Builds the library, its tests, the demo and the examples in each flavour of
# CMakePresets.json (plain: a debug build whose contract checks are on;
# thread: ThreadSanitizer; address: AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs every test in each, then runs each fuzz target for a bounded time
# (clang, libFuzzer). The tsa flavour builds the library, the demo and the
# examples with clang's thread-safety analysis, whose findings are errors.
# Usage: scripts/test.sh [plain|thread|address|tsa|fuzz]...   (default: all)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" test

flavours=("$@")
[ ${#flavours[@]} -eq 0 ] && flavours=(tsa plain thread address fuzz)
jobs=$(nproc)

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_init_order=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"

for flavour in "${flavours[@]}"; do
    case "$flavour" in
        fuzz)
            "$root/scripts/fuzz.sh" "${BRIM_FUZZ_SECONDS:-20}"
            continue
            ;;
        tsa)
            echo "=== tsa build (clang -Wthread-safety) ==="
            (cd "$root" && cmake --preset tsa >/dev/null)
            cmake --build "$root/build/test-tsa" -j "$jobs"
            continue
            ;;
        plain|thread|address) ;;
        *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
    esac
    build="$root/build/test-$flavour"
    echo "=== $flavour build ==="
    (cd "$root" && cmake --preset "$flavour" >/dev/null)
    cmake --build "$build" -j "$jobs"
    # ThreadSanitizer needs a memory layout that address-space randomisation
    # can break on recent kernels; run its tests without randomisation.
    runner=()
    [ "$flavour" = thread ] && command -v setarch >/dev/null && runner=(setarch "$(uname -m)" -R)
    echo "=== $flavour tests ==="
    # The presets require GoogleTest (BRIM_BUILD_TESTS=ON); a build that
    # still has no test fails here rather than passing empty.
    "${runner[@]}" ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" --timeout 300
done
echo "All test runs passed: ${flavours[*]}"
