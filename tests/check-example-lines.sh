#!/usr/bin/env bash
# Fails when an example takes more than 1.2 times the lines of its pugixml
# version: non-blank lines that are not comments, as formatted in the tree.
# Usage: check-example-lines.sh OURS.cpp PUGIXML.cpp
set -euo pipefail
count() { grep -v -E '^[[:space:]]*(//.*)?$' "$1" | wc -l; }
ours=$(count "$1") theirs=$(count "$2")
echo "$(basename "$1"): $ours lines, pugixml $theirs"
[ $((ours * 10)) -le $((theirs * 12)) ] || { echo "more than 1.2 times pugixml's" >&2; exit 1; }
