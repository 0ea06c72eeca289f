#!/usr/bin/env bash
# Faults on the network side, in the lab, for the sweep engine natively and under Wine (i686 and
# x86_64): floods, oversized and malformed ICMP during a sweep, ranges that fail part way, and
# a long run of sweeps in one program. Every check prints one line; the last line is
# "N passed, M failed"; the exit code is non-zero on any failure.
#
# Run by ctest in the lab (`ctest --preset all -L faults`). It uses the builds under
# BRIXLE_BUILD_ROOT (default build/): linux, mingw-i686
# and mingw-x86_64; BRIXLE_FAULT_NATIVE, BRIXLE_FAULT_I686 and BRIXLE_FAULT_X86_64 name other
# binaries, BRIXLE_FAULT_REPEAT the length of the long run (50), BRIXLE_FAULT_FLOOD_RATE the
# most datagrams a second of the flood that must cost no host (30000; it is held to a third of
# what the receiver was measured to take in); BRIXLE_FAULT_FLAVOURS
# ("native i686 x86_64") and BRIXLE_FAULT_CHECKS ("flood big malformed failing long") pick a part.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build_root=${BRIXLE_BUILD_ROOT:-$repo/build}
native_bench=${BRIXLE_FAULT_NATIVE:-$build_root/linux/bench/brixle_sweep_bench}
i686_bench=${BRIXLE_FAULT_I686:-$build_root/mingw-i686/bench/brixle_sweep_bench.exe}
x86_64_bench=${BRIXLE_FAULT_X86_64:-$build_root/mingw-x86_64/bench/brixle_sweep_bench.exe}
repeat=${BRIXLE_FAULT_REPEAT:-50}
flood_rate=${BRIXLE_FAULT_FLOOD_RATE:-30000}

# shellcheck source=scripts/lib/lab-session.sh
. "$repo/scripts/lib/lab-session.sh"
if ! session_in_lab; then
    echo "skipped: needs the lab (root)"
    exit 77
fi

work=${BRIXLE_RESULTS_DIR:-$repo/build/test-results}/faults
rm -rf "$work"
mkdir -p "$work"
session_wine_env "$BRIXLE_LAB_WINEPREFIX"
unset DISPLAY

passed=0 failed=0
bench_pid="" noise_pid="" capacity_pid=""

check() {
    local name=$1 ok=$2 detail=$3
    if [ "$ok" -eq 1 ]; then
        passed=$((passed + 1))
        echo "ok      $name: $detail"
    else
        failed=$((failed + 1))
        echo "FAILED  $name: $detail"
    fi
}

# Wine: the lab prefix's wineserver, started here in the scan namespace and proved to be here.
start_wine() { session_start_wineserver "$work/wineserver.log"; }
stop_wine() { session_stop_wineserver; }

stop_pid() {
    local pid=$1
    [ -n "$pid" ] && [ -d "/proc/$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

cleanup() {
    stop_pid "$noise_pid"
    stop_pid "$bench_pid"
    stop_pid "$capacity_pid"
    stop_wine
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- Running a sweep, with noise from the lab while it runs.

# The bench for a flavour as a command line: native, or the .exe under Wine.
bench_command() {
    case $1 in
    native) echo "$native_bench" ;;
    i686) echo "wine $i686_bench" ;;
    x86_64) echo "wine $x86_64_bench" ;;
    esac
}

bench_binary() {
    case $1 in
    native) echo "$native_bench" ;;
    i686) echo "$i686_bench" ;;
    x86_64) echo "$x86_64_bench" ;;
    esac
}

