#!/usr/bin/env bash
# Installs the package from a build tree into a scratch prefix, then builds
# the example programs against it both ways, with find_package and with
# pkg-config, at C++20 and C++23 (the package asks only for C++20 or later),
# and a program that keeps the library's former global names for itself
# (BRIM_NO_GLOBAL_NAMES), and runs them and the installed demo in a clean
# environment: no LD_LIBRARY_PATH, so
# every library must find its siblings through its own run path. The core's
# example runs as it is, the Qt one on Qt's offscreen platform, the GTK one
# (for the GLib adapter) under a virtual X display; the minimal example's own
# test runs on the testing component. Also checks that the core is found
# without components and loads no toolkit, and that asking for a component
# that is not installed fails with a reason.
# Usage: check-installed-package.sh <build-dir> <scratch-dir> [adapters]
# adapters: the adapters the build has, e.g. "Glib;Qt" (each must then be
# installed); without it, whichever adapters were installed are checked.
set -euo pipefail
build=$1
scratch=$2
expected=${3-unknown}
here=$(cd "$(dirname "$0")" && pwd)
examples=$(cd "$here/../../examples" && pwd)
prefix="$scratch/prefix"
rm -rf "$scratch"
mkdir -p "$scratch"
unset LD_LIBRARY_PATH

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libBrimSubscriber.so | head -n 1)")
cmakedir="$libdir/cmake/BrimSubscriber"
for lib in "$libdir"/lib*.so; do
    soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
    runpath=$(objdump -p "$lib" | awk '/RUNPATH/ {print $2}')
    echo "installed $(basename "$lib") with SONAME $soname, RUNPATH $runpath"
    [ "$runpath" = '$ORIGIN' ]
done
[ "$(objdump -p "$libdir/libBrimSubscriber.so" | awk '/SONAME/ {print $2}')" = libBrimSubscriber.so.6 ]
export PKG_CONFIG_PATH="$libdir/pkgconfig"
if pkg-config --cflags BrimSubscriber | grep -q -- '-std='; then
    echo "BrimSubscriber.pc chooses the client's language level"
    exit 1
fi

# clean <command...>: runs it with nothing of this environment but a display
# for the GTK example and the offscreen platform for the Qt one.
clean() {
    env -i PATH=/usr/bin:/bin HOME="$scratch" QT_QPA_PLATFORM=offscreen "$@"
}
clean "$prefix/bin/brimsub-demo" --version

# runs <executable>: in a clean environment, the GTK one under a virtual display.
runs() {
    if [[ $1 == *gtk* ]]; then clean xvfb-run -a "$1"; else clean "$1"; fi
}

# builds <example> <pkg-config modules...>: the example at C++20 and at C++23,
# with CMake and with pkg-config, then runs one build of each way. The
# examples spell the global names, so with BRIM_NO_GLOBAL_NAMES they are only
# compiled, behind a forced `using namespace brim;`: brim:: has every name
# they use.
builds() {
    local name=$1
    shift
    local src="$examples/$name" std
    for std in 20 23; do
        cmake -S "$src" -B "$scratch/$name-cmake$std" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_STANDARD=$std \
            -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
        cmake --build "$scratch/$name-cmake$std" >/dev/null
        grep -qE -- "-std=(c|gnu)\+\+$std" "$scratch/$name-cmake$std/compile_commands.json"
        # A prefix outside the system's library path needs a run path in the
        # client, as for any library installed there.
        # shellcheck disable=SC2046
        c++ -std=c++$std "$src/main.cpp" -o "$scratch/brim-example-$name-pc$std" -Wl,-rpath,"$libdir" \
            $(pkg-config --cflags --libs "$@")
    done
    runs "$scratch/$name-cmake23/brim-example-$name"
    runs "$scratch/brim-example-$name-pc20"
    # shellcheck disable=SC2046
    c++ -std=c++20 -fsyntax-only -DBRIM_NO_GLOBAL_NAMES -include "$scratch/using-brim.h" "$src/main.cpp" \
        $(pkg-config --cflags "$@")
    echo "example $name: built at C++20 and C++23 with CMake and pkg-config, ran both ways; compiles on brim:: alone"
}
printf 'namespace brim {}\nusing namespace brim;\n' >"$scratch/using-brim.h"

