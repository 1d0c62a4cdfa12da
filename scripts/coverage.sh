#!/usr/bin/env bash
# Line coverage of the library by the plain suites, with gcc's gcov: builds
# with --coverage in BUILD_DIR (default build/coverage), runs ctest, and sums
# lines executed over lines instrumented in include/, src/ and platform/, a
# line counted once however many programs compile it. The lines each test
# reaches are listed in BUILD_DIR/coverage-per-test/TEST.txt, to tell which
# lines only one test reaches before that test is changed.
# Usage: scripts/coverage.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/coverage}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="--coverage -O1" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage \
  -DZUVDOM_BUILD_TESTS=ON -DZUVDOM_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
# Each test alone, its lines added to the set: counters merged from many
# programs into one file were seen to lose lines.
hits=$build/coverage-hits.json
rm -rf "$build/coverage-per-test" && mkdir -p "$build/coverage-per-test"
echo '{}' >"$hits"
: >"$build/coverage-ctest.log"
ctest --test-dir "$build" -N -E '^ExportedSymbols' | sed -n 's/^ *Test *#[0-9]*: //p' |
  while read -r test; do
    (cd "$build" && find . -name '*.gcda' -delete)
    ctest --test-dir "$build" --timeout 900 -R "^$test\$" >>"$build/coverage-ctest.log" </dev/null ||
      echo "failed: $test (see $build/coverage-ctest.log)"
    (cd "$build" && find . -name '*.gcda' -print0 | xargs -0 -r gcov --json-format --stdout 2>/dev/null) |
      python3 -c '
import json, sys
root, hits = sys.argv[1] + "/", sys.argv[2]
hit = json.load(open(hits))
mine = set()
for line in sys.stdin:
    for f in json.loads(line)["files"]:
        name = f["file"] if f["file"].startswith("/") else root + f["file"]
        rel = name[len(root):] if name.startswith(root) else ""
        if rel.startswith(("include/", "src/", "platform/")):
            for l in f["lines"]:
                key = rel + ":" + str(l["line_number"])
                hit[key] = hit.get(key, False) or l["count"] > 0
                if l["count"] > 0:
                    mine.add(key)
json.dump(hit, open(hits, "w"))
open(sys.argv[3], "w").write("".join(key + "\n" for key in sorted(mine)))
' "$root" "$hits" "$build/coverage-per-test/$test.txt"
  done
python3 -c '
import json, sys
hit = json.load(open(sys.argv[1]))
done = sum(hit.values())
print(f"library line coverage: {done} of {len(hit)} lines, {100.0 * done / len(hit):.2f}%")
' "$hits"
