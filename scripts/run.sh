#!/usr/bin/env bash
# Builds brixle100.exe (the 32-bit program; the 64-bit one where no 32-bit code runs) with its
# effect files and starts it under Wine.
#
# With a usable display it simply starts the program there, in a Wine prefix of its own, as
# whoever runs this: an ordinary user needs root only to install what is missing (through sudo).
# As root the program opens a raw ICMP socket; as an ordinary user Wine opens the kernel's ICMP
# ping sockets instead, which only the groups in net.ipv4.ping_group_range may open: without
# that, it says so and starts nothing.
#
# Without one (a headless server, CI) it never sweeps the machine's own network: it brings up
# the lab (scripts/lab.sh), starts the program on a virtual display inside the lab's scan
# namespace, sweeps the preset range 10.71.59.0-255 there, saves the results, takes a screenshot
# of the window, tears everything down and says where the screenshot and the results file are.
#
# What can refuse (no display and not root, a closed ping range) is found before anything is
# installed. BRIXLE_BUILD_DIR picks the build directory (default build/mingw-i686 or
# build/mingw-x86_64, chosen once Wine is installed, since only Wine tells which can run here).
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/lib/lab-session.sh
. "$repo/scripts/lib/lab-session.sh"
out=$repo/build/run

die() {
    echo "run: $*" >&2
    exit 1
}

# ---- inside the lab's session (lab.sh session: its wineserver proved there, a virtual display,
# the designed font on Wine's desktop), where the script comes back to
if [ "${1:-}" = --in-lab ]; then
    # The build the run made, carried here: the session may judge 32-bit Wine differently.
    exe=${BRIXLE_BUILD_DIR:?}/app/brixle100.exe
    driver=$BRIXLE_BUILD_DIR/tests/app/brixle_app_driver.exe
    (cd "$(dirname "$exe")" && exec wine "$(basename "$exe")") >"$out/program.log" 2>&1 &
    program=$!
    trap 'kill "$program" 2>/dev/null' EXIT
    drive() {
        wine "$driver" "$@" >"$out/driver.log" 2>&1
        local rc=$?
        tr -d '\r' <"$out/driver.log"
        return $rc
    }
    drive start >/dev/null || die "the program did not come up; see $out/program.log"
    # shellcheck disable=SC2086 # lists of addresses
    mapfile -t hosts < <(printf '%s\n' $BRIXLE_LAB_HOSTS $BRIXLE_LAB_LATE_HOSTS |
        grep '^10\.71\.59\.' | sort -t. -k4n)
    echo "run: sweeping 10.71.59.0 - 10.71.59.255 in the lab (answering there: ${hosts[*]})"
    drive sweep 10.71.59.0 10.71.59.255 256 "${hosts[@]}" | grep -v '^ok' >&2
    results=$out/results.txt
    drive save "Z:${results//\//\\}" | grep -v '^ok' >&2
    # The window with its frame, cut out of the virtual desktop around it; after the save, whose
    # end activates it (without a window manager nothing else would).
    desktop=$out/desktop.png
    if import -window root "$desktop"; then
        convert "$desktop" -trim +repage \
            -bordercolor "$(convert "$desktop" -format '%[pixel:p{0,0}]' info:)" -border 16 \
            "$out/brixle100.png"
    fi || echo "run: no screenshot" >&2
    drive close >/dev/null
    # At most 30 s for the program to end after its window closed.
    for _ in $(seq 300); do [ -d "/proc/$program" ] || break; sleep 0.1; done
    exit 0
fi

# ---- what can refuse: before the install, so with nothing it brings
# A display we can reach: the X server's socket, or its port where DISPLAY names a host (as ssh's
# forwarding sets it). Whether it lets us in is asked once its tools are installed.
display=0
if [[ ${DISPLAY:-} =~ ^([^:]*):([0-9]+)(\.[0-9]+)?$ ]]; then
    host=${BASH_REMATCH[1]} number=${BASH_REMATCH[2]}
    # shellcheck disable=SC2016 # the address, expanded by the bash that connects
    if [ -z "$host" ] || [ "$host" = unix ]; then
        [ -S "/tmp/.X11-unix/X$number" ] && display=1
    elif timeout 5 bash -c 'exec 3<>"/dev/tcp/$0/$1"' "$host" $((6000 + number)) 2>/dev/null; then
        display=1
    fi
fi
if [ "$(id -u)" -ne 0 ]; then
    [ "$display" -eq 1 ] ||
        die "no display${DISPLAY:+ at $DISPLAY}, and the lab that replaces it needs root (ip netns): start it on your desktop, or as root: sudo $repo/scripts/run.sh"
    read -r low high </proc/sys/net/ipv4/ping_group_range
    allowed=0
    for gid in $(id -G); do
        [ "$gid" -ge "$low" ] && [ "$gid" -le "$high" ] && allowed=1
    done
    if [ "$allowed" -eq 0 ]; then
        die "not started: your groups may not open ICMP ping sockets, which the program sweeps with when not root (net.ipv4.ping_group_range is \"$low $high\"). Allow them as root, then run this again:
    sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"