# run_bench FLAVOUR NAME LIMIT NOISE_ARGS -- BENCH_ARGS...
# Runs the bench with a time limit (hang detection, generous); when NOISE_ARGS is not empty,
# the noise sender starts from the lab as soon as the first sweep has started. Output goes to
# files (Wine keeps a pipe's write end open in its wineserver, so a pipe might never end).
run_bench() {
    local flavour=$1 name=$2 limit=$3 noise_args=$4
    shift 5
    local out=$work/$name.out
    : >"$out"
    # shellcheck disable=SC2046
    timeout -k 5 "$limit" $(bench_command "$flavour") "$@" >"$out" 2>"$work/$name.err" &
    bench_pid=$!
    if [ -n "$noise_args" ]; then
        for _ in $(seq 1200); do
            grep -q '^sweep 1 started' "$out" && break
            [ -d "/proc/$bench_pid" ] || break
            sleep 0.05
        done
        # shellcheck disable=SC2086
        ip netns exec "$BRIXLE_LAB_NS" "$BRIXLE_LAB_NOISE" --netns "$BRIXLE_LAB_NS" $noise_args \
            >"$work/$name.noise" 2>&1 &
        noise_pid=$!
        wait "$noise_pid"
        noise_pid=""
    fi
    wait "$bench_pid"
    echo $? >"$work/$name.rc"
    bench_pid=""
    # Windows programs end their lines with CR LF.
    sed -i 's/\r$//' "$out"
}

# field NAME SWEEP KEY: the value of KEY in sweep SWEEP's lines.
field() {
    awk -v n="$2" -v k="$3" '
        $1 == "sweep" && $3 == "started" { s = $2 }
        s == n && $1 == k { $1 = ""; sub(/^ /, ""); print; exit }
    ' "$work/$1.out"
}

hits() {
    awk -v n="$2" '$1 == "sweep" && $3 == "started" { s = $2 } s == n && $1 == "hit" { print $2 }' \
        "$work/$1.out"
}

to_number() {
    local IFS=.
    # shellcheck disable=SC2086
    set -- $1
    echo $((($1 << 24) + ($2 << 16) + ($3 << 8) + $4))
}

# Addresses from stdin that lie between FIRST and LAST (or outside, with "outside").
between() {
    local first last a
    first=$(to_number "$1") last=$(to_number "$2")
    while read -r a; do
        [ -n "$a" ] || continue
        local n
        n=$(to_number "$a")
        if [ "${3:-}" = outside ]; then
            { [ "$n" -lt "$first" ] || [ "$n" -gt "$last" ]; } && echo "$a"
        else
            [ "$n" -ge "$first" ] && [ "$n" -le "$last" ] && echo "$a"
        fi
    done
    return 0
}

lab_hosts_between() {
    # shellcheck disable=SC2086
    printf '%s\n' $BRIXLE_LAB_HOSTS ${BRIXLE_LAB_LATE_HOSTS:-} | between "$1" "$2" | sort -V
}

# Expands "A-B" into its addresses (for the noise sources given the same way).
expand_range() {
    local first last n
    first=$(to_number "${1%-*}") last=$(to_number "${1#*-}")
    for ((n = first; n <= last; n++)); do
        echo "$((n >> 24 & 255)).$((n >> 16 & 255)).$((n >> 8 & 255)).$((n & 255))"
    done
}

as_list() { tr '\n' ' ' | sed 's/ $//'; }

# Sending a range of n addresses takes at least 30 ms each, and the sweep is done no sooner than
# 2 s after its sending ends: those are the engine's. How much longer it takes depends on the
# machine (Wine, load), so above them only a hang is a failure; the benchmark tells the speed.
# With "failed", the last address counted never finished its three requests.
# The bench tells when it last saw sending go on and when it first saw it over: the grace is
# measured from the former, so that a bench held up by a busy machine cannot shorten it.
timing_ok() {
    local name=$1 sweep=$2 sending open total addresses
    addresses=$(field "$name" "$sweep" addresses)
    [ "${3:-}" = failed ] && addresses=$((addresses - 1))
    sending=$(field "$name" "$sweep" sending_s)
    open=$(field "$name" "$sweep" sending_open_s)
    total=$(field "$name" "$sweep" total_s)
    [ -n "$sending" ] && [ -n "$open" ] && [ -n "$total" ] || return 1
    awk -v n="$addresses" -v s="$sending" -v o="$open" -v t="$total" 'BEGIN {
        floor = n * 0.030
        exit !(s >= floor * 0.98 - 0.005 && t - o >= 1.9 && s <= floor * 4 + 20 && t - s <= 30)
    }'
}

timing_text() {
    local name=$1 sweep=$2 addresses
    addresses=$(field "$name" "$sweep" addresses)
    [ "${3:-}" = failed ] && addresses=$((addresses - 1))
    awk -v n="$addresses" -v s="$(field "$name" "$sweep" sending_s)" \
        -v t="$(field "$name" "$sweep" total_s)" \
        'BEGIN { printf "sending %.3f s (floor %.3f s), done %.3f s after", s, n * 0.030, t - s }'
}

