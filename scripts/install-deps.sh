#!/usr/bin/env bash
# Installs the Debian packages that a task needs, when any is missing.
# Usage: scripts/install-deps.sh SET... [package...]
#   base   compiler, CMake, Ninja, pkg-config: enough for the library and the demo
#   glib   the GLib adapter's toolkit         qt   the Qt adapter's toolkit
#   test   GoogleTest, both toolkits, GTK 4 and a virtual display for the examples,
#          clang for the thread-safety build and the fuzzers
#   bench  Google Benchmark and the peers the benchmark measures
# Anything else is taken as a package name.
set -euo pipefail

packages=()
for set in "$@"; do
    case "$set" in
        base) packages+=(cmake ninja-build g++ pkg-config) ;;
        glib) packages+=(libglib2.0-dev) ;;
        qt) packages+=(qt6-base-dev) ;;
        test) packages+=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libglib2.0-dev qt6-base-dev
                         libgtk-4-dev xvfb xauth clang libclang-rt-14-dev) ;;
        bench) packages+=(cmake ninja-build g++ pkg-config python3 libbenchmark-dev libglib2.0-dev qt6-base-dev
                          libboost-dev libsigc++-3.0-dev libasio-dev libuv1-dev) ;;
        *) packages+=("$set") ;;
    esac
done
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# When another installation holds the package manager's lock, wait for it
# (at most ten minutes) instead of failing at once.
lock=(-o DPkg::Lock::Timeout=600)
$sudo apt-get "${lock[@]}" update -qq
$sudo apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
