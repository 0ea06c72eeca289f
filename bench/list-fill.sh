#!/usr/bin/env bash
# The window's part of a big sweep, per Windows build that runs here: the time from the sweep's end
# (its buttons back) to the full list for 4,096 and 65,536 hosts, the longest the window took to
# answer a message from the sweep's start until a second after, how often the system took it for
# hung meanwhile, and the time the save of those hosts took (bench/WindowProbe.cpp). The sweep is
# the prepared one of the benchmark's build of the program (bench/PreparedSweep.cpp: its hosts at
# once, nothing sent). Run in a lab session with a display and the designed font
# (scripts/bench-report.sh).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

builds=(mingw-x86_64)
/usr/lib/wine/wine --version >/dev/null 2>&1 && builds=(mingw-i686 mingw-x86_64)
[ ${#builds[@]} -eq 2 ] || not_here="  mingw-i686    not here: this machine runs no 32-bit code (IA-32 emulation off)"
saved=$(mktemp /tmp/brixle-list-fill.XXXXXX)
trap 'rm -f "$saved"' EXIT

echo
echo "the list after a sweep (prepared: its hosts at once), s: from the sweep's end to the full list,"
echo "the longest the window took to answer a message, polls that found it hung, the save"
for build in "${builds[@]}"; do
    dir=$repo/build/$build
    (cd "$dir/bench/prepared" && exec wine brixle100.exe >/dev/null 2>&1) &
    program=$!
    for range in "10.71.32.0 10.71.47.255 4096" "10.71.0.0 10.71.255.255 65536"; do
        read -r from to count <<<"$range"
        read -r _ _ full longest hung polls save < <(wine "$dir/bench/brixle_window_probe.exe" \
            "$from" "$to" "$count" "Z:${saved//\//\\}" | tr -d '\r' | grep '^fill ')
        printf '  %-13s %6d hosts: full list %5.2f   longest unanswered %5.2f   hung %s of %-4s save %5.2f (%d lines)\n' \
            "$build" "$count" "$full" "$longest" "$hung" "$polls" "$save" "$(wc -l <"$saved")"
    done
    wine "$dir/tests/app/brixle_app_driver.exe" close >/dev/null
    wait "$program"
done
[ -z "${not_here:-}" ] || echo "$not_here"