ran_to_end() {
    local name=$1 sweeps=$2 rc
    rc=$(cat "$work/$name.rc" 2>/dev/null)
    [ "$rc" != 124 ] && [ "$rc" != 137 ] && grep -q "^sweep $sweeps done" "$work/$name.out"
}

bench_missing() {
    local flavour=$1 binary
    binary=$(bench_binary "$flavour")
    [ -f "$binary" ] && return 1
    check "$flavour" 0 "no bench program at $binary (build the preset first)"
    return 0
}

# --- The checks.

flood_range=(10.71.59.0 10.71.59.127)
flood_sources=(10.71.60.1 10.71.63.1-10.71.63.199)

# shellcheck source=bench/receiver-capacity.sh
. "$repo/bench/receiver-capacity.sh"

# Floods are sized by what the receiver takes in here and now: a check at a fixed rate is a test
# of the receiver on a fast, idle machine and a coin toss on a busy one. First the receiver's
# rate is measured, then a flood of a third of that (at most the flood rate asked for) must cost
# no lab host, and one well beyond it must still leave the sweep whole. A third, since the rate
# under Wine falls to a quarter of itself when the machine is busy: a flood at a third still
# fits, with the socket's buffer taking up what the receiver falls behind. And no more than the
# buffer holds in a second, so that only a receiver held up for a whole second can lose a reply.
check_flood() {
    local flavour=$1 repeated distinct within beyond buffered
    # shellcheck disable=SC2046
    measure_capacity "$work/capacity-$flavour" timeout -k 5 120 $(bench_command "$flavour")
    if ! grep -q '^sweep 1 started' "$work/capacity-$flavour.out"; then
        check "flood/$flavour" 0 "the program started no sweep: $(head -n 3 "$work/capacity-$flavour.err" | as_list)"
        return
    fi
    read -r -a repeated <<<"$(capacity_of "$work/capacity-$flavour.repeated")"
    read -r -a distinct <<<"$(capacity_of "$work/capacity-$flavour.distinct")"
    check "flood/$flavour receiver keeps up" \
        "$([ "${repeated[1]}" != none ] && [ "${repeated[0]}" -gt 0 ] && echo 1 || echo 0)" \
        "read ${repeated[0]}/s (${repeated[1]}) from 200 sources, ${distinct[0]}/s (${distinct[1]}) from new ones; receive buffer $(awk '$1 == "receive_buffer" { print $2 }' "$work/capacity-$flavour.out") bytes; $(grep -h '^noise: queue' "$work/capacity-$flavour.repeated")"
    [ "${repeated[0]}" -gt 0 ] || return
    within=$((repeated[0] / 3 < flood_rate ? repeated[0] / 3 : flood_rate))
    buffered=$(buffered_datagrams)
    within=$((within < buffered ? within : buffered))
    beyond=$((repeated[0] * 3 > 30000 ? repeated[0] * 3 : 30000))
    beyond=$((beyond > 150000 ? 150000 : beyond))
    [ "$within" -ge 1 ] || within=1
    flood_run "$flavour" within "$within"
    flood_run "$flavour" beyond "$beyond"
}

# The flood's datagrams the socket's buffer holds: the engine asks for 4 MiB, Linux grants twice
# the figure up to twice its ceiling, and a small datagram takes some 800 bytes of it (measured
# here: 8 MiB held about 10,000); 1 KiB each, to be safe.
buffered_datagrams() {
    local ceiling asked=$((4 * 1024 * 1024))
    ceiling=$(cat /proc/sys/net/core/rmem_max 2>/dev/null || echo 212992)
    echo $((2 * (ceiling < asked ? ceiling : asked) / 1024))
}

