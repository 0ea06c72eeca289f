#!/usr/bin/env bash
# Makes the release twice, each from its own copy of the source in a fresh folder of another
# name, and compares the bytes: every file of the zip, the zip itself, and the programs and effect
# files of both build folders. Says which file differs first. Also: the sums verify, the programs
# carry no link time and no folder of the build, and the version resource, the zip's name and the
# README take the one version of CMakeLists.txt. Needs neither root nor the lab.
# Prints "N passed, M failed" last.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=${BRIXLE_RESULTS_DIR:-$repo/build/test-results}/reproducible
# shellcheck source=tests/lib/checks.sh
. "$repo/tests/lib/checks.sh"

rm -rf "$work"
mkdir -p "$work"
# Folders of different names and depths, so that a path in a binary shows up as a difference.
sources=("$work/a/brixle100" "$work/second-build/src/brixle100-copy")

# Built as a user would build: the linker takes SOURCE_DATE_EPOCH for the time it stamps, which
# would hide that stamp. (The copies have no history, so both zips get package.sh's fixed date.)
unset SOURCE_DATE_EPOCH

# The working tree as a clean checkout would have it: tracked and new files, no build output.
copy_source() {
    mkdir -p "$1"
    if git -C "$repo" rev-parse --git-dir >/dev/null 2>&1; then
        git -C "$repo" ls-files -z --cached --others --exclude-standard |
            (cd "$repo" && tar --null -T - --ignore-failed-read -cf - 2>/dev/null)
    else
        (cd "$repo" && tar --exclude=./build --exclude=./.git --exclude=./out -cf - .)
    fi | tar -xf - -C "$1"
}

for i in 0 1; do
    src=${sources[$i]} out=$work/out$i
    copy_source "$src" || abort "copy of the source in $src"
    # The copy's own build folders: nothing is shared with the other build or with this checkout.
    # Configured without the test suite, which the release does not need (package.sh keeps that).
    for preset in mingw-i686 mingw-x86_64; do
        (cd "$src" && cmake --preset "$preset" -DBRIXLE_BUILD_TESTS=OFF) >>"$work/package$i.log" 2>&1 ||
            abort "configuring $preset in $src"
    done
    bash "$src/scripts/package.sh" "$out" >>"$work/package$i.log" 2>&1 ||
        abort "clean build $((i + 1)) of the release (see $work/package$i.log)"
    zips[i]=$(find "$out" -maxdepth 1 -name "*.zip" | head -n 1)
    [ -n "${zips[$i]}" ] || abort "a zip from clean build $((i + 1))"
    mkdir -p "$work/unpacked$i"
    unzip -q "${zips[$i]}" -d "$work/unpacked$i" || abort "the zip of build $((i + 1)) unpacks"
done
name=$(basename "${zips[0]}" .zip)
top0=$work/unpacked0/$name top1=$work/unpacked1/$name
[ -d "$top0" ] || abort "the zip holds one folder named like the zip ($name)"

first_diff=""
same() {
    local what=$1
    if cmp "$2" "$3"; then
        echo "ok - the same bytes: $what"
        passed=$((passed + 1))
    else
        echo "not ok - the same bytes: $what"
        failed=$((failed + 1))
        [ -n "$first_diff" ] || first_diff=$what
    fi
}

# Everything the package holds, in either build, in the zip's order; the sums file last, since
# it differs whenever another file does.
mapfile -t packaged < <( (cd "$top0" && find . -type f; cd "$top1" && find . -type f) |
    sed 's|^\./||' | grep -v -x SHA256SUMS.txt | LC_ALL=C sort -u)
for file in "${packaged[@]}" SHA256SUMS.txt; do
    same "$file (in the zip)" "$top0/$file" "$top1/$file"
done
same "$name.zip" "${zips[0]}" "${zips[1]}"
same "$name.zip.sha256" "${zips[0]}.sha256" "${zips[1]}.sha256"
# What the build folders hold: the programs before stripping, with their debugging information.
for preset in mingw-i686 mingw-x86_64; do
    for file in brixle100.exe a_.wav tata.wav tah.wav canthear.wav muteki.wav abeshi.wav; do
        same "build/$preset/app/$file" "${sources[0]}/build/$preset/app/$file" \
            "${sources[1]}/build/$preset/app/$file"
    done
done
[ -z "$first_diff" ] || echo "first differing file: $first_diff"

check "the sums file in the zip verifies" bash -c "cd '$top0' && sha256sum --quiet -c SHA256SUMS.txt"
check "the sums file lists every other file of the package" bash -c "cd '$top0' &&
    diff <(find . -type f ! -name SHA256SUMS.txt | sed 's|^\./||' | LC_ALL=C sort) \
         <(sed 's/^[0-9a-f]\{64\}  //' SHA256SUMS.txt | LC_ALL=C sort)"
check "the zip's own sum verifies" bash -c "cd '$work/out0' && sha256sum --quiet -c '$name.zip.sha256'"

# The PE header's time stamp: 4 bytes, 8 into the header that offset 0x3c points at.
pe_time() {
    local header
    header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tu4 -j$((header + 8)) -N4 "$1" | tr -d ' '
}
programs=("$top0/x86/brixle100.exe" "$top0/x64/brixle100.exe"
    "${sources[0]}/build/mingw-i686/app/brixle100.exe" "${sources[0]}/build/mingw-x86_64/app/brixle100.exe")
for program in "${programs[@]}"; do
    shown=${program#"$work"/}
    check "no link time in the PE header of $shown (got $(pe_time "$program"))" \
        test "$(pe_time "$program")" = 0
    check "no folder of the build in $shown" bash -c "! grep -q -a -F '$work' '$program'"
done

version=$(sed -n 's/^project(brixle100 VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
[ -n "$version" ] || abort "CMakeLists.txt gives the project a version"
IFS=. read -r major minor patch tweak <<<"$version"
quad=$major.$minor.${patch:-0}.${tweak:-0}
check "the zip is named for version $version ($name)" test "$name" = "brixle100-$version-windows"
# The version resource: its strings, and the numbers after the fixed part's signature 0xFEEF04BD
# (file version: minor, major, tweak, patch as 16-bit words).
fixed_version() {
    local at
    at=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$1" | head -n 1 | cut -d: -f1)
    [ -n "$at" ] || return
    od -An -tu2 -j$((at + 8)) -N8 "$1" | awk '{ print $2 "." $1 "." $4 "." $3 }'
}
resource_string() {
    strings -el "$1" | awk -v key="$2" 'previous == key { print; exit } { previous = $0 }'
}
for arch in x86 x64; do
    program=$top0/$arch/brixle100.exe
    check "$arch: the version resource's numbers are $quad (got $(fixed_version "$program"))" \
        test "$(fixed_version "$program")" = "$quad"
    for key in FileVersion ProductVersion; do
        check "$arch: the version resource's $key is $quad" \
            test "$(resource_string "$program" "$key")" = "$quad"
    done
    check "$arch: the manifest's assembly version is $quad" \
        grep -q -a -F "name=\"Brixle100\" version=\"$quad\"" "$program"
done
check "the README's release section names $name.zip" bash -c "
    awk '/^## /{ inside = (\$0 == \"## Release package\") } inside' '$repo/README.md' |
        grep -q -F '$name.zip'"

if [ "$failed" -eq 0 ]; then
    rm -rf "$work/a" "$work/second-build" "$work/unpacked0" "$work/unpacked1"
fi
finish
