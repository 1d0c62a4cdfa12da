#!/usr/bin/env bash
# Builds and runs every test: a plain build and an ASan+UBSan build (warnings
# as errors in both), then the install check and the format check.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

run_suite() {  # build dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DZUVDOM_WARNINGS_AS_ERRORS=ON -DZUVDOM_BUILD_TESTS=ON -DZUVDOM_BUILD_EXAMPLES=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600
}

echo "== plain build"
run_suite build/test
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build/asan -DZUVDOM_SANITIZE=address

echo "== install and build a consumer against the package"
scripts/check-install.sh build/test

echo "== format"
scripts/check-format.sh
echo "All checks passed."
