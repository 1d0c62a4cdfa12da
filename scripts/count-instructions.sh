#!/usr/bin/env bash
# Instructions per element, counted by callgrind over one parse (inside
# measuredParse() only: making the document and start-up are left out), for
# the generated documents of the benchmark and the MIME database:
#   parser   our parser alone, callbacks doing nothing
#   build    our parse and build
#   cost     build minus parser: what building the tree costs
#   expat    Expat, callbacks doing nothing
#   pugixml  pugixml's whole parse and build (when installed)
#
# Usage: scripts/count-instructions.sh [DOCUMENT...]
#   DOCUMENT: records, wide, balanced, deep, small-300 (the benchmark's many
#   small documents, all 300 counted) or a path (default: all five and
#   /usr/share/mime/packages/freedesktop.org.xml when present)
#   ZUVDOM_COUNT_BUILD   build directory (default build-count)
#   ZUVSAX2_SIMD         byte, sse2 or avx2: the tokenizer's scan to count
set -euo pipefail
cd "$(dirname "$0")/.."

command -v valgrind >/dev/null || { echo "needs valgrind (apt-get install valgrind)" >&2; exit 1; }
build=${ZUVDOM_COUNT_BUILD:-build-count}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUVDOM_BUILD_BENCHMARKS=ON \
  -DZUVDOM_BUILD_TESTS=OFF -DZUVDOM_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target count_instructions -j"$(nproc)" >/dev/null
program="$build/bench/count_instructions"

documents=("$@")
if [ ${#documents[@]} -eq 0 ]; then
  documents=(records wide balanced deep small-300)
  mime=/usr/share/mime/packages/freedesktop.org.xml
  [ -f "$mime" ] && documents+=("$mime")
fi
engines=(sax2 dom expat)
"$program" wide pugixml >/dev/null 2>&1 && engines+=(pugixml)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Prints "ELEMENTS INSTRUCTIONS" for one run, or nothing when it failed.
count() {
  local out="$scratch/callgrind.out"
  local log
  if ! log=$(valgrind --tool=callgrind --callgrind-out-file="$out" \
               --toggle-collect=measuredParse "$program" "$1" "$2" 2>/dev/null); then
    return
  fi
  local elements instructions
  elements=$(sed -n 's/^elements //p' <<<"$log")
  instructions=$(sed -n 's/^summary: //p' "$out")
  echo "$elements $instructions"
}

printf '%-12s %10s %9s %9s %9s %9s %9s %12s\n' document elements parser build cost \
  expat pugixml 'expat/parser'
for document in "${documents[@]}"; do
  declare -A per=()
  elements=0
  for engine in "${engines[@]}"; do
    result=$(count "$document" "$engine")
    if [ -z "$result" ]; then per[$engine]=-; continue; fi
    read -r elements instructions <<<"$result"
    per[$engine]=$(( (instructions + elements / 2) / elements ))
  done
  cost=-
  [[ ${per[sax2]} != - && ${per[dom]} != - ]] && cost=$(( per[dom] - per[sax2] ))
  ratio=-
  [[ ${per[sax2]} != - && ${per[expat]} != - ]] &&
    ratio=$(awk -v e="${per[expat]}" -v s="${per[sax2]}" 'BEGIN { printf "%.2f", e / s }')
  printf '%-12s %10s %9s %9s %9s %9s %9s %12s\n' "$(basename "$document" .xml)" "$elements" \
    "${per[sax2]}" "${per[dom]}" "$cost" "${per[expat]}" "${per[pugixml]:--}" "$ratio"
  unset per
done
