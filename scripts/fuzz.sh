#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for
# SECONDS_PER_TARGET seconds (default 60), one after the other. Exits non-zero
# when any target finds a crash, leak, timeout or round-trip mismatch; the
# inputs that caused them are copied to fuzz/findings/TARGET/.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# TARGET parse_only is round_trip_fuzzer stopping after the parse's checks.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
shift || true
targets=("$@")
# The differential target is left to long runs named on the command line: it
# is a search for where our tokenizer and Expat part, not a gate.
# So is the path query one, which compares with libxml2.
[ ${#targets[@]} -eq 0 ] && targets=(round_trip_fuzzer tree_edit_fuzzer xpath_compile_fuzzer)
build=${ZUVDOM_FUZZ_BUILD:-$root/build-fuzz}
zip=${ZUVDOM_XMLTS_ZIP:-${ZUVDOM_TESTDATA_DIR:-$root/../shared/testdata}/xmlts20130923.zip}

scripts/setup.sh
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUVDOM_BUILD_FUZZERS=ON -DZUVDOM_BUILD_TESTS=OFF \
  -DZUVDOM_BUILD_EXAMPLES=OFF -DZUVDOM_WARNINGS_AS_ERRORS=ON >/dev/null
binaries=()
for target in "${targets[@]}"; do
  [ "$target" = parse_only ] && binaries+=(round_trip_fuzzer) || binaries+=("$target")
done
cmake --build "$build" -j2 --target "${binaries[@]}"

# Seeds: the checked-in corpus, the test documents, and small documents from
# the W3C conformance suite when it is at hand. The working corpus lives in
# the build tree and keeps growing from run to run.
seed_documents() {  # destination
  local dest=$1
  mkdir -p "$dest"
  cp -n fuzz/corpus/parse/* "$dest"/
  find tests/data -type f -size -16k \( -name '*.xml' -o -name '*.txt' \) -print0 |
    while IFS= read -r -d '' f; do cp -n "$f" "$dest/test-$(echo "$f" | tr / _)"; done
  if [ -f "$zip" ] && [ ! -f "$build/xmlts.done" ]; then
    local tmp
    tmp=$(mktemp -d)
    unzip -q -o "$zip" '*.xml' -d "$tmp" || true
    find "$tmp" -type f -name '*.xml' -size -4k | sort | awk 'NR % 7 == 0 && ++n <= 300' |
      while read -r f; do cp "$f" "$dest/xmlts-$(echo "${f#"$tmp"/}" | tr / _)"; done
    rm -rf "$tmp"
  fi
}

status=0
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  findings=$build/findings/$target
  # Earlier findings were copied out already; count only this run's.
  rm -rf "$findings"
  mkdir -p "$corpus" "$findings"
  extra=()
  dict=fuzz/xml.dict
  if [ "$target" = tree_edit_fuzzer ]; then
    cp -n fuzz/corpus/edit/* "$corpus"/
    extra=(-max_len=512)  # a few hundred edits, each checked against the whole tree
  elif [ "$target" = xpath_compile_fuzzer ]; then
    cp -n fuzz/corpus/xpath/* "$corpus"/
    dict=fuzz/xpath.dict
  elif [ "$target" = xpath_differential_fuzzer ]; then
    # Its bytes are choices in a grammar, not text: it starts from nothing.
    dict=
  else
    seed_documents "$corpus"
  fi
  echo "== $target: ${seconds}s"
  [ -n "$dict" ] && extra+=(-dict="$dict")
  binary=$target
  [ "$target" = parse_only ] && binary=round_trip_fuzzer && export ZUVDOM_FUZZ_PARSE_ONLY=1
  if ! "$build/fuzz/$binary" "$corpus" -max_total_time="$seconds" \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/" "${extra[@]}" 2>"$build/$target.log"; then
    status=1
    tail -n 40 "$build/$target.log"
  fi
  unset ZUVDOM_FUZZ_PARSE_ONLY
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^Done' "$build/$target.log" || true
  # Anything the fuzzer left behind is a failure the user must see.
  shopt -s nullglob
  found=("$findings"/crash-* "$findings"/leak-* "$findings"/timeout-* "$findings"/oom-*)
  shopt -u nullglob
  if [ ${#found[@]} -ne 0 ]; then
    status=1
    mkdir -p "fuzz/findings/$target"
    cp "${found[@]}" "fuzz/findings/$target/"
    echo "$target: ${#found[@]} finding(s) copied to fuzz/findings/$target/"
  fi
done
[ -f "$zip" ] && touch "$build/xmlts.done"
exit $status
