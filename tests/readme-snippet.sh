#!/usr/bin/env bash
# Writes the N-th C++ block of a Markdown file (1-based) to OUTPUT.
# Usage: readme-snippet.sh README.md N OUTPUT
set -euo pipefail
awk -v n="$2" '/^```cpp$/ { if (++k == n) { on = 1; next } } on && /^```$/ { exit } on' "$1" >"$3.tmp"
[ -s "$3.tmp" ] || { echo "no C++ block $2 in $1" >&2; exit 1; }
mv "$3.tmp" "$3"
