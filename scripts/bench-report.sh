#!/usr/bin/env bash
# The benchmark report, in one run in the lab: a sweep of the same /24 by our engine natively and
# under Wine (i686), by fping and by nmap's ping scan, each with its wall time, CPU time, peak
# memory and whether it found exactly the lab's hosts; then our receiver alone, natively and
# under Wine (i686 and x86_64): how many datagrams a second it reads, from the flood's 200
# sources over and over and from a new source each datagram, the receive buffer it was granted,
# and which lab hosts a sweep still finds under a flood of a third of that rate and of three
# times it; and the memory one stored hit costs.
# Root only (lab namespaces, raw sockets). Builds into build/bench-linux, build/bench-mingw-i686
# and build/bench-mingw-x86_64 unless BRIXLE_BENCH_NATIVE, BRIXLE_BENCH_I686,
# BRIXLE_BENCH_X86_64, BRIXLE_HITLIST_NATIVE and BRIXLE_HITLIST_I686 name the programs.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
first=10.71.59.0
last=10.71.59.255
# shellcheck source=scripts/lib/lab-session.sh
. "$repo/scripts/lib/lab-session.sh"

# --- Outside: build, bring up the lab, come back here inside its scan namespace.
if ! session_in_lab; then
    [ "$(id -u)" -eq 0 ] || { echo "bench-report: needs root (lab namespaces, raw sockets)" >&2; exit 1; }
    "$repo/scripts/install-deps.sh" || exit 1
    build() {
        local preset=$1 dir=$repo/build/bench-$1
        shift
        { [ -f "$dir/CMakeCache.txt" ] || cmake --preset "$preset" -B "$dir" >/dev/null; } &&
            cmake --build "$dir" --target "$@" >/dev/null
    }
    if [ -z "${BRIXLE_BENCH_NATIVE:-}" ] || [ -z "${BRIXLE_HITLIST_NATIVE:-}" ]; then
        echo "building the native benchmarks (build/bench-linux)"
        build linux brixle_sweep_bench brixle_hitlist_bench || exit 1
    fi
    if [ -z "${BRIXLE_BENCH_I686:-}" ] || [ -z "${BRIXLE_HITLIST_I686:-}" ]; then
        echo "building the Windows benchmarks (build/bench-mingw-i686)"
        build mingw-i686 brixle_sweep_bench brixle_hitlist_bench || exit 1
    fi
    if [ -z "${BRIXLE_BENCH_X86_64:-}" ]; then
        echo "building the 64-bit Windows benchmark (build/bench-mingw-x86_64)"
        build mingw-x86_64 brixle_sweep_bench || exit 1
    fi
    export BRIXLE_BENCH_NATIVE=${BRIXLE_BENCH_NATIVE:-$repo/build/bench-linux/bench/brixle_sweep_bench}
    export BRIXLE_HITLIST_NATIVE=${BRIXLE_HITLIST_NATIVE:-$repo/build/bench-linux/bench/brixle_hitlist_bench}
    export BRIXLE_BENCH_I686=${BRIXLE_BENCH_I686:-$repo/build/bench-mingw-i686/bench/brixle_sweep_bench.exe}
    export BRIXLE_HITLIST_I686=${BRIXLE_HITLIST_I686:-$repo/build/bench-mingw-i686/bench/brixle_hitlist_bench.exe}
    export BRIXLE_BENCH_X86_64=${BRIXLE_BENCH_X86_64:-$repo/build/bench-mingw-x86_64/bench/brixle_sweep_bench.exe}
    # The lab's programs come from the native build.
    build linux brixle_lab_responder brixle_lab_noise || exit 1
    export BRIXLE_LAB_TOOLS=$repo/build/bench-linux/tests/lab
    session_rerun_in_lab "${BASH_SOURCE[0]}"
fi

# --- Inside the scan namespace. A Wine prefix of its own, so no test run's wineserver is ended
# by us or ours by it.
work=$(mktemp -d /tmp/brixle-report.XXXXXX)
session_wine_env "$repo/build/bench-wine"
unset DISPLAY
bench_pid="" noise_pid="" capacity_pid=""

stop_pid() {
    [ -n "$1" ] && [ -d "/proc/$1" ] || return 0
    kill -TERM "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}
trap 'stop_pid "$noise_pid"; stop_pid "$bench_pid"; stop_pid "$capacity_pid"; session_stop_wineserver; rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# CPU seconds a process has used so far, from /proc (for the wineserver's share).
cpu_of() {
    awk -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); printf "%.3f", ($12 + $13) / hz }' \
        "/proc/$1/stat" 2>/dev/null || echo 0
}

