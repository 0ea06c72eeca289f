#!/usr/bin/env bash
# Sweeps with sound under Wine in the lab, with ALSA writing what the program plays to a file,
# and checks with brixle_soundcheck (tests/sound/soundcheck) which effects were heard, in which
# order and at which pauses; then without a sound device, and with broken effect files beside the
# program. Prints "N passed, M failed" last; exits 1 on any failure. Run by ctest in the lab
# (`ctest --preset all -L sound`); BRIXLE_APP_BUILD_DIR names the Windows build (default: the
# 32-bit one, or the 64-bit one where no 32-bit code runs).
#
# ALSA's file plugin over its null device is not paced by any clock: it takes what Wine mixes as
# fast as Wine mixes it, a few times faster than real time but steadily. So the recording's time
# runs at a steady multiple of the wall clock's; the matcher works it out from the pauses it
# hears and compares everything else through it.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=tests/lib/program.sh
. "$repo/tests/lib/program.sh"
# shellcheck source=tests/lib/checks.sh
. "$repo/tests/lib/checks.sh"

build=${BRIXLE_APP_BUILD_DIR:-$(session_windows_build "${BRIXLE_BUILD_ROOT:-$repo/build}")}
work=${BRIXLE_RESULTS_DIR:-$repo/build/test-results}/sound
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

# The matcher runs natively: the linux preset builds it.
soundcheck=${BRIXLE_SOUNDCHECK:-$repo/build/linux/tests/sound/soundcheck/brixle_soundcheck}
[ -x "$soundcheck" ] || abort "the sound matcher is built ($soundcheck)"
{ [ -f "$exe" ] && [ -f "$driver" ]; } || abort "built $exe and $driver"
for name in a_ tata tah canthear muteki abeshi; do
    [ -s "$build/app/$name.wav" ] || abort "the effect file $name.wav lies beside the program"
done
session_start_display "$work/xvfb.log" || abort "a virtual display"
session_start_wineserver "$work/wineserver.log" || abort "a wineserver of our own in the scan namespace"

# The default ALSA device writes everything played, as 16-bit stereo at 44.1 kHz, into a file
# without a header (the file plugin finishes a WAV header only when the device is closed cleanly,
# which Wine does not always do). The plug converts from whatever Wine mixes in.
capture_config() {
    cat >"$1" <<EOF
pcm.!default {
    type plug
    slave { pcm "recorder"; format S16_LE; rate 44100; channels 2 }
}
pcm.recorder {
    type file
    slave { pcm { type null } }
    file "$2"
    format "raw"
}
EOF
}
recording_format=s16:44100:2

# A device that cannot be opened: the program has no sound for its whole run.
broken_config() {
    cat >"$1" <<EOF
pcm.!default {
    type file
    slave { pcm { type hw; card 29; device 0 } }
    file "$2"
    format "raw"
}
ctl.!default { type hw; card 29 }
EOF
}

# Runs the program from FOLDER (its current directory, where it opens its effects) with the
# ALSA configuration CONFIG, sweeps each "FROM TO" of the list, closes it. Per sweep it leaves
# the addresses sent in sent[] and the time the buttons stayed grey in lasted[].
sent=() lasted=()
run_program() {
    local name=$1 folder=$2 config=$3 range hosts
    shift 3
    sent=() lasted=()
    start_program "$folder/brixle100.exe" "$work/$name.log" env ALSA_CONFIG_PATH="$config"
    drive start
    for range in "$@"; do
        # shellcheck disable=SC2086
        set -- $range
        mapfile -t hosts < <(lab_hosts_between "$1" "$2")
        local count=$(($(to_number "$2") - $(to_number "$1") + 1))
        drive sweep "$1" "$2" "$count" "${hosts[@]}"
        sent+=("$count")
        lasted+=("$(tr -d '\r' <"$work/step.out" | sed -n 's/^# sweep lasted \([0-9]*\) ms$/\1/p')")
    done
    drive close
    wait_program
    check "$name: closing the window ends the program with exit code 0 (got $program_rc)" \
        test "$program_rc" = 0
}

