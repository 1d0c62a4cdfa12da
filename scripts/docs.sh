#!/usr/bin/env bash
# Builds the API reference from the public headers into build/docs/html
# (open build/docs/html/index.html). Any undocumented public operation or
# malformed comment is a warning, and a warning fails the build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh doxygen
out=${ZUVDOM_DOCS_BUILD:-build/docs}
mkdir -p "$out"
( cat docs/Doxyfile; echo "OUTPUT_DIRECTORY = $out" ) | doxygen -
echo "API reference: $out/html/index.html"