# flood_run FLAVOUR within|beyond RATE: the flood from 200 sources outside the range for 3 s while
# the range is swept, then the same range again with no noise, in the same program run.
flood_run() {
    local flavour=$1 kind=$2 rate=$3 name=flood-$2-$1 expected found inside outside noise_line
    run_bench "$flavour" "$name" 120 \
        "--kind flood --rate $rate --count $((rate * 3)) --seconds 3 --source ${flood_sources[0]} --source ${flood_sources[1]} --queue-of $$" \
        -- --repeat 2 "${flood_range[@]}"
    if ! ran_to_end "$name" 2; then
        check "flood-$kind/$flavour" 0 "the program did not finish both sweeps in time (exit $(cat "$work/$name.rc")); see $work/$name.out"
        return
    fi
    expected=$(lab_hosts_between "${flood_range[@]}")
    found=$(hits "$name" 1)
    inside=$(between "${flood_range[@]}" <<<"$found" | sort -V)
    outside=$(between "${flood_range[@]}" outside <<<"$found" | sort -V)
    noise_line=$(grep -h '^noise: \(sent\|queue\)' "$work/$name.noise" | sed 's/^noise: //' | as_list)
    local stray
    stray=$(not_flood_sources <<<"$outside")
    if [ "$kind" = within ]; then
        check "flood-within/$flavour hosts" \
            "$([ "$inside" = "$expected" ] && [ "$(grep -c . <<<"$outside")" -eq 200 ] && [ -z "$stray" ] &&
                [ -z "$(field "$name" 1 failure)" ] && echo 1 || echo 0)" \
            "$rate/s: in range $(as_list <<<"$inside") (lab: $(as_list <<<"$expected")); $(grep -c . <<<"$outside") of 200 flood sources counted${stray:+, strays $(as_list <<<"$stray")}; failure '$(field "$name" 1 failure)'; noise $noise_line"
    else
        # Beyond what the receiver takes in, the kernel drops from the full buffer, replies
        # among them: which lab hosts are still found is for the benchmark to tell.
        check "flood-beyond/$flavour whole" \
            "$([ -z "$(comm -23 <(sed '/^$/d' <<<"$inside" | sort) <(sort <<<"$expected"))" ] && [ -n "$outside" ] &&
                [ -z "$stray" ] && [ -z "$(field "$name" 1 failure)" ] && timing_ok "$name" 1 && echo 1 || echo 0)" \
            "$rate/s: $(grep -c . <<<"$inside") of $(grep -c . <<<"$expected") lab hosts and $(grep -c . <<<"$outside") of 200 flood sources counted${stray:+, strays $(as_list <<<"$stray")}; failure '$(field "$name" 1 failure)'; $(timing_text "$name" 1); noise $noise_line"
    fi
    [ "$kind" = within ] && check "flood-within/$flavour sweep whole" "$(timing_ok "$name" 1 && echo 1 || echo 0)" "$(timing_text "$name" 1)"
    # What the flood left waiting in the socket's buffer when the sweep ended is read, and
    # counted, by the next sweep, as any late reply would be.
    found=$(hits "$name" 2)
    inside=$(between "${flood_range[@]}" <<<"$found" | sort -V)
    outside=$(between "${flood_range[@]}" outside <<<"$found")
    stray=$(not_flood_sources <<<"$outside")
    check "flood-$kind/$flavour usable after" \
        "$([ "$inside" = "$expected" ] && [ -z "$stray" ] && [ -z "$(field "$name" 2 failure)" ] && timing_ok "$name" 2 && echo 1 || echo 0)" \
        "next sweep found $(as_list <<<"$inside")${stray:+, strays $(as_list <<<"$stray")}; $(grep -c . <<<"$outside") flood sources left over from the flood; $(timing_text "$name" 2)"
}

# The addresses from stdin that are none of the flood's sources.
not_flood_sources() {
    comm -23 <(sed '/^$/d' | sort) \
        <({ echo "${flood_sources[0]}"; expand_range "${flood_sources[1]}"; } | sort)
}

small_range=(10.71.59.0 10.71.59.31)

