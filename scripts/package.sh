#!/usr/bin/env bash
# Builds the 32-bit and the 64-bit program and packs both into one release zip with CPack.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-$repo/build/package}

if [ "$(id -u)" -eq 0 ]; then
    "$repo/scripts/install-deps.sh"
fi
cmake --preset mingw-x86_64 -S "$repo" >/dev/null
cmake --build --preset mingw-x86_64 --target brixle100 brixle_effect_files
cmake --preset mingw-i686 -S "$repo" -DBRIXLE_PACKAGE_WITH_BUILD="$repo/build/mingw-x86_64" >/dev/null
cmake --build --preset mingw-i686 --target brixle100 brixle_effect_files
mkdir -p "$out"
(cd "$repo/build/mingw-i686" && cpack -G ZIP -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/*.zip
