#!/usr/bin/env bash
# How long the program takes from a close during a sweep to its end, per Windows build that runs
# here: Alt+F4 and the close box, real input on the session's display, each a few times. Run in a
# lab session with a display and the designed font (scripts/bench-report.sh).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rounds=${BRIXLE_CLOSE_ROUNDS:-3}

builds=(mingw-x86_64)
/usr/lib/wine/wine --version >/dev/null 2>&1 && builds=(mingw-i686 mingw-x86_64)
echo
echo "close during a sweep to the program's end, s (min / median / max of $rounds)"
for build in "${builds[@]}"; do
    dir=$repo/build/$build
    for input in "key alt+F4" "click 1"; do
        times=()
        for _ in $(seq "$rounds"); do
            (cd "$dir/app" && exec wine brixle100.exe >/dev/null 2>&1) &
            program=$!
            wine "$dir/tests/app/brixle_app_driver.exe" start >/dev/null
            read -r _ x y < <(wine "$dir/tests/app/brixle_app_driver.exe" sweep-begin \
                10.71.59.0 10.71.59.255 30 | tr -d '\r' | grep '^closebox ')
            xdotool mousemove "$x" "$y"
            start=$(date +%s%N) # from the input's start: xdotool takes a while to send it
            # shellcheck disable=SC2086 # the input is words for xdotool
            xdotool $input
            wait "$program"
            now=$(date +%s%N)
            times+=("$((now - start))")
        done
        # shellcheck disable=SC2016 # awk's own fields
        summary='{ ns[NR] = $1 } END { printf "%5.2f / %5.2f / %5.2f", ns[1] / 1e9, ns[int(NR / 2) + 1] / 1e9, ns[NR] / 1e9 }'
        printf '  %-13s %-11s %s\n' "$build" "$input" \
            "$(printf '%s\n' "${times[@]}" | sort -n | awk "$summary")"
    done
done
