#!/usr/bin/env bash
# Runs brixle100.exe under Wine on a virtual display inside the lab and works it through its
# windows with brixle_app_driver.exe. Prints "N passed, M failed" last; exits 1 on any failure.
# Run by ctest in the lab (`ctest --preset all -L app`); BRIXLE_APP_BUILD_DIR names the Windows
# build (default: the 32-bit one, or the 64-bit one where no 32-bit code runs).
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=tests/lib/program.sh
. "$repo/tests/lib/program.sh"
# shellcheck source=tests/lib/checks.sh
. "$repo/tests/lib/checks.sh"

build=${BRIXLE_APP_BUILD_DIR:-$(session_windows_build "${BRIXLE_BUILD_ROOT:-$repo/build}")}
work=${BRIXLE_RESULTS_DIR:-$repo/build/test-results}/app
[ "${BRIXLE_LAB_SHAPE:-routed}" = routed ] || work+=-$BRIXLE_LAB_SHAPE
exe=$build/app/brixle100.exe
driver=$build/tests/app/brixle_app_driver.exe

session_in_lab || skip "the lab (root)"
echo "# the program of $build"

session_wine_env "$BRIXLE_LAB_WINEPREFIX"
rm -rf "$work"
mkdir -p "$work"


cleanup() {
    stop_program
    session_stop_wineserver
    session_stop_display
}
trap cleanup EXIT

{ [ -f "$exe" ] && [ -f "$driver" ]; } || abort "built $exe and $driver"
session_start_display "$work/xvfb.log" || abort "a virtual display"
session_start_wineserver "$work/wineserver.log" || abort "a wineserver of our own in the scan namespace"
session_use_designed_font virtual_desktop || abort "the prefix's font replacement and virtual desktop"
shot() { import -window root "$work/$1.png" 2>/dev/null || echo "# no screenshot $1"; }

# On the scanner's own LAN only the preset sweep: it lists the lab's hosts and the scanner
# itself, and then says that the subnet's broadcast address could not be sent to.
if [ "${BRIXLE_LAB_SHAPE:-routed}" = lan ]; then
    start_program "$exe" "$work/program.log"
    drive start
    mapfile -t hosts < <(echo "$BRIXLE_LAB_SELF"; lab_hosts_between 10.71.59.0 10.71.59.255)
    drive sweep 10.71.59.0 10.71.59.255 --box "Unable to send to 1 address
10.71.59.255 : Sending Refused" 256 "${hosts[@]}"
    drive close
    wait_program
    check "closing the window ends the program with exit code 0 (got $program_rc)" \
        test "$program_rc" = 0
    finish
fi

drive templates "$(windows_path "$exe")"

# ---- a program that can sweep
start_program "$exe" "$work/program.log"
drive start
drive expect-box "Brixle 100" -
drive font "$session_designed_font"
for fields in "10.71.59 10.71.59.7" "10.71.59.0 1.2.3.4.5" "a.b.c 256.1.1.1"; do
    # shellcheck disable=SC2086
    drive refused $fields "Invalid IP Address"
done

# The preset range: the lab's hosts in it, the late one included, and its 256 addresses; the
# window is worked meanwhile (never hung, input kept for after the sweep, no second sweep).
mapfile -t hosts < <(lab_hosts_between 10.71.59.0 10.71.59.255)
drive sweep 10.71.59.0 10.71.59.255 --busy 256 "${hosts[@]}"
shot main-after-sweep
results=$work/results.txt
printf 'an older and much longer file than the one the save writes\n%.0s' 1 2 3 >"$results"
drive open-save
shot save-dialog
drive save "$(windows_path "$results")"
check "the saved file holds the hosts in address order, CR LF after each, over the old file" \
    expect_file "$results" "${hosts[@]}"

# A refused start keeps the last sweep's results, and they can still be saved.
drive refused 10.71.59.0 10.71.59.x.1 "Invalid IP Address"
drive save "$(windows_path "$work/kept.txt")"
check "after a refused start the last sweep's hosts are still saved" \
    expect_file "$work/kept.txt" "${hosts[@]}"

drive save "" "no file name" ""
drive save "$(windows_path "$work/no/such/folder/x.txt")" \
    "can't open : $(windows_path "$work/no/such/folder/x.txt")" ""
drive save 'Z:\dev\full' "can't write : Z:\dev\full" 'Z:\dev\full'

# Longer than 259 characters: refused whole, never saved under its first 259 characters.
mkdir -p "$work/long"
prefix_path="$(windows_path "$work/long")\\"
long_name=$(printf 'n%.0s' $(seq $((300 - ${#prefix_path}))))
drive save "$prefix_path$long_name" "can't open : $prefix_path$long_name" ""
check "a path of 300 characters writes no file, cut or whole" test -z "$(ls -A "$work/long")"

# The folder picker: cancelled it changes nothing; a folder alone is no file to save to.
drive open-save
drive browse cancel 'C:\keep\this.txt'
drive browse ok 'C:\keep\this.txt'
folder=$(tr -d '\r' <"$work/step.out" | sed -n 's/^folder //p')
if [ -n "$folder" ]; then
    drive save - "can't open : $folder" ""
else
    abort "the folder picker yields a folder"
fi

# Enter in an address field; the last address cut after 15 characters (010.071.059.023);
# every line of the first sweep replaced.
mapfile -t hosts < <(lab_hosts_between 10.71.59.16 10.71.59.23)
drive sweep 10.71.59.16 010.071.059.023.999 --enter 8 "${hosts[@]}"
drive save "$(windows_path "$results")"
check "after a second sweep only its hosts are saved" expect_file "$results" "${hosts[@]}"

# No answer at all: an empty list, and the save empties the file.
drive sweep 10.71.59.40 10.71.59.45 6
drive save "$(windows_path "$results")"
check "a sweep without answers saves an empty file (0 bytes)" expect_file "$results"

drive escape
drive close
wait_program
check "closing the window ends the program with exit code 0 (got $program_rc)" \
    test "$program_rc" = 0

# ---- a program that cannot open its raw socket: no CAP_NET_RAW for the wineserver, which
# opens the sockets, nor for the program.
session_stop_wineserver
no_raw=(setpriv --bounding-set=-net_raw --inh-caps=-net_raw)
if ! "${no_raw[@]}" true 2>/dev/null; then
    echo "# skipped: setpriv cannot drop CAP_NET_RAW here, so the setup failure is not shown"
    skipped=$((skipped + 1))
else
    session_start_wineserver "$work/wineserver-noraw.log" "${no_raw[@]}" ||
        abort "a wineserver without CAP_NET_RAW in the scan namespace"
    for pid in $(session_wineservers); do
        caps=$(sed -n 's/^CapEff:\t//p' "/proc/$pid/status")
        check "the wineserver $pid runs without CAP_NET_RAW" test $((0x$caps & (1 << 13))) -eq 0
    done
    start_program "$exe" "$work/program-noraw.log" "${no_raw[@]}"
    drive expect-box "Brixle 100" "Error : Windows Socket Operation Failed
Brixle 100 needs administrator rights to open its raw ICMP socket."
    drive start
    drive refused 10.71.59.0 10.71.59.7 "Error : Louncher::fire() not initialized"
    drive close
    wait_program
    check "after a failed setup, closing still ends with exit code 0 (got $program_rc)" \
        test "$program_rc" = 0
fi

echo "# screenshots: $work/main-after-sweep.png $work/save-dialog.png"
finish
