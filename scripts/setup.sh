#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, only those that are missing.
# Usage: scripts/setup.sh [extra packages...]
set -euo pipefail

# libpugixml-dev: the examples' pugixml versions, which the tests compare ours with;
# libxml2-dev: the oracle the path query tests compare with.
packages=(cmake make g++ pkg-config libexpat1-dev libgtest-dev clang libclang-rt-14-dev clang-format unzip git
          libpugixml-dev libxml2-dev "$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
