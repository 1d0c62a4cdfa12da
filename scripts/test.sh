#!/usr/bin/env bash
# Builds and runs every test: a plain build and an ASan+UBSan build (warnings
# as errors in both), the threaded suites under ThreadSanitizer, a short run
# of each fuzzer, then the API reference, the install check and the format
# check.
#   ZUVDOM_FUZZ_SECONDS   seconds per fuzzer (default 60; 0 skips fuzzing)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

run_suite() {  # build dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DZUVDOM_WARNINGS_AS_ERRORS=ON -DZUVDOM_BUILD_TESTS=ON -DZUVDOM_BUILD_EXAMPLES=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600 | tee -a "$summary"
}

echo "== plain build"
run_suite build/test
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build/asan -DZUVDOM_SANITIZE=address

echo "== ThreadSanitizer: the suites that start threads"
cmake -S . -B build/tsan -DZUVDOM_WARNINGS_AS_ERRORS=ON -DZUVDOM_BUILD_TESTS=ON \
  -DZUVDOM_BUILD_EXAMPLES=OFF -DZUVDOM_SANITIZE=thread >/dev/null
cmake --build build/tsan -j"$jobs" --target threads_test pool_test pool_return_test pool_soak_test
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan -R '^(Threads|Pool)' --output-on-failure |
  tee -a "$summary"

fuzz_seconds=${ZUVDOM_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzzers, ${fuzz_seconds}s each"
  ZUVDOM_FUZZ_BUILD=$PWD/build/fuzz scripts/fuzz.sh "$fuzz_seconds"
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
