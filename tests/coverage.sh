#!/usr/bin/env bash
# Line coverage of the library by the plain suites, with gcc's gcov: builds
# with --coverage in BUILD_DIR (default build/coverage), runs ctest, and sums
# lines executed over lines instrumented in include/, src/ and platform/, a
# line counted once however many programs compile it.
# Usage: tests/coverage.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/coverage}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="--coverage -O1" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage \
  -DZUVDOM_BUILD_TESTS=ON -DZUVDOM_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
find "$build" -name '*.gcda' -delete
# The exported-symbol lists do not hold under coverage instrumentation.
ctest --test-dir "$build" -j2 --timeout 900 -E '^ExportedSymbols' >"$build/coverage-ctest.log" ||
  echo "some tests failed: see $build/coverage-ctest.log"
(cd "$build" && find . -name '*.gcda' -print0 | xargs -0 gcov --json-format --stdout 2>/dev/null) |
  python3 -c '
import json, sys
root = sys.argv[1] + "/"
hit = {}
for line in sys.stdin:
    for f in json.loads(line)["files"]:
        name = f["file"] if f["file"].startswith("/") else root + f["file"]
        rel = name[len(root):] if name.startswith(root) else ""
        if not rel.startswith(("include/", "src/", "platform/")):
            continue
        for l in f["lines"]:
            key = (rel, l["line_number"])
            hit[key] = hit.get(key, False) or l["count"] > 0
done = sum(hit.values())
print(f"library line coverage: {done} of {len(hit)} lines, {100.0 * done / len(hit):.2f}%")
' "$root"