or run scripts/run.sh as root."
    fi
fi

# ---- what the build needs: installed by root, through sudo for an ordinary user
if [ "$(id -u)" -eq 0 ]; then
    bash "$repo/scripts/install-deps.sh" || die "installing the dependencies failed"
else
    missing=$(bash "$repo/scripts/install-deps.sh" --missing) || die "could not list the packages"
    if [ -n "$missing" ]; then
        command -v sudo >/dev/null ||
            die "missing: $missing; install them as root, then run this again: $repo/scripts/install-deps.sh"
        echo "run: installing $missing (sudo asks for your password)"
        sudo bash "$repo/scripts/install-deps.sh" ||
            die "installing failed; as root: $repo/scripts/install-deps.sh"
    fi
fi

if [ "$display" -eq 1 ] && ! xwininfo -root >/dev/null 2>&1; then
    [ "$(id -u)" -eq 0 ] ||
        die "the display $DISPLAY does not let us in (is XAUTHORITY set for it?)"
    echo "run: the display $DISPLAY does not let us in; the lab instead"
    display=0
fi

# ---- build, as whoever runs this
# Chosen now that Wine is installed, and carried into the lab's session.
build=${BRIXLE_BUILD_DIR:-$(session_windows_build "$repo/build")}
export BRIXLE_BUILD_DIR=$build
exe=$build/app/brixle100.exe
log=$(mktemp /tmp/brixle-run-build.XXXXXX) || die "no temporary file for the build's log"
# A build folder that an earlier run as root left is the likely cause when it fails.
hint=""
for dir in "$build" "$(dirname "$build")"; do
    [ -e "$dir" ] || continue
    [ -w "$dir" ] || hint="; $dir is not yours (an earlier run as root?): sudo chown -R $(id -un) $dir"
    break
done
# build_step WHAT command...: into the log, kept when it fails; on a terminal its progress shows.
build_step() {
    local what=$1 status
    shift
    : >"$log"
    if [ -t 1 ]; then
        "$@" 2>&1 | tee -a "$log" | while IFS= read -r line; do
            [[ $line =~ ^\[([0-9]+/[0-9]+)\] ]] && printf '\r\033[Krun:   step %s' "${BASH_REMATCH[1]}"
        done
        status=${PIPESTATUS[0]}
        printf '\r\033[K'
    else
        "$@" >>"$log" 2>&1
        status=$?
    fi
    [ "$status" -eq 0 ] && return 0
    grep -E 'error|Error|FAILED' "$log" | head -20 >&2
    die "$what failed; the whole log: $log$hint"
}
targets=(brixle100 brixle_effect_files)
what="the program and its six effect files"
if [ "$display" -eq 0 ]; then
    targets+=(brixle_app_driver)
    what="the program, its six effect files and the driver that works its window"
fi
echo "run: building $what in $build (about a minute the first time)"
if [ ! -f "$build/CMakeCache.txt" ]; then
    build_step configuring cmake --preset "$(basename "$build")" -B "$build"
fi
build_step "the build" cmake --build "$build" --target "${targets[@]}"
rm -f "$log"
echo "run: built $exe"

# ---- a real display: just start it
if [ "$display" -eq 1 ]; then
    session_wine_env "${WINEPREFIX:-$HOME/.local/share/brixle100/wine}"
    mkdir -p "$WINEPREFIX"
    # shellcheck disable=SC2119 # on a real display, no Wine desktop around the program
    session_use_designed_font || echo "run: the dialogs may show in a wider fallback font" >&2
    cd "$(dirname "$exe")" && exec wine "$(basename "$exe")"
fi

# ---- headless (root): only ever inside the lab
# The lab's responder comes from the native build.
echo "run: building the lab's answering hosts and noise sender in build/linux"
build_step "configuring the native build" cmake --preset linux
build_step "building the lab's programs" cmake --build --preset linux --target brixle_lab_responder brixle_lab_noise
rm -f "$log"
mkdir -p "$out"
rm -f "$out/brixle100.png" "$out/results.txt"
echo "run: no display here; running the program in the lab on a virtual display"
# A lab of the run's own; its Wine prefix ($out/wine) is kept for the next run.
trap '"$repo/scripts/lab.sh" down "$out/lab.env"; rm -f "$out"/lab-*' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
"$repo/scripts/lab.sh" up "$out/lab.env" >/dev/null || die "the lab did not come up"
"$repo/scripts/lab.sh" session "$out/lab.env" --display --designed-font -- \
    bash "${BASH_SOURCE[0]}" --in-lab
status=$?
if [ -f "$out/brixle100.png" ] && [ -f "$out/results.txt" ]; then
    echo "run: screenshot of the window: $out/brixle100.png"
    echo "run: results file:             $out/results.txt ($(wc -l <"$out/results.txt") hosts)"
else
    echo "run: the run did not finish; logs in $out" >&2
    status=1
fi
exit $status
