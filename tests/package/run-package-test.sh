#!/usr/bin/env bash
# Makes the release zip, unpacks it, and runs each program from its unpacked folder under Wine
# in the lab: it comes up, sweeps, saves, and ends with exit code 0. Prints "N passed, M failed"
# last. Run from scripts/test.sh (inside the scan namespace) or on its own as root.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=tests/app/wine-session.sh
. "$repo/tests/app/wine-session.sh"
# shellcheck source=tests/app/checks.sh
. "$repo/tests/app/checks.sh"

build_root=${BRIXLE_BUILD_ROOT:-$repo/build}
work=${BRIXLE_RESULTS_DIR:-$repo/build/test-results}/package

if ! in_scan_namespace; then
    [ "$(id -u)" -eq 0 ] || { echo "skipped: needs root for the lab"; echo "0 passed, 0 failed, 1 skipped"; exit 0; }
    for preset in mingw-i686 mingw-x86_64; do
        [ -f "$build_root/$preset/CMakeCache.txt" ] || cmake --preset "$preset" -S "$repo" >/dev/null
        cmake --build "$build_root/$preset" --target brixle_app_driver >/dev/null || exit 1
    done
    # Outside $work, which the run inside empties: the teardown must still find the lab.
    labdir=$(mktemp -d /tmp/brixle-lab.XXXXXX)
    envfile=$labdir/lab.env
    trap '"$repo/scripts/lab.sh" down "$envfile"; rm -rf "$labdir"' EXIT
    "$repo/scripts/lab.sh" up "$envfile" >/dev/null || exit 1
    "$repo/scripts/lab.sh" exec "$envfile" env WINEPREFIX="${WINEPREFIX:-$build_root/package-wine}" \
        bash "${BASH_SOURCE[0]}"
    exit
fi

export WINEPREFIX=${WINEPREFIX:-$build_root/package-wine}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$work"
mkdir -p "$work/unpacked"

cleanup() {
    stop_program
    stop_wineserver
    stop_xvfb
}
trap cleanup EXIT

"$repo/scripts/package.sh" "$work" >"$work/package.log" 2>&1 || abort "scripts/package.sh makes the zip"
zip=$(ls "$work"/*.zip 2>/dev/null | head -n 1)
[ -n "$zip" ] || abort "a zip in $work"
unzip -q "$zip" -d "$work/unpacked" || abort "the zip unpacks"
top=$(ls -d "$work/unpacked"/*/ | head -n 1)

effects="a_.wav tata.wav tah.wav canthear.wav muteki.wav abeshi.wav"
check "README and licence at the top of the package" test -f "$top/README.md" -a -f "$top/LICENSE"
for arch in x86 x64; do
    for file in brixle100.exe $effects; do
        check "$arch/$file is in the package" test -s "$top/$arch/$file"
    done
done
check "the 32-bit program is a 32-bit Windows executable" \
    bash -c "file '$top/x86/brixle100.exe' | grep -q 'PE32 executable'"
check "the 64-bit program is a 64-bit Windows executable" \
    bash -c "file '$top/x64/brixle100.exe' | grep -q 'PE32+ executable'"
check "no MinGW runtime DLL is needed beside the programs" \
    bash -c "! x86_64-w64-mingw32-objdump -p '$top/x64/brixle100.exe' '$top/x86/brixle100.exe' | grep -iE 'DLL Name: (libstdc|libgcc|libwinpthread)'"

start_xvfb "$work/xvfb.log" || abort "a virtual display"
start_wineserver "$work/wineserver.log" || abort "a wineserver of our own in the scan namespace"

mapfile -t hosts < <(lab_hosts_between 10.71.59.1 10.71.59.3)
for arch in x86 x64; do
    # Each program is driven by the driver of its own build, which matches its bitness.
    case $arch in
    x86) driver=$build_root/mingw-i686/tests/app/brixle_app_driver.exe ;;
    x64) driver=$build_root/mingw-x86_64/tests/app/brixle_app_driver.exe ;;
    esac
    [ -f "$driver" ] || abort "the test driver $driver is built"
    start_program "$top/$arch/brixle100.exe" "$work/program-$arch.log"
    drive start
    drive sweep 10.71.59.1 10.71.59.3 3 "${hosts[@]}"
    drive save "$(windows_path "$work/results-$arch.txt")"
    check "the unpacked $arch program saves the lab's hosts" \
        expect_file "$work/results-$arch.txt" "${hosts[@]}"
    drive close
    wait_program
    check "the unpacked $arch program ends with exit code 0 (got $program_rc)" \
        test "$program_rc" = 0
done
finish