now() { date +%s.%N; }

to_number() {
    local IFS=.
    # shellcheck disable=SC2086
    set -- $1
    echo $((($1 << 24) + ($2 << 16) + ($3 << 8) + $4))
}

lab_hosts=$(for h in $BRIXLE_LAB_HOSTS ${BRIXLE_LAB_LATE_HOSTS:-}; do
    n=$(to_number "$h")
    [ "$n" -ge "$(to_number $first)" ] && [ "$n" -le "$(to_number $last)" ] && echo "$h"
done | sort -V)

rows=()
# row TOOL WALL CPU PEAK_KIB HOSTS_FILE [NOTE]
row() {
    local same=no
    [ "$(sort -V "$5")" = "$lab_hosts" ] && same=yes
    rows+=("$(printf '%-22s %9.2f %9.2f %10s %5d  %-4s %s' "$1" "$2" "$3" "$4" "$(wc -l <"$5")" "$same" "${6:-}")")
}

value() { awk -v k="$1" '$1 == k { print $2; exit }' "$2"; }

echo "sweeps of $first - $last in the lab; the lab's hosts there: ${lab_hosts//$'\n'/ }"

# Ours, natively.
start=$(now)
"$BRIXLE_BENCH_NATIVE" "$first" "$last" >"$work/native.out" 2>"$work/native.err"
wall=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
awk '$1 == "hit" { print $2 }' "$work/native.out" >"$work/native.hosts"
row "ours, native" "$wall" "$(value cpu_s "$work/native.out")" "$(value peak_kib "$work/native.out")" \
    "$work/native.hosts" "sweep $(value total_s "$work/native.out") s, sending $(value sending_s "$work/native.out") s"

# Ours, under Wine: the program's own CPU time plus what its wineserver spent meanwhile. The
# 32-bit build, or the 64-bit one where this machine runs no 32-bit code.
wine_bench=$BRIXLE_BENCH_I686 wine_label="ours, Wine i686"
session_runs_32bit || wine_bench=$BRIXLE_BENCH_X86_64 wine_label="ours, Wine x86_64"
wine_ok=0
if session_start_wineserver "$work/wineserver.log"; then
    wine_ok=1
    server=$(session_wineservers | head -n 1)
    # A first start warms the prefix up, so the figures below are the sweep's, not wineboot's.
    wine "$wine_bench" 127.0.0.1 127.0.0.1 >/dev/null 2>&1 || true
    server_before=$(cpu_of "$server")
    start=$(now)
    wine "$wine_bench" "$first" "$last" >"$work/wine.out" 2>"$work/wine.err"
    wall=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
    server_cpu=$(awk -v a="$server_before" -v b="$(cpu_of "$server")" 'BEGIN { print b - a }')
    sed -i 's/\r$//' "$work/wine.out"
    awk '$1 == "hit" { print $2 }' "$work/wine.out" >"$work/wine.hosts"
    row "$wine_label" "$wall" \
        "$(awk -v a="$(value cpu_s "$work/wine.out")" -v b="$server_cpu" 'BEGIN { print a + b }')" \
        "$(value peak_kib "$work/wine.out")" "$work/wine.hosts" \
        "sweep $(value total_s "$work/wine.out") s, sending $(value sending_s "$work/wine.out") s; CPU incl. wineserver $server_cpu s"
else
    rows+=("$wine_label could not start Wine in the lab")
fi

# fping waits up to 2 s for an answer, so that the lab's late host counts as it does for us.
/usr/bin/time -f "%e %U %S %M" -o "$work/fping.time" \
    fping -a -q -r 1 -t 2000 -g "$first" "$last" >"$work/fping.hosts" 2>/dev/null
# fping exits 1 when some addresses did not answer, and time(1) says so on a line of its own.
read -r wall user system peak < <(tail -n 1 "$work/fping.time")
row "fping -r 1 -t 2000" "$wall" "$(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }')" \
    "$peak" "$work/fping.hosts"

/usr/bin/time -f "%e %U %S %M" -o "$work/nmap.time" \
    nmap -sn -PE -n -oG "$work/nmap.grep" "$first/24" >/dev/null 2>&1
read -r wall user system peak < <(tail -n 1 "$work/nmap.time")
awk '/Status: Up/ { print $2 }' "$work/nmap.grep" >"$work/nmap.hosts"
row "nmap -sn -PE -n" "$wall" "$(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }')" \
    "$peak" "$work/nmap.hosts" "the late host answers after ${BRIXLE_LAB_LATE_MS:-1500} ms"

