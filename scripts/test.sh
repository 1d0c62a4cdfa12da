#!/usr/bin/env bash
# Builds and runs every test: a plain build and an ASan+UBSan build (warnings
# as errors in both), the threaded suites under ThreadSanitizer, a short run
# of each fuzzer, then the API reference, the install check and the format
# check.
# It ends by listing every test that skipped itself (data or a peer missing)
# with the reason the test gave.
#   ZUVDOM_FUZZ_SECONDS   seconds per fuzzer (default 60; 0 skips fuzzing)
#   ZUVDOM_TESTDATA_DIR   the W3C suite's zip and the peers' files
#                         (default ../shared/testdata beside the repository)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
summary=$(mktemp)
skips=$(mktemp)
trap 'rm -f "$summary" "$skips"' EXIT
data=()
[ -n "${ZUVDOM_TESTDATA_DIR:-}" ] && data=(-DZUVDOM_TESTDATA_DIR="$ZUVDOM_TESTDATA_DIR")

# Each test of the last ctest run in `dir` that skipped, and why.
list_skips() {  # build dir, label
  awk -v label="$2" '/^[0-9]+\/[0-9]+ Test: / {test = $3}
    /: Skipped$/ {getline why; print label ": " test ": " why}' \
    "$1/Testing/Temporary/LastTest.log" >>"$skips"
}

run_suite() {  # build dir, label, extra cmake args...
  local dir=$1 label=$2; shift 2
  cmake -S . -B "$dir" -DZUVDOM_WARNINGS_AS_ERRORS=ON -DZUVDOM_BUILD_TESTS=ON \
    -DZUVDOM_BUILD_EXAMPLES=ON "${data[@]}" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600 | tee -a "$summary"
  list_skips "$dir" "$label"
}

echo "== plain build"
run_suite build/test plain
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build/asan asan -DZUVDOM_SANITIZE=address
echo "asan: ExportedSymbols.*: the sanitizers add symbols, so only the plain build checks" >>"$skips"

echo "== ThreadSanitizer: the suites that start threads"
cmake -S . -B build/tsan -DZUVDOM_WARNINGS_AS_ERRORS=ON -DZUVDOM_BUILD_TESTS=ON \
  -DZUVDOM_BUILD_EXAMPLES=OFF -DZUVDOM_SANITIZE=thread >/dev/null
cmake --build build/tsan -j"$jobs" --target pool_test
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan -R '^(Threads|Pool)' --output-on-failure |
  tee -a "$summary"
list_skips build/tsan tsan

fuzz_seconds=${ZUVDOM_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzzers, ${fuzz_seconds}s each"
  ZUVDOM_FUZZ_BUILD=$PWD/build/fuzz scripts/fuzz.sh "$fuzz_seconds"
else
  echo "fuzz: every fuzzer: ZUVDOM_FUZZ_SECONDS=0" >>"$skips"
fi

echo "== API reference (an undocumented public operation fails)"
scripts/docs.sh

echo "== install and build a consumer against the package"
scripts/check-install.sh build/test

echo "== format"
scripts/check-format.sh
# Any failure has stopped the script by now: every test counted passed.
passed=$(grep -o 'tests failed out of [0-9]*' "$summary" | awk '{sum += $5} END {print sum + 0}')
echo "All checks passed."
echo "$passed passed, 0 failed"
echo "Skipped, and why:"
if [ -s "$skips" ]; then sed 's/^/  /' "$skips"; else echo "  nothing"; fi
