#!/usr/bin/env bash
# Builds brixle100.exe (the 32-bit program; the 64-bit one where no 32-bit code runs) and starts
# it under Wine.
#
# With a usable display it simply starts the program there, in a Wine prefix of its own. The
# raw ICMP socket needs administrator rights: under Wine that means running as root.
#
# Without one (a headless server, CI) it never sweeps the machine's own network: it brings up
# the lab (scripts/lab.sh), starts the program on a virtual display inside the lab's scan
# namespace, sweeps the preset range 10.71.59.0-255 there, saves the results, takes a screenshot
# of the window, tears everything down and says where the screenshot and the results file are.
# BRIXLE_BUILD_DIR picks the build directory (default build/mingw-i686 or build/mingw-x86_64).
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/lib/lab-session.sh
. "$repo/scripts/lib/lab-session.sh"
# The 32-bit program, or the 64-bit one on a machine that runs no 32-bit code.
build=${BRIXLE_BUILD_DIR:-$(session_windows_build "$repo/build")}
out=$repo/build/run
exe=$build/app/brixle100.exe
driver=$build/tests/app/brixle_app_driver.exe

die() {
    echo "run: $*" >&2
    exit 1
}

# ---- inside the lab (the script comes back here through the session library)
if [ "${1:-}" = --in-lab ]; then
    # shellcheck source=tests/lib/program.sh
    . "$repo/tests/lib/program.sh"
    session_wine_env "$out/wine"
    trap 'stop_program; session_stop_wineserver; session_stop_display' EXIT
    session_start_display "$out/xvfb.log" || die "no virtual display"
    session_start_wineserver "$out/wineserver.log" || die "no wineserver inside the lab"
    session_use_designed_font virtual_desktop || die "the prefix's font and desktop were not set up"
    start_program "$exe" "$out/program.log"
    drive() {
        wine "$driver" "$@" >"$out/driver.log" 2>&1
        local rc=$?
        tr -d '\r' <"$out/driver.log"
        return $rc
    }
    drive start >/dev/null || die "the program did not come up; see $out/program.log"
    mapfile -t hosts < <(lab_hosts_between 10.71.59.0 10.71.59.255)
    echo "run: sweeping 10.71.59.0 - 10.71.59.255 in the lab (answering there: ${hosts[*]})"
    drive sweep 10.71.59.0 10.71.59.255 256 "${hosts[@]}" | grep -v '^ok' >&2
    drive save "$(windows_path "$out/results.txt")" | grep -v '^ok' >&2
    # The window with its frame, cut out of the virtual desktop around it; after the save, whose
    # end activates it (without a window manager nothing else would).
    desktop=$out/desktop.png
    if import -window root "$desktop"; then
        convert "$desktop" -trim +repage \
            -bordercolor "$(convert "$desktop" -format '%[pixel:p{0,0}]' info:)" -border 16 \
            "$out/brixle100.png"
    fi || echo "run: no screenshot" >&2
    drive close >/dev/null
    wait_program
    exit 0
fi

# ---- build
if [ "$(id -u)" -eq 0 ]; then
    bash "$repo/scripts/install-deps.sh" || die "installing the dependencies failed"
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset "$(basename "$build")" -B "$build" >/dev/null || die "configuring failed"
fi
cmake --build "$build" --target brixle100 brixle_app_driver >/dev/null || die "the build failed"
echo "run: built $exe"

# ---- a real display: just start it
if [ -n "${DISPLAY:-}" ] && xwininfo -root >/dev/null 2>&1; then
    session_wine_env "${WINEPREFIX:-$HOME/.local/share/brixle100/wine}"
    [ "$(id -u)" -eq 0 ] || echo "run: not root, so the program cannot open its raw socket" >&2
    mkdir -p "$WINEPREFIX"
    session_use_designed_font || echo "run: the dialogs may show in a wider fallback font" >&2
    cd "$(dirname "$exe")" && exec wine "$(basename "$exe")"
fi

# ---- headless: only ever inside the lab
[ "$(id -u)" -eq 0 ] || die "no display, and the lab that replaces it needs root (ip netns)"
# The lab's responder comes from the native build.
if ! cmake --preset linux >/dev/null ||
    ! cmake --build --preset linux --target brixle_lab_responder brixle_lab_noise >/dev/null; then
    die "building the lab's programs failed"
fi
mkdir -p "$out"
rm -f "$out/brixle100.png" "$out/results.txt"
echo "run: no display here; running the program in the lab on a virtual display"
(session_rerun_in_lab "${BASH_SOURCE[0]}" --in-lab)
status=$?
if [ -f "$out/brixle100.png" ] && [ -f "$out/results.txt" ]; then
    echo "run: screenshot of the window: $out/brixle100.png"
    echo "run: results file:             $out/results.txt ($(wc -l <"$out/results.txt") hosts)"
else
    echo "run: the run did not finish; logs in $out" >&2
    status=1
fi
exit $status
