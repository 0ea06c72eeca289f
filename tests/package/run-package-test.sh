#!/usr/bin/env bash
# Makes the release zip, unpacks it, and runs each program from its unpacked folder under Wine
# in the lab: it comes up, sweeps, saves, and ends with exit code 0. Prints "N passed, M failed"
# last. Run by ctest in the lab (`ctest --preset all -L package`).
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=tests/lib/program.sh
. "$repo/tests/lib/program.sh"
# shellcheck source=tests/lib/checks.sh
. "$repo/tests/lib/checks.sh"

build_root=${BRIXLE_BUILD_ROOT:-$repo/build}
work=${BRIXLE_RESULTS_DIR:-$repo/build/test-results}/package

session_in_lab || skip "the lab (root)"
session_wine_env "$BRIXLE_LAB_WINEPREFIX"
rm -rf "$work"
mkdir -p "$work/unpacked"

cleanup() {
    stop_program
    session_stop_wineserver
    session_stop_display
}
trap cleanup EXIT

"$repo/scripts/package.sh" "$work" >"$work/package.log" 2>&1 || abort "scripts/package.sh makes the zip"
zip=$(find "$work" -maxdepth 1 -name '*.zip' | head -n 1)
[ -n "$zip" ] || abort "a zip in $work"
unzip -q "$zip" -d "$work/unpacked" || abort "the zip unpacks"
top=$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d | head -n 1)

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

session_start_display "$work/xvfb.log" || abort "a virtual display"
session_start_wineserver "$work/wineserver.log" || abort "a wineserver of our own in the scan namespace"

mapfile -t hosts < <(lab_hosts_between 10.71.59.1 10.71.59.3)
for arch in x86 x64; do
    if [ $arch = x86 ] && ! session_runs_32bit; then
        echo "# skipped: the 32-bit program; this machine runs no 32-bit code (IA-32 emulation off)"
        skipped=$((skipped + 1))
        continue
    fi
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
