# shellcheck shell=bash
# How many datagrams a second the receiver takes in, measured where it runs, as the fault suite
# measures it (tests/support/BenchRig.h). Sourced by scripts/bench-report.sh; runs in the scan namespace with the
# lab's variables (BRIXLE_LAB_NS, BRIXLE_LAB_NOISE).
#
# The bench sweeps a long range while the lab sends two bursts as fast as its sender can (up to
# 150,000 a second; more than Wine's receiver reads, not always more than the native one's):
# first from the flood's 200 sources over and over, then from a new source each datagram. The kernel counts what reaches the raw socket and what it drops from a full buffer;
# once the socket has read everything, what it read divided by the time since the burst began is
# the receiver's rate. When nothing was dropped the burst did not overload it, and the figure is
# only a lower bound.

capacity_range=(10.71.59.0 10.71.59.255)
capacity_repeated_sources=(10.71.60.1 10.71.63.1-10.71.63.199)
capacity_distinct_sources=(10.71.64.0-10.71.255.255)
capacity_burst="--rate 150000 --count 40000 --seconds 1"

# measure_capacity OUT_PREFIX COMMAND...: COMMAND runs the sweep bench with the arguments given
# after it. Leaves OUT_PREFIX.out (the bench), OUT_PREFIX.repeated and OUT_PREFIX.distinct (the
# noise sender's reports). Sets capacity_pid while the bench runs, for the caller's clean-up.
measure_capacity() {
    local prefix=$1 shape shapes="repeated distinct"
    shift
    : >"$prefix.out"
    : >"$prefix.repeated"
    : >"$prefix.distinct"
    "$@" "${capacity_range[@]}" >"$prefix.out" 2>"$prefix.err" &
    capacity_pid=$!
    for _ in $(seq 1200); do
        grep -q '^sweep 1 started' "$prefix.out" && break
        [ -d "/proc/$capacity_pid" ] || break
        sleep 0.05
    done
    grep -q '^sweep 1 started' "$prefix.out" || shapes=""
    for shape in $shapes; do
        local sources=() source
        if [ "$shape" = repeated ]; then
            for source in "${capacity_repeated_sources[@]}"; do sources+=(--source "$source"); done
        else
            for source in "${capacity_distinct_sources[@]}"; do sources+=(--source "$source"); done
        fi
        # shellcheck disable=SC2086
        ip netns exec "$BRIXLE_LAB_NS" "$BRIXLE_LAB_NOISE" --netns "$BRIXLE_LAB_NS" --kind flood \
            $capacity_burst "${sources[@]}" --queue-of $$ >"$prefix.$shape" 2>&1
    done
    wait "$capacity_pid"
    capacity_pid=""
    sed -i 's/\r$//' "$prefix.out"
}

# capacity_of FILE: the datagrams a second read, then "measured" when the burst overloaded the
# receiver and it caught up within the sweep, "at-least" when nothing was dropped, "none" when
# the burst was not measured.
capacity_of() {
    awk '/^noise: queue/ {
        for (i = 1; i <= NF; i++) {
            if ($i == "dropped,") dropped = $(i - 1)
            if ($i == "read" && $(i + 1) == "a") rate = $(i - 1)
        }
        found = ($3 == "empty")
    } END {
        if (!found) print 0, "none"
        else print rate, (dropped > 0 ? "measured" : "at-least")
    }' "$1"
}