# Datagrams too big for the receiver's 324-byte buffer: their sources count, the sweep goes on.
check_big() {
    local flavour=$1 name=big-$1 expected found sources seen
    run_bench "$flavour" "$name" 90 \
        "--kind big --size 1400 --rate 2000 --count 2000 --seconds 1 --source 10.71.63.201-10.71.63.210" \
        -- --repeat 2 "${small_range[@]}"
    if ! ran_to_end "$name" 2; then
        check "big/$flavour" 0 "the program did not finish both sweeps in time (exit $(cat "$work/$name.rc")); see $work/$name.out"
        return
    fi
    expected=$(lab_hosts_between "${small_range[@]}")
    sources=$(expand_range 10.71.63.201-10.71.63.210)
    found=$(hits "$name" 1)
    seen=$(between "${small_range[@]}" outside <<<"$found" | sort -V)
    check "big/$flavour" \
        "$([ "$(between "${small_range[@]}" <<<"$found" | sort -V)" = "$expected" ] && [ "$seen" = "$sources" ] &&
            [ -z "$(field "$name" 1 failure)" ] && timing_ok "$name" 1 && echo 1 || echo 0)" \
        "1400-byte datagrams from $(wc -l <<<"$sources") sources: $(wc -l <<<"$seen" | tr -d ' ') counted, lab hosts $(between "${small_range[@]}" <<<"$found" | as_list); failure '$(field "$name" 1 failure)'; $(timing_text "$name" 1)"
    found=$(hits "$name" 2 | sort -V)
    check "big/$flavour usable after" \
        "$([ "$found" = "$expected" ] && [ -z "$(field "$name" 2 failure)" ] && echo 1 || echo 0)" \
        "next sweep found $(as_list <<<"$found")"
}

# Truncated, mis-summed, unknown and odd-length ICMP, one source per kind. Those shorter than an
# ICMP header never reach a raw socket on Linux; every other one must count, and nothing else.
check_malformed() {
    local flavour=$1 name=malformed-$1 expected found seen delivered
    run_bench "$flavour" "$name" 90 \
        "--kind malformed --rate 1000 --count 950 --seconds 1 --source 10.71.63.220-10.71.63.238" \
        -- --repeat 2 "${small_range[@]}"
    if ! ran_to_end "$name" 2; then
        check "malformed/$flavour" 0 "the program did not finish both sweeps in time (exit $(cat "$work/$name.rc")); see $work/$name.out"
        return
    fi
    expected=$(lab_hosts_between "${small_range[@]}")
    delivered=$(awk '$1 == "variant" && $3 >= 8 { print $2 }' "$work/$name.noise" | sort -V)
    found=$(hits "$name" 1)
    seen=$(between "${small_range[@]}" outside <<<"$found" | sort -V)
    check "malformed/$flavour" \
        "$([ -n "$delivered" ] && [ "$(between "${small_range[@]}" <<<"$found" | sort -V)" = "$expected" ] &&
            [ "$seen" = "$delivered" ] && [ -z "$(field "$name" 1 failure)" ] && timing_ok "$name" 1 && echo 1 || echo 0)" \
        "$(wc -l <<<"$seen" | tr -d ' ') of $(wc -l <<<"$delivered" | tr -d ' ') deliverable kinds counted ($(grep -c '^variant' "$work/$name.noise") kinds sent), lab hosts $(between "${small_range[@]}" <<<"$found" | as_list); failure '$(field "$name" 1 failure)'; $(timing_text "$name" 1)"
    found=$(hits "$name" 2 | sort -V)
    check "malformed/$flavour usable after" \
        "$([ "$found" = "$expected" ] && [ -z "$(field "$name" 2 failure)" ] && echo 1 || echo 0)" \
        "next sweep found $(as_list <<<"$found")"
}

clean_range=(10.71.59.1 10.71.59.4)

