#!/usr/bin/env bash
# Builds the library and its examples, then runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZUVDOM_BUILD_TESTS=OFF -DZUVDOM_BUILD_EXAMPLES=ON >/dev/null
cmake --build build -j"$(nproc)" --target demo >/dev/null
build/examples/demo examples/library.xml build/library-out.xml
