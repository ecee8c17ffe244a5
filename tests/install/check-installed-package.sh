#!/usr/bin/env bash
# Installs the package from a build tree into a scratch prefix, then builds a
# small client against it twice, with find_package and with pkg-config, and
# runs both. Usage: check-installed-package.sh <build-dir> <scratch-dir>
set -euo pipefail
build=$1
scratch=$2
here=$(cd "$(dirname "$0")" && pwd)
prefix="$scratch/prefix"
rm -rf "$scratch"
mkdir -p "$scratch"

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libBrimSubscriber.so | head -n 1)")
for lib in "$libdir"/lib*.so; do
    echo "installed $(basename "$lib") with SONAME $(objdump -p "$lib" | awk '/SONAME/ {print $2}')"
done
[ "$(objdump -p "$libdir/libBrimSubscriber.so" | awk '/SONAME/ {print $2}')" = libBrimSubscriber.so.5 ]

# With CMake's package.
cmake -S "$here/consumer" -B "$scratch/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$scratch/cmake-build/consumer"

# With pkg-config.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
c++ "$here/consumer/main.cpp" -o "$scratch/consumer-pc" $(pkg-config --cflags --libs BrimSubscriber)
LD_LIBRARY_PATH="$libdir" "$scratch/consumer-pc"
echo "installed package: both ways build and run"