# A range with addresses that cannot be sent to: they are skipped, the sweep goes on to the end
# of its range at its pace, keeps its hits and says what it could not send to; the clean sweep
# after it in the same program run finds the lab's hosts.
# check_failing_range FLAVOUR LABEL FIRST LAST ADDRESSES EXPECTED_HITS UNSENT_MESSAGES [NOISE_ARGS]
check_failing_range() {
    local flavour=$1 label=$2 first=$3 last=$4 addresses=$5 want_hits=$6 messages=$7 noise=${8:-}
    local name=$label-$flavour failure unsent found clean expected ok=1
    run_bench "$flavour" "$name" 60 "$noise" -- "$first" "$last" "${clean_range[@]}"
    if ! ran_to_end "$name" 2; then
        check "$label/$flavour" 0 "the program did not finish both sweeps in time (exit $(cat "$work/$name.rc")); see $work/$name.out"
        return
    fi
    failure=$(field "$name" 1 failure)
    unsent=$(field "$name" 1 unsent_message)
    found=$(hits "$name" 1 | sort -V | as_list)
    [ -z "$failure" ] || ok=0
    [[ "|$messages|" == *"|$unsent|"* ]] || ok=0
    [ "$(field "$name" 1 addresses)" = "$addresses" ] || ok=0
    [ "$found" = "$want_hits" ] || ok=0
    timing_ok "$name" 1 || ok=0
    check "$label/$flavour" "$ok" \
        "$first - $last: $(field "$name" 1 addresses) addresses, '$unsent', failure '$failure', hits kept: ${found:-none}; $(timing_text "$name" 1)"
    expected=$(lab_hosts_between "${clean_range[@]}" | as_list)
    clean=$(hits "$name" 2 | sort -V | as_list)
    check "$label/$flavour usable after" \
        "$([ "$clean" = "$expected" ] && [ -z "$(field "$name" 2 failure)" ] && [ -z "$(field "$name" 2 unsent_message)" ] && echo 1 || echo 0)" \
        "next sweep found ${clean:-nothing}; failure '$(field "$name" 2 failure)'"
}

check_failing_ranges() {
    local flavour=$1 top="Unable to send to 1 address / 255.255.255.255"
    check_failing_range "$flavour" no-route 10.71.62.1 10.71.62.5 5 "" \
        "Unable to send to 5 addresses / first : 10.71.62.1 : Host Unreachable"
    # The router answers for 10.71.61.x before the walk reaches the range with no route.
    check_failing_range "$flavour" into-no-route 10.71.61.254 10.71.62.1 4 "$BRIXLE_LAB_ROUTER" \
        "Unable to send to 2 addresses / first : 10.71.62.0 : Host Unreachable"
    check_failing_range "$flavour" subnet-broadcast 192.0.2.3 192.0.2.3 1 "" \
        "Unable to send to 1 address / 192.0.2.3 : Sending Refused"
    check_failing_range "$flavour" broadcast 255.255.255.255 255.255.255.255 1 "" \
        "$top : Sending Refused|$top : Unable to resolve Host"
    # Nothing in the lab answers up there, so the hits to keep come from the lab as noise while
    # the first 55 addresses go out; the walk must end at 255.255.255.255, not wrap to 0.0.0.0.
    check_failing_range "$flavour" into-255 255.255.255.200 255.255.255.255 56 \
        "10.71.63.250 10.71.63.251 10.71.63.252" \
        "$top : Sending Refused|$top : Unable to resolve Host" \
        "--kind flood --rate 20 --count 9 --seconds 0.6 --source 10.71.63.250-10.71.63.252"
}

