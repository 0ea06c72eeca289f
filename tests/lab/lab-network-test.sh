#!/usr/bin/env bash
# Checks that the lab is the network the engine tests rely on. Run it in the scan namespace:
#   scripts/lab.sh exec ENVFILE bash tests/lab/lab-network-test.sh
set -uo pipefail

# shellcheck source=tests/lib/checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/../lib/checks.sh"

# Pinging 10.71.x from anywhere but the scan namespace would reach the real network.
here=$(ip netns identify $$ 2>/dev/null || true)
if [ "${BRIXLE_LAB:-}" != 1 ] || [ -z "$here" ] || [ "$here" != "${BRIXLE_LAB_SCAN:-}" ]; then
    skip "the lab's scan namespace; nothing is sent from anywhere else"
fi

only_lo_and_veth() {
    local names
    names=$(ip -o link show | awk -F': ' '{ sub(/@.*/, "", $2); print $2 }' | sort | tr '\n' ' ')
    [ "$names" = "$(printf '%s\n' lo "$BRIXLE_LAB_SCAN_IF" | sort | tr '\n' ' ')" ] || {
        echo "  interfaces: $names"
        return 1
    }
}

veth_address() {
    ip -o -4 addr show dev "$BRIXLE_LAB_SCAN_IF" | grep -q ' 192\.0\.2\.1/30 '
}

exact_routes() {
    local routes expected
    routes=$(ip -4 route show table main | sed 's/ *$//' | sort)
    expected=$(sort <<EOF
default via $BRIXLE_LAB_ROUTER dev $BRIXLE_LAB_SCAN_IF
unreachable $BRIXLE_LAB_NOROUTE_NET
192.0.2.0/30 dev $BRIXLE_LAB_SCAN_IF proto kernel scope link src 192.0.2.1
EOF
    )
    [ "$routes" = "$expected" ] || {
        echo "  routes:"
        echo "    ${routes//$'\n'/$'\n'    }"
        return 1
    }
}

# Answered by the host itself, not by something on the way.
answers() {
    local out
    out=$(ping -n -c1 -W2 "$1" 2>&1) && grep -q "bytes from $1:" <<<"$out"
}

answers_late() {
    local out ms
    out=$(ping -n -c1 -W3 "$1" 2>&1) || return 1
    ms=$(sed -n "s/.*bytes from $1: .* time=\([0-9.]*\) ms.*/\1/p" <<<"$out")
    echo "  rtt $ms ms"
    [ -n "$ms" ] && awk -v ms="$ms" -v late="$BRIXLE_LAB_LATE_MS" \
        'BEGIN { exit !(ms >= late - 100 && ms < late + 1500) }'
}

# A delayed reply must not hold up the others.
not_held_up_by() {
    local late=$1 host=$2 out ms
    ping -n -c1 -W3 "$late" >/dev/null 2>&1 &
    local late_pid=$!
    sleep 0.2
    out=$(ping -n -c1 -W2 "$host" 2>&1)
    wait "$late_pid"
    ms=$(sed -n "s/.*bytes from $host: .* time=\([0-9.]*\) ms.*/\1/p" <<<"$out")
    [ -n "$ms" ] && awk -v ms="$ms" 'BEGIN { exit !(ms < 500) }'
}

silent() {
    local out
    out=$(ping -n -c1 -W2 "$1" 2>&1)
    [ $? -eq 1 ] && grep -q ' 0 received' <<<"$out" && ! grep -q 'From ' <<<"$out"
}

router_says_unreachable() {
    local out
    out=$(ping -n -c1 -W2 "$1" 2>&1)
    grep -q "From $BRIXLE_LAB_ROUTER .*Destination Host Unreachable" <<<"$out"
}

# The engine's sendto must fail here at once, without any packet leaving.
no_route() {
    local out
    out=$(ping -n -c1 -W1 "$1" 2>&1)
    [ $? -eq 2 ] && grep -qi 'no route to host\|network is unreachable' <<<"$out"
}

# fping waits longer than the late host's delay, so it belongs among the answering hosts.
sweep_finds_exactly() {
    local found expected
    found=$(fping -a -q -r 0 -t $((BRIXLE_LAB_LATE_MS + 1000)) -g 10.71.59.0/24 2>/dev/null | sort)
    # shellcheck disable=SC2086 # lists of addresses
    expected=$(printf '%s\n' $BRIXLE_LAB_HOSTS $BRIXLE_LAB_LATE_HOSTS | grep '^10\.71\.59\.' | sort)
    [ "$found" = "$expected" ] || {
        echo "  found: $(tr '\n' ' ' <<<"$found")"
        return 1
    }
}

captured() {
    [ -s "$BRIXLE_LAB_PCAP" ] &&
        [ "$(tcpdump -r "$BRIXLE_LAB_PCAP" -n "icmp and host $1" 2>/dev/null |
            grep -c 'ICMP echo')" -ge 2 ]
}

check "only lo and $BRIXLE_LAB_SCAN_IF in the scan namespace" only_lo_and_veth
check "$BRIXLE_LAB_SCAN_IF has 192.0.2.1/30" veth_address
check "routes: default via $BRIXLE_LAB_ROUTER, unreachable $BRIXLE_LAB_NOROUTE_NET, the /30" \
    exact_routes
for host in $BRIXLE_LAB_HOSTS; do
    check "$host answers" answers "$host"
done
for host in $BRIXLE_LAB_LATE_HOSTS; do
    check "$host answers after about $BRIXLE_LAB_LATE_MS ms" answers_late "$host"
done
for host in $BRIXLE_LAB_LATE_HOSTS; do
    check "10.71.59.1 answers at once while $host's reply waits" not_held_up_by "$host" 10.71.59.1
done
check "10.71.59.50 (no host) stays silent" silent 10.71.59.50
check "10.71.61.9: $BRIXLE_LAB_ROUTER reports the host unreachable" router_says_unreachable 10.71.61.9
check "10.71.62.9: no route, sending fails" no_route 10.71.62.9
check "fping over 10.71.59.0/24 finds exactly the lab's hosts there" sweep_finds_exactly
check "the capture holds the request and reply of 10.71.59.1" captured 10.71.59.1

finish
