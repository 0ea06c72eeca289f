#!/usr/bin/env bash
# scripts/lab.sh must leave nothing behind: not after `down`, not after a failed `up`, not when
# an old ENVFILE is reused. Needs root; makes labs of its own and sends no packet.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
lab=$repo/scripts/lab.sh
work=$(mktemp -d)
trap '"$lab" down "$work/a.env" >/dev/null 2>&1; "$lab" down "$work/b.env" >/dev/null 2>&1
      rm -rf "$work"' EXIT
# shellcheck source=tests/lib/checks.sh
. "$repo/tests/lib/checks.sh"

[ "$(id -u)" -eq 0 ] || skip "root (ip netns)"

# shellcheck disable=SC1090 # an ENVFILE of the test's own
value() { (. "$1" && eval "echo \"\$$2\""); }
ns_exists() { [ -e "/run/netns/$1" ]; }
in_ns() { [ -d "/proc/$1" ] && [ "$(ip netns identify "$1")" = "$2" ]; }
gone() { [ ! -d "/proc/$1" ]; }

up_records_and_starts() {
    "$lab" up "$work/a.env" >/dev/null || return 1
    local scan ns
    scan=$(value "$work/a.env" BRIXLE_LAB_SCAN) ns=$(value "$work/a.env" BRIXLE_LAB_NS)
    ns_exists "$scan" && ns_exists "$ns" &&
        in_ns "$(value "$work/a.env" BRIXLE_LAB_RESPONDER_PID)" "$ns" &&
        in_ns "$(value "$work/a.env" BRIXLE_LAB_TCPDUMP_PID)" "$ns" &&
        [ -e "$(value "$work/a.env" BRIXLE_LAB_PCAP)" ] &&
        [ "$(value "$work/a.env" BRIXLE_LAB_LATE_MS)" = 1500 ]
}

exec_runs_in_scan_with_variables() {
    local out
    # shellcheck disable=SC2016 # expanded in the namespace
    out=$("$lab" exec "$work/a.env" sh -c 'echo "$(ip netns identify $$) $BRIXLE_LAB"')
    [ "$out" = "$(value "$work/a.env" BRIXLE_LAB_SCAN) 1" ]
}

# A second `up` over the same file first removes the lab the file records.
up_again_replaces_the_old_lab() {
    local old_scan old_ns old_responder old_tcpdump
    old_scan=$(value "$work/a.env" BRIXLE_LAB_SCAN) old_ns=$(value "$work/a.env" BRIXLE_LAB_NS)
    old_responder=$(value "$work/a.env" BRIXLE_LAB_RESPONDER_PID)
    old_tcpdump=$(value "$work/a.env" BRIXLE_LAB_TCPDUMP_PID)
    cp "$work/a.env" "$work/b.env"
    "$lab" up "$work/b.env" >/dev/null || return 1
    ! ns_exists "$old_scan" && ! ns_exists "$old_ns" && gone "$old_responder" &&
        gone "$old_tcpdump" && ns_exists "$(value "$work/b.env" BRIXLE_LAB_SCAN)"
}

down_removes_everything_and_repeats() {
    local scan ns responder tcpdump
    scan=$(value "$work/b.env" BRIXLE_LAB_SCAN) ns=$(value "$work/b.env" BRIXLE_LAB_NS)
    responder=$(value "$work/b.env" BRIXLE_LAB_RESPONDER_PID)
    tcpdump=$(value "$work/b.env" BRIXLE_LAB_TCPDUMP_PID)
    "$lab" down "$work/b.env" || return 1
    ! ns_exists "$scan" && ! ns_exists "$ns" && gone "$responder" && gone "$tcpdump" &&
        "$lab" down "$work/b.env" && "$lab" down "$work/never-made.env"
}

# tcpdump that cannot start: `up` fails and takes down what it had made.
failed_up_leaves_nothing() {
    mkdir -p "$work/bin"
    printf '#!/bin/sh\necho "no capture here" >&2\nexit 1\n' >"$work/bin/tcpdump"
    chmod +x "$work/bin/tcpdump"
    local name=brxlc$$ fd
    if PATH=$work/bin:$PATH BRIXLE_LAB_NAME=$name "$lab" up "$work/a.env" >/dev/null 2>&1; then
        return 1
    fi
    ! ns_exists "${name}scan" && ! ns_exists "${name}lab" && [ ! -e "$work/a.env" ] || return 1
    # The responder it had started writes its log here: nothing may still hold one open.
    for fd in /proc/[0-9]*/fd/[0-9]*; do
        [[ $(readlink "$fd" 2>/dev/null) == "$work"/lab-* ]] && return 1
    done
    return 0
}

exec_refuses_a_missing_lab() {
    ! "$lab" exec "$work/never-made.env" true 2>/dev/null
}

check "up makes both namespaces and starts responder and capture in the lab one" \
    up_records_and_starts
check "exec runs in the scan namespace with the lab's variables" exec_runs_in_scan_with_variables
check "up over an old ENVFILE removes the lab it recorded" up_again_replaces_the_old_lab
check "down removes namespaces and processes, and is idempotent" down_removes_everything_and_repeats
check "a failed up leaves no namespace and no ENVFILE" failed_up_leaves_nothing
check "exec refuses an ENVFILE with no lab" exec_refuses_a_missing_lab

finish
