#!/usr/bin/env bash
# Builds the benchmark in Release and prints its results as Markdown tables:
# MB/s per workload and library, our ratio to each peer, bytes per element,
# the scale checks and the lookups.
#
# Usage: scripts/bench.sh [Google Benchmark flags...]
#   ZUVDOM_BENCH_LARGE=1   adds the 30 and 100 MB documents
#   ZUVDOM_BENCH_REPS=N    repetitions per benchmark, medians reported (default 3)
#   ZUVDOM_BENCH_MIN_TIME  seconds per repetition at least (default 0.1)
#   ZUVDOM_BENCH_BUILD     build directory (default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."

# Google Benchmark is needed; the peers are optional and installed only when
# missing (the benchmark builds without any of them).
needed=(libbenchmark-dev libexpat1-dev)
optional=(libtinyxml2-dev libxml2-dev libpugixml-dev)
missing=()
for p in "${needed[@]}" "${optional[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}" >&2
  if ! { $sudo apt-get update -qq &&
         DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
           "${missing[@]}" >/dev/null; }; then
    echo "warning: could not install ${missing[*]}; peers that are missing are left out" >&2
  fi
fi

build=${ZUVDOM_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUVDOM_BUILD_BENCHMARKS=ON \
  -DZUVDOM_BUILD_TESTS=OFF -DZUVDOM_BUILD_EXAMPLES=OFF -DZUVDOM_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$build" --target zuvdom_bench -j"$(nproc)" >/dev/null

results="$build/bench-results.json"
"$build/bench/zuvdom_bench" \
  --benchmark_repetitions="${ZUVDOM_BENCH_REPS:-3}" \
  --benchmark_report_aggregates_only=true \
  --benchmark_min_time="${ZUVDOM_BENCH_MIN_TIME:-0.1}" \
  --benchmark_out="$results" --benchmark_out_format=json \
  "$@" >&2
python3 bench/format_results.py "$results"