echo
printf '%-22s %9s %9s %10s %5s  %-4s %s\n' tool "wall s" "CPU s" "peak KiB" hosts same note
printf '%s\n' "${rows[@]}"
for f in native wine fping nmap; do
    [ -f "$work/$f.hosts" ] || continue
    if [ "$(sort -V "$work/$f.hosts")" != "$lab_hosts" ]; then
        echo "  $f differs from the lab's hosts:"
        diff <(echo "$lab_hosts") <(sort -V "$work/$f.hosts") | sed 's/^/    /'
    fi
done

# --- The receiver alone: its rate, measured as the fault tests measure it, then a sweep of
# 10.71.59.0 - 127 under a flood from the 200 sources for 3 s at a third and at three times it.
# shellcheck source=bench/receiver-capacity.sh
. "$repo/bench/receiver-capacity.sh"

flood_report() {
    local label=$1 rate=$2 lab shown
    shift 2
    : >"$work/flood.out"
    "$@" 10.71.59.0 10.71.59.127 >"$work/flood.out" 2>/dev/null &
    bench_pid=$!
    for _ in $(seq 600); do
        grep -q '^sweep 1 started' "$work/flood.out" && break
        sleep 0.05
    done
    ip netns exec "$BRIXLE_LAB_NS" "$BRIXLE_LAB_NOISE" --netns "$BRIXLE_LAB_NS" --kind flood \
        --rate "$rate" --count $((rate * 3)) --seconds 3 --source "${capacity_repeated_sources[0]}" \
        --source "${capacity_repeated_sources[1]}" --queue-of $$ >"$work/flood.noise" 2>&1
    wait "$bench_pid"
    bench_pid=""
    lab=$(for h in $lab_hosts; do [ "$(to_number "$h")" -le "$(to_number 10.71.59.127)" ] && echo "$h"; done)
    shown=$(tr -d '\r' <"$work/flood.out" | awk '$1 == "hit" { print $2 }' | grep -cxF -f <(echo "$lab"))
    printf '  %-14s %8d/s: %d of %d lab hosts found, sweep %s s (sending %s s); %s\n' "$label" "$rate" \
        "$shown" "$(echo "$lab" | wc -l)" "$(tr -d '\r' <"$work/flood.out" | awk '$1 == "total_s" { print $2 }')" \
        "$(tr -d '\r' <"$work/flood.out" | awk '$1 == "sending_s" { print $2 }')" \
        "$(sed -n 's/^noise: queue //p' "$work/flood.noise")"
}

receiver_report() {
    local label=$1 repeated distinct
    shift
    echo
    echo "receiver, $label"
    measure_capacity "$work/capacity" "$@"
    if [ ! -s "$work/capacity.out" ] || ! grep -q '^sweep 1 done' "$work/capacity.out"; then
        echo "  could not run: $(cat "$work/capacity.out" "$work/capacity.err" | tr -d '\r' | head -n 3 | tr '\n' ' ')"
        return
    fi
    read -r -a repeated <<<"$(capacity_of "$work/capacity.repeated")"
    read -r -a distinct <<<"$(capacity_of "$work/capacity.distinct")"
    echo "  receive buffer granted: $(awk '$1 == "receive_buffer" { print $2 }' "$work/capacity.out") bytes"
    echo "  reads ${repeated[0]} datagrams/s from 200 sources over and over (${repeated[1]}), ${distinct[0]}/s from a new source each (${distinct[1]})"
    sed -n 's/^noise: /    /p' "$work/capacity.repeated" "$work/capacity.distinct"
    [ "${repeated[0]}" -gt 0 ] || return
    flood_report "a third:" $((repeated[0] / 3)) "$@"
    flood_report "three times:" $((repeated[0] * 3 > 150000 ? 150000 : repeated[0] * 3)) "$@"
}

receiver_report native "$BRIXLE_BENCH_NATIVE"
if [ "$wine_ok" -eq 1 ]; then
    if session_runs_32bit; then
        receiver_report "Wine i686" wine "$BRIXLE_BENCH_I686"
    else
        echo; echo "receiver, Wine i686: not here (this machine runs no 32-bit code)"
    fi
    receiver_report "Wine x86_64" wine "$BRIXLE_BENCH_X86_64"
fi

echo
echo "memory per stored hit (100000 ascending addresses into a HitList)"
"$BRIXLE_HITLIST_NATIVE" 100000 | sed 's/^/  native x86_64: /'
if [ "$wine_ok" -eq 1 ] && session_runs_32bit; then
    wine "$BRIXLE_HITLIST_I686" 100000 2>/dev/null | tr -d '\r' | sed 's/^/  Wine i686:     /'
fi