to_number() {
    local IFS=.
    # shellcheck disable=SC2086
    set -- $1
    echo $((($1 << 24) + ($2 << 16) + ($3 << 8) + $4))
}

# Checks the recording against one pattern per sweep of the last run_program.
heard() {
    local recording=$1 args=() i=0 pattern
    shift
    for pattern in "$@"; do
        args+=(--sweep "$pattern" --sent "${sent[$i]}")
        [ -n "${lasted[$i]:-}" ] && args+=(--wall "${lasted[$i]}")
        i=$((i + 1))
    done
    counted "$soundcheck" --raw "$recording_format" "$recording" "$effects" "${args[@]}"
}
effects=$build/app

# ---- (a) sweeps with sound: most answered, fewer than 80 %, none; and (d) the first sweep
# again in the same run, heard again
recording=$work/sound.raw
capture_config "$work/sound.conf" "$recording"
run_program sound "$build/app" "$work/sound.conf" \
    "10.71.59.1 10.71.59.3" "10.71.59.0 10.71.59.63" "10.71.59.40 10.71.59.42" \
    "10.71.59.1 10.71.59.3"
if [ -s "$recording" ]; then
    heard "$recording" a_,tata,tah,muteki a_,tata,tah,abeshi a_,tata,tah,canthear \
        a_,tata,tah,muteki
else
    check "the sweeps with sound were recorded" false
fi

# ---- (b) no sound device: silent sweeps, ended by the receiver's grace time as before
recording=$work/nodevice.raw
broken_config "$work/nodevice.conf" "$recording"
run_program nodevice "$build/app" "$work/nodevice.conf" \
    "10.71.59.1 10.71.59.3" "10.71.59.40 10.71.59.42"
check "without a device nothing was played" test ! -s "$recording"
# Sent at once, noticed within the receiver's 1 s wait, then more than 2 s of grace, looked at
# once a second: 2 to 4.3 s on an idle machine. Only the grace is the engine's; a busy machine
# makes it later, so above it only a hang (15 s) fails. Nothing was played: no sound script ran.
for i in 0 1; do
    check "without a device sweep $((i + 1)) ends by the grace time (${lasted[$i]:-?} ms)" \
        test "${lasted[$i]:-0}" -ge 2000 -a "${lasted[$i]:-0}" -le 15000
done

# ---- (c) broken effect files in the program's folder: each broken one is skipped with its
# pause, the others play; results, timing and the absence of any message as usual
faulty_folder() {
    local folder=$work/$1
    mkdir -p "$folder"
    cp "$exe" "$build/app/"*.wav "$folder/"
    echo "$folder"
}
truncate_data() { # the data chunk still declares its full size
    local file=$1 size
    size=$(stat -c %s "$file")
    truncate -s $((44 + (size - 44) / 2)) "$file"
}

folder=$(faulty_folder faults-a)
rm "$folder/a_.wav"
: >"$folder/tah.wav"
truncate_data "$folder/abeshi.wav"
echo "these are no sound effects" >"$folder/canthear.wav"
recording=$work/faults-a.raw
capture_config "$work/faults-a.conf" "$recording"
run_program faults-a "$folder" "$work/faults-a.conf" \
    "10.71.59.1 10.71.59.3" "10.71.59.0 10.71.59.7" "10.71.59.40 10.71.59.42"
heard "$recording" tata,muteki tata tata

folder=$(faulty_folder faults-b)
truncate_data "$folder/a_.wav"
echo "RIFF but not really" >"$folder/tata.wav"
rm "$folder/tah.wav"
: >"$folder/muteki.wav"
recording=$work/faults-b.raw
capture_config "$work/faults-b.conf" "$recording"
run_program faults-b "$folder" "$work/faults-b.conf" \
    "10.71.59.1 10.71.59.3" "10.71.59.0 10.71.59.7" "10.71.59.40 10.71.59.42"
if [ -e "$recording" ]; then
    heard "$recording" - abeshi canthear
else
    check "faults-b: the device was opened" false
fi

finish
