#!/usr/bin/env bash
# How long the program takes from a close during a sweep to its end, per Windows build that runs
# here: Alt+F4 and the close box, real input on the session's display, each a few times; started
# by us, and started by Wine's own explorer (as a desktop would), whose programs no Wine process
# waits for: there an ended program stays a zombie until this machine's init reaps it, which is
# neither the program's time nor Wine's. Run in a lab session with a display and the designed
# font (scripts/bench-report.sh).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rounds=${BRIXLE_CLOSE_ROUNDS:-3}

builds=(mingw-x86_64)
/usr/lib/wine/wine --version >/dev/null 2>&1 && builds=(mingw-i686 mingw-x86_64)
[ ${#builds[@]} -eq 2 ] || not_here="  mingw-i686    not here: this machine runs no 32-bit code (IA-32 emulation off)"
now() { date +%s%N; }
# shellcheck disable=SC2016 # awk's own fields
summary='{ ns[NR] = $1 } END { printf "%5.2f / %5.2f / %5.2f", ns[1] / 1e9, ns[int(NR / 2) + 1] / 1e9, ns[NR] / 1e9 }'
spread() { printf '%s\n' "$@" | sort -n | awk "$summary"; }

echo
echo "close during a sweep to the program's end (exited) and to its reaping, s (min / median / max of $rounds)"
for build in "${builds[@]}"; do
    dir=$repo/build/$build
    for start in us explorer; do
        for input in "key alt+F4" "click 1"; do
            exited=() reaped=()
            for _ in $(seq "$rounds"); do
                if [ "$start" = us ]; then
                    (cd "$dir/app" && exec wine brixle100.exe >/dev/null 2>&1) &
                else
                    (cd "$dir/app" && exec wine explorer /desktop=Brixle100,1024x768 brixle100.exe \
                        >/dev/null 2>&1) &
                fi
                launcher=$!
                wine "$dir/tests/app/brixle_app_driver.exe" start >/dev/null
                program=$(pgrep --ns $$ --nslist net -x brixle100.exe | head -1)
                read -r _ x y < <(wine "$dir/tests/app/brixle_app_driver.exe" sweep-begin \
                    10.71.59.0 10.71.59.255 30 | tr -d '\r' | grep '^closebox ')
                xdotool mousemove "$x" "$y"
                begun=$(now) # from the input's start: xdotool takes a while to send it
                # shellcheck disable=SC2086 # the input is words for xdotool
                xdotool $input
                ended=""
                while state=$(awk '{ print $3 }' "/proc/$program/stat" 2>/dev/null); do
                    [ -n "$ended" ] || [ "$state" != Z ] || ended=$(now)
                    sleep 0.005
                done
                gone=$(now)
                exited+=("$((${ended:-$gone} - begun))")
                reaped+=("$((gone - begun))")
                wait "$launcher" || true
            done
            printf '  %-13s %-9s %-11s exited %s   reaped %s\n' "$build" "by $start" "$input" \
                "$(spread "${exited[@]}")" "$(spread "${reaped[@]}")"
        done
    done
done
[ -z "${not_here:-}" ] || echo "$not_here"
