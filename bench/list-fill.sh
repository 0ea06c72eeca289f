#!/usr/bin/env bash
# The window's part of a big sweep, per Windows build that runs here: the time from the sweep's end
# (its buttons back) to the full list for 4,096 and 65,536 hosts, the longest the window took to
# answer a message from the sweep's start until a second after, how often the system took it for
# hung meanwhile, and the time the save of those hosts took. The sweep is the prepared one of the
# benchmark's build of the program (bench/PreparedSweep.cpp: its hosts at once, nothing sent). Run
# in a lab session with a display and the designed font (scripts/bench-report.sh).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

builds=(mingw-x86_64)
/usr/lib/wine/wine --version >/dev/null 2>&1 && builds=(mingw-i686 mingw-x86_64)
saved=$(mktemp /tmp/brixle-list-fill.XXXXXX)
trap 'rm -f "$saved"' EXIT

echo
echo "the list after a sweep (prepared: its hosts at once): s from the sweep's end to the full list,"
echo "the longest s the window took to answer a message, polls that found it hung, s to save them"
for build in "${builds[@]}"; do
    dir=$repo/build/$build
    driver=$dir/tests/app/brixle_app_driver.exe
    (cd "$dir/bench/prepared" && exec wine brixle100.exe >/dev/null 2>&1) &
    program=$!
    wine "$driver" start >/dev/null
    for range in "10.71.32.0 10.71.47.255 4096" "10.71.0.0 10.71.255.255 65536"; do
        read -r from to count <<<"$range"
        read -r _ _ fill longest hung polls < <(wine "$driver" list-fill "$from" "$to" "$count" |
            tr -d '\r' | grep '^fill ')
        save=$(wine "$driver" save "Z:${saved//\//\\}" | tr -d '\r' |
            sed -n 's/^# saved in \([0-9]*\) ms$/\1/p')
        lines=$(wc -l <"$saved")
        printf '  %-13s %6d hosts: full list %6.2f   longest unanswered %5.2f   hung %s of %-4s save %5.2f (%d lines)\n' \
            "$build" "$count" "$fill" "$longest" "$hung" "$polls" "${save:-0}e-3" "$lines"
    done
    wine "$driver" close >/dev/null
    wait "$program"
done