# names: a program that includes every installed header with
# BRIM_NO_GLOBAL_NAMES and defines its own global UINT, WPARAM, CString, CWnd,
# notify_all and namespace platform; built with CMake at C++23 and with
# pkg-config at C++20, and run.
names() {
    local adapters=() modules=(BrimSubscriber) adapter header
    for adapter in Glib Qt; do
        [ -f "$cmakedir/BrimSubscriber${adapter}Targets.cmake" ] || continue
        adapters+=("$adapter")
        modules+=("BrimSubscriber$adapter")
    done
    mkdir -p "$scratch/names"
    (cd "$prefix/include" && find BrimSubscriber -name '*.h' | sort) | while read -r header; do
        case $header in
            */platform/glib/*) [[ " ${adapters[*]} " == *" Glib "* ]] || continue ;;
            */platform/qt/*) [[ " ${adapters[*]} " == *" Qt "* ]] || continue ;;
        esac
        echo "#include <$header>"
    done >"$scratch/names/all-headers.h"
    cmake -S "$here/consumer-names" -B "$scratch/names-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_CXX_STANDARD=23 -DHEADERS_DIR="$scratch/names" -DADAPTERS="$(IFS=';' && echo "${adapters[*]}")" >/dev/null
    cmake --build "$scratch/names-cmake" >/dev/null
    # shellcheck disable=SC2046
    c++ -std=c++20 "$here/consumer-names/main.cpp" -o "$scratch/brim-names-pc" -I"$scratch/names" \
        -Wl,-rpath,"$libdir" $(pkg-config --cflags --libs "${modules[@]}")
    clean "$scratch/names-cmake/brim-names"
    clean "$scratch/brim-names-pc"
    echo "names: $(wc -l <"$scratch/names/all-headers.h") headers with BRIM_NO_GLOBAL_NAMES beside the client's own global names, built both ways and ran"
}

# probe <name> <find_package arguments...> [-DVAR=VALUE...]: configures the
# probe project; fails as the configuration does. Its output, with the lines
# joined, is in $scratch/probe-<name>.log.
probe() {
    local name=$1
    shift
    local find=() options=() arg status=0
    for arg in "$@"; do
        if [[ $arg == -D* ]]; then options+=("$arg"); else find+=("$arg"); fi
    done
    cmake -S "$here/consumer-components" -B "$scratch/probe-$name" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        "${options[@]}" "-DPROBE_ARGS=$(IFS=';' && echo "${find[*]}")" >"$scratch/probe-$name.out" 2>&1 || status=$?
    tr -s '\n ' '  ' <"$scratch/probe-$name.out" >"$scratch/probe-$name.log"
    return $status
}

# expect <name> <text>: the probe's output says it.
expect() {
    grep -qF -- "$2" "$scratch/probe-$1.log" || {
        cat "$scratch/probe-$1.out"
        echo "probe $1 did not say: $2"
        exit 1
    }
}

# The core: without components it needs no toolkit and defines no adapter target.
builds minimal BrimSubscriber
names
probe core REQUIRED
expect core "-- probe: found=1 targets=BrimSubscriber Qt6= "
echo "core without components: found, no adapter target, no toolkit looked for"

# The testing component: the minimal example's own test, found by the
# example's find_package (COMPONENTS Testing) and by pkg-config.
runs "$scratch/minimal-cmake23/brim-example-minimal-test"
# shellcheck disable=SC2046
c++ -std=c++23 "$examples/minimal/test.cpp" -o "$scratch/brim-example-minimal-test-pc" -Wl,-rpath,"$libdir" \
    $(pkg-config --cflags --libs BrimSubscriberTesting)
runs "$scratch/brim-example-minimal-test-pc"
probe testing REQUIRED COMPONENTS Testing
expect testing "-- probe: found=1 targets=BrimSubscriber;Testing Qt6= "
echo "component Testing: found alone; the minimal example's test built both ways and passed"

# not_installed <component>: required, it fails with a reason; optional, the core is still found.
not_installed() {
    local component=$1
    if probe "required-$component" REQUIRED COMPONENTS "$component"; then
        echo "asking for the missing component $component did not fail"
        exit 1
    fi
    expect "required-$component" "component $component is not installed with this package"
    probe "optional-$component" REQUIRED OPTIONAL_COMPONENTS "$component"
    expect "optional-$component" "-- probe: found=1 targets=BrimSubscriber "
    echo "component $component (not installed): fails cleanly when required, the core is found when optional"
}
not_installed Gtk

for adapter in Glib Qt; do
    if [ -f "$cmakedir/BrimSubscriber${adapter}Targets.cmake" ]; then
        if [ "$adapter" = Glib ]; then builds gtk BrimSubscriberGlib gtk4; else builds qt BrimSubscriberQt Qt6Widgets; fi
    else
        if [[ ";$expected;" == *";$adapter;"* ]]; then
            echo "the build has the $adapter adapter but it was not installed"
            exit 1
        fi
        not_installed "$adapter"
        if pkg-config --exists "BrimSubscriber$adapter"; then
            echo "pkg-config finds BrimSubscriber$adapter, which was not installed"
            exit 1
        fi
    fi
done
# An installed adapter whose toolkit this machine lacks (hidden here) is not
# found: the core still is when it was optional, and the reason is given when
# it was required.
if [ -f "$cmakedir/BrimSubscriberGlibTargets.cmake" ] || [ -f "$cmakedir/BrimSubscriberQtTargets.cmake" ]; then
    PKG_CONFIG_LIBDIR=/nonexistent probe no-toolkit REQUIRED OPTIONAL_COMPONENTS Glib Qt \
        -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON
    expect no-toolkit "-- probe: found=1 targets=BrimSubscriber "
    for adapter in Glib Qt; do
        [ -f "$cmakedir/BrimSubscriber${adapter}Targets.cmake" ] || continue
        if PKG_CONFIG_LIBDIR=/nonexistent probe "no-toolkit-$adapter" REQUIRED COMPONENTS "$adapter" \
            -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON; then
            echo "asking for $adapter without its toolkit did not fail"
            exit 1
        fi
        expect "no-toolkit-$adapter" "component $adapter needs"
    done
    echo "adapters without their toolkit: not found, with the reason when required"
fi
echo "installed package: every example built both ways and ran"
