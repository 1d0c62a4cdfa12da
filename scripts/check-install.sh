#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds a small program against
# it twice, as the README tells a user to: through the CMake package, and
# through pkg-config with a run path to the prefix. Both run with no
# LD_LIBRARY_PATH, so the installed libraries must find each other.
# Usage: scripts/check-install.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
unset LD_LIBRARY_PATH

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(ls -d "$prefix"/lib*/ | head -n 1)

cmake -S tests/install -B "$prefix/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer-cmake" >/dev/null
"$prefix/consumer-cmake/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Wextra -Werror tests/install/consumer.cpp -o "$prefix/consumer-pc" \
  $(pkg-config --cflags --libs zuvdom) -Wl,-rpath,"$(pkg-config --variable=libdir zuvdom)"
"$prefix/consumer-pc"
echo "install check: CMake package and pkg-config consumers built and ran"
