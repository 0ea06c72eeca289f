#!/usr/bin/env bash
# Sweeps a /24 in the lab with our engine (natively) and with fping, and prints the sweep's
# duration against its floor (30 ms per address plus the 2 s grace), the CPU time it used,
# and whether both found the same hosts. Root only: the lab needs network namespaces.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
first=10.71.59.0
last=10.71.59.255
preset=linux

[ "$(id -u)" -eq 0 ] || { echo "bench-sweep: needs root (lab namespaces, raw sockets)" >&2; exit 1; }
"$repo/scripts/install-deps.sh"
cmake --preset "$preset" -S "$repo" >/dev/null
cmake --build --preset "$preset" --target brixle_sweep_bench >/dev/null
bench=${BRIXLE_BENCH_BINARY:-$repo/build/$preset/bench/brixle_sweep_bench}

work=$(mktemp -d /tmp/brixle-bench.XXXXXX)
envfile=$work/lab.env
cleanup() {
    "$repo/scripts/lab.sh" down "$envfile" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM
"$repo/scripts/lab.sh" up "$envfile" >/dev/null

lab() { "$repo/scripts/lab.sh" exec "$envfile" "$@"; }

lab /usr/bin/time -f "cpu_user_s %U\ncpu_system_s %S\npeak_kib %M" -o "$work/time.txt" \
    "$bench" "$first" "$last" >"$work/ours.txt"
# fping waits up to 2 s for an answer, so that the lab's late host counts for both.
lab fping -a -q -r 1 -t 2000 -g "$first" "$last" >"$work/fping.txt" 2>/dev/null || true

value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }
addresses=$(value addresses "$work/ours.txt")
floor=$(awk -v n="$addresses" 'BEGIN { printf "%.3f", n * 0.030 + 2.0 }')
sending_floor=$(awk -v n="$addresses" 'BEGIN { printf "%.3f", n * 0.030 }')
sending=$(value sending_s "$work/ours.txt")
total=$(value total_s "$work/ours.txt")
user=$(value cpu_user_s "$work/time.txt")
system=$(value cpu_system_s "$work/time.txt")
peak=$(value peak_kib "$work/time.txt")

awk '$1 == "hit" { print $2 }' "$work/ours.txt" | sort -V >"$work/ours-hosts.txt"
sort -V "$work/fping.txt" >"$work/fping-hosts.txt"

echo "sweep of $first - $last in the lab ($addresses addresses)"
printf '  sending        %8.3f s   floor %8.3f s (%+.1f %%)\n' "$sending" "$sending_floor" \
    "$(awk -v a="$sending" -v b="$sending_floor" 'BEGIN { print (a - b) * 100 / b }')"
printf '  whole sweep    %8.3f s   floor %8.3f s (+ grace; ends 2-4 s after sending)\n' "$total" "$floor"
printf '  CPU time       %8.3f s   (user %s s, system %s s), peak memory %s KiB\n' \
    "$(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }')" "$user" "$system" "$peak"
echo "  hosts found    $(wc -l <"$work/ours-hosts.txt") by us, $(wc -l <"$work/fping-hosts.txt") by fping"
if cmp -s "$work/ours-hosts.txt" "$work/fping-hosts.txt"; then
    echo "  same hosts as fping: yes"
else
    echo "  same hosts as fping: NO"
    diff "$work/ours-hosts.txt" "$work/fping-hosts.txt" | sed 's/^/    /'
    exit 1
fi
