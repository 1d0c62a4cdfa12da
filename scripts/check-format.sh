#!/usr/bin/env bash
# Fails when a C++ file differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files=$(git ls-files '*.h' '*.cpp')
else  # an unpacked copy with no history: the sources, not the build trees
  files=$(find include src platform tests examples fuzz bench -name '*.h' -o -name '*.cpp')
fi
[ -z "$files" ] && exit 0
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
