#!/usr/bin/env bash
# Compares the symbols a shared library exports with the committed list, so
# that a change to the interface is a visible decision.
# Usage: check-symbols.sh LIBRARY.so EXPECTED.txt [--update]
set -euo pipefail
lib=$1 expected=$2
# Instantiations of standard templates are the compiler's, not our interface,
# and so are weak functions: inline ones and templates that a build emitted
# out of line (a Debug build does for many).
actual=$(nm -D --defined-only "$lib" | awk '$2 != "W" {print $3}' | c++filt |
  grep -v -E '^(void |bool |char |int |unsigned )?(std|__gnu_cxx)::' | LC_ALL=C sort -u)
if [ "${3:-}" = "--update" ]; then
  printf '%s\n' "$actual" > "$expected"
  exit 0
fi
if ! diff -u "$expected" <(printf '%s\n' "$actual"); then
  echo "$(basename "$lib") exports a different set of symbols than $expected." >&2
  echo "If the change is intended, rerun with --update and commit the list." >&2
  exit 1
fi
