#!/usr/bin/env bash
# Builds the 32-bit and the 64-bit program and packs both into one release zip, with a
# SHA256SUMS.txt of what it holds inside and the zip's own sum beside it.
#
# Every clean build of one commit gives the same zip, wherever it is built. The zip is made here
# and not by CPack, whose entries carry each file's change time: here every entry has the same
# date (SOURCE_DATE_EPOCH, else the commit's time), fixed modes, sorted names and no extra fields.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-$repo/build/package}
mkdir -p "$out"
out=$(cd "$out" && pwd)

if [ "$(id -u)" -eq 0 ]; then
    "$repo/scripts/install-deps.sh"
fi
# Build presets are read from the current folder.
cd "$repo"
for preset in mingw-x86_64 mingw-i686; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2 --target brixle100 brixle_effect_files
done

if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    epoch=$SOURCE_DATE_EPOCH
elif [ "$(git -C "$repo" rev-parse --show-toplevel 2>/dev/null)" = "$repo" ]; then
    epoch=$(git -C "$repo" log -1 --format=%ct)
else
    epoch=946684800 # 2000-01-01: a source tree without its history
fi
# Zip times start in 1980.
[ "$epoch" -ge 315532800 ] || epoch=315532800

name=$(cat "$repo/build/mingw-i686/package-name.txt")
zip=$out/$name.zip
stage=$(mktemp -d "$out/.stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
top=$stage/$name

for preset in mingw-x86_64 mingw-i686; do
    # strip stamps the PE header with the time unless told otherwise; the linker wrote 0.
    SOURCE_DATE_EPOCH=0 cmake --install "$repo/build/$preset" --prefix "$top" --strip >/dev/null
done

cd "$top"
mapfile -t files < <(find . -type f | sed 's|^\./||' | LC_ALL=C sort)
sha256sum -- "${files[@]}" >SHA256SUMS.txt
mapfile -t files < <(find . -type f | sed 's|^\./||' | LC_ALL=C sort)

find . -type d -exec chmod 755 {} +
find . -type f -exec chmod 644 {} +
find . -type f -name '*.exe' -exec chmod 755 {} +
find . -exec touch -h -d "@$epoch" {} +

rm -f "$zip" "$zip.sha256"
# -X: no owner or extended times; -D: no folder entries. zip writes local time: use UTC.
for file in "${files[@]}"; do echo "$name/$file"; done |
    (cd "$stage" && TZ=UTC0 zip -q -X -D -9 "$zip" -@)
(cd "$out" && sha256sum "$name.zip" >"$name.zip.sha256")
echo "$zip"