# Many sweeps in one program run: the same hosts every time, and nothing piles up.
check_long_run() {
    local flavour=$1 name=long-$1 limit n found expected baseline threads
    limit=$((repeat * 6 + 60))
    run_bench "$flavour" "$name" "$limit" "" -- --repeat "$repeat" "${clean_range[@]}"
    if ! ran_to_end "$name" "$repeat"; then
        check "long-run/$flavour" 0 "$repeat sweeps did not finish within $limit s (exit $(cat "$work/$name.rc")); see $work/$name.out"
        return
    fi
    expected=$(lab_hosts_between "${clean_range[@]}")
    baseline=$(awk '$1 == "baseline_threads" { print $2 }' "$work/$name.out")
    local wrong_hits="" leftover="" unseen=""
    for n in $(seq "$repeat"); do
        threads=$(field "$name" "$n" threads_running)
        [ -n "$threads" ] && [ "$threads" -ge $((baseline + 2)) ] || unseen+=" $n:$threads"
        found=$(hits "$name" "$n" | sort -V)
        if [ "$found" != "$expected" ] || [ -n "$(field "$name" "$n" failure)" ]; then
            wrong_hits+=" $n"
        fi
        threads=$(field "$name" "$n" threads)
        [ "$threads" = "$baseline" ] || leftover+=" $n:$threads"
    done
    check "long-run/$flavour results" "$([ -z "$wrong_hits" ] && echo 1 || echo 0)" \
        "$repeat sweeps, each found $(as_list <<<"$expected")${wrong_hits:+; not in sweeps$wrong_hits}"
    # The sweep's own threads must show while it runs, or the count after it proves nothing.
    check "long-run/$flavour threads" \
        "$([ -z "$leftover" ] && [ -z "$unseen" ] && [ -n "$baseline" ] && echo 1 || echo 0)" \
        "baseline $baseline, up to $(field "$name" 1 threads_running) while sweeping, back to baseline after every sweep${leftover:+; left over (sweep:threads)$leftover}${unseen:+; sweep threads not seen (sweep:threads)$unseen}"
    # Warm-up is over by the sixth sweep. Wine frees an ended thread's stack only later, so some
    # readings stand a megabyte above the rest: the lowest of ten readings early on is held
    # against the lowest of the last ten. What leaks is never given back, so it lifts both.
    local from=6 to=15
    [ "$repeat" -ge 30 ] || { from=1 to=$(((repeat + 1) / 2)); }
    local late=$((repeat - (to - from)))
    local r1 r2 p1 p2 h1 h2
    r1=$(lowest "$name" rss_kib "$from" "$to") r2=$(lowest "$name" rss_kib "$late" "$repeat")
    p1=$(lowest "$name" private_kib "$from" "$to") p2=$(lowest "$name" private_kib "$late" "$repeat")
    h1=$(lowest "$name" handles "$from" "$to") h2=$(lowest "$name" handles "$late" "$repeat")
    check "long-run/$flavour memory" \
        "$(awk -v a="$r1" -v b="$r2" -v c="$p1" -v d="$p2" 'BEGIN {
            exit !(a > 0 && c > 0 && b <= a * 1.05 + 64 && d <= c * 1.05 + 64) }' && echo 1 || echo 0)" \
        "lowest resident $r1 -> $r2 KiB, private $p1 -> $p2 KiB (sweeps $from-$to -> $late-$repeat)"
    check "long-run/$flavour handles" \
        "$([ -n "$h1" ] && [ "$h1" -gt 0 ] && [ "$h2" -le $((h1 + 2)) ] && echo 1 || echo 0)" \
        "lowest $h1 -> $h2 open handles (sweeps $from-$to -> $late-$repeat)"
}

# lowest NAME KEY FROM TO: the smallest value of KEY over sweeps FROM to TO.
lowest() {
    awk -v k="$2" -v a="$3" -v b="$4" '
        $1 == "sweep" && $3 == "started" { s = $2 }
        s >= a && s <= b && $1 == k && (m == "" || $2 + 0 < m) { m = $2 + 0 }
        END { print m }
    ' "$work/$1.out"
}

checks=" ${BRIXLE_FAULT_CHECKS:-flood big malformed failing long} "

run_flavour() {
    local flavour=$1 long=$2
    if [ "$flavour" = i686 ] && ! session_runs_32bit; then
        echo "skipped i686: this machine runs no 32-bit code (IA-32 emulation off)"
        return
    fi
    bench_missing "$flavour" && return
    [[ $checks == *" flood "* ]] && check_flood "$flavour"
    [[ $checks == *" big "* ]] && check_big "$flavour"
    [[ $checks == *" malformed "* ]] && check_malformed "$flavour"
    [[ $checks == *" failing "* ]] && check_failing_ranges "$flavour"
    [[ $checks == *" long "* ]] && [ "$long" -eq 1 ] && check_long_run "$flavour"
    return 0
}

if [ -z "${BRIXLE_LAB_NOISE:-}" ] || [ ! -x "$BRIXLE_LAB_NOISE" ]; then
    check setup 0 "no noise sender in the lab (BRIXLE_LAB_NOISE); bring the lab up with scripts/lab.sh"
else
    flavours=${BRIXLE_FAULT_FLAVOURS:-native i686 x86_64}
    for flavour in $flavours; do
        [ "$flavour" = native ] || continue
        run_flavour native 1
    done
    if [[ " $flavours " == *" i686 "* || " $flavours " == *" x86_64 "* ]]; then
        if start_wine; then
            echo "wine: wineserver $(session_wineservers | as_list) in $BRIXLE_LAB_SCAN"
            [[ " $flavours " == *" i686 "* ]] && run_flavour i686 1
            [[ " $flavours " == *" x86_64 "* ]] && run_flavour x86_64 0
        else
            check wine 0 "Wine could not be started inside the scan namespace"
        fi
        stop_wine
    fi
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
