#!/usr/bin/env bash
# The lab where every sweep of the tests runs; tests/lab/README.md describes it.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

scan_addr=192.0.2.1
router_addr=192.0.2.2
hosts=(10.71.59.1 10.71.59.2 10.71.59.3 10.71.59.20 10.71.59.100 10.71.59.254 10.71.60.1)
late_hosts=(10.71.59.77)
late_ms=1500
unreachable_net=10.71.61.0/24
noroute_net=10.71.62.0/24
scan_if=scan0
lab_if=lab0
# The LAN shape: the scanner on the /24 it sweeps, the hosts on the same link.
lan_net=10.71.59
lan_scan_addr=$lan_net.1
lan_hosts=("$lan_net.2" "$lan_net.3" "$lan_net.20" "$lan_net.100" "$lan_net.254")

die() {
    echo "lab: $*" >&2
    exit 1
}

usage() {
    cat >&2 <<'EOF'
usage: lab.sh up ENVFILE [routed|lan]
                                make the lab (routed unless told), write its variables
                                to ENVFILE
       lab.sh down ENVFILE      tear down what ENVFILE records (idempotent)
       lab.sh exec ENVFILE cmd  run cmd in the scan namespace with those variables exported
       lab.sh run ENVFILE cmd   the same when the lab is up; without one, cmd runs here
       lab.sh wine ENVFILE prog args...
                                run a Windows program under Wine in the scan namespace, its
                                prefix's wineserver proved to be there (exit 77: no lab)
       lab.sh wine-up ENVFILE   start the lab prefix's wineserver in the scan namespace
       lab.sh wine-down ENVFILE end it
       lab.sh session ENVFILE [--display] [--designed-font] [--no-net-raw] -- cmd...
                                run cmd in the scan namespace with a wineserver of the lab
                                prefix's own proved there (exported: WINEPREFIX and the
                                rest), optionally a virtual display (DISPLAY), the dialogs'
                                designed font and a Wine desktop, or no CAP_NET_RAW for the
                                server and cmd; ends them after cmd (exit 77: no lab)
       lab.sh noise ENVFILE args...
                                send bounded unwanted ICMP to the scan host from the lab
                                namespace (tests/lab/noise.cpp; --help for its options)
EOF
    exit 2
}

# 77: what needs the lab is skipped, not failed, where there can be none.
need_root() {
    [ "$(id -u)" -eq 0 ] || {
        echo "lab: skipped: needs root (ip netns)" >&2
        exit 77
    }
    command -v ip >/dev/null || die "ip (iproute2) is missing"
}

# The lab's programs are built by the linux preset (tests/lab/CMakeLists.txt).
lab_tool() {
    local bin=${BRIXLE_LAB_TOOLS:-$repo/build/linux/tests/lab}/$1
    [ -x "$bin" ] || {
        echo "lab: $bin is missing; build it: cmake --build --preset linux --target $1" >&2
        return 1
    }
    echo "$bin"
}

record() {
    printf "export %s='%s'\n" "$1" "$2" >>"$envfile"
}

# A process of ours is ended only if the recorded PID still is the program we started and
# still lives in our lab namespace: a PID reused since then is left alone.
stop_recorded() {
    local pid=$1 name=$2 ns=$3
    [ -n "$pid" ] || return 0
    [ -d "/proc/$pid" ] || return 0
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ] || return 0
    [ "$(ip netns identify "$pid" 2>/dev/null)" = "$ns" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 50); do
        [ -d "/proc/$pid" ] || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}

# `down` ends processes by the recorded PID only when it still names this program.
is_ours() {
    [ "$(cat "/proc/$1/comm" 2>/dev/null)" = "$2" ] || {
        echo "lab: PID $1 is not $2" >&2
        return 1
    }
}

lab_down() {
    [ -f "$envfile" ] || return 0
    local BRIXLE_LAB_SCAN="" BRIXLE_LAB_NS="" BRIXLE_LAB_RESPONDER_PID="" BRIXLE_LAB_TCPDUMP_PID=""
    # shellcheck disable=SC1090
    . "$envfile"
    stop_recorded "$BRIXLE_LAB_TCPDUMP_PID" tcpdump "$BRIXLE_LAB_NS"
    stop_recorded "$BRIXLE_LAB_RESPONDER_PID" responder "$BRIXLE_LAB_NS"
    local ns left
    for ns in $BRIXLE_LAB_SCAN $BRIXLE_LAB_NS; do
        [ -e "/run/netns/$ns" ] || continue
        # Leftovers keep the namespace alive after it is unnamed; they are not ours to end.
        left=$(ip netns pids "$ns" 2>/dev/null | tr '\n' ' ')
        [ -z "$left" ] || echo "lab: warning: processes still in $ns: $left" >&2
        ip netns delete "$ns" || echo "lab: warning: could not delete $ns" >&2
    done
    rm -f "$envfile"
}

# Waits until the started program says it is ready, giving up early when it has died.
wait_for() {
    local what=$1 pid=$2 log=$3 tries=$4
    shift 4
    for _ in $(seq "$tries"); do
        if "$@"; then
            return 0
        fi
        [ -d "/proc/$pid" ] || break
        sleep 0.1
    done
    echo "lab: $what did not come up:" >&2
    sed 's/^/  /' "$log" >&2
    return 1
}

lab_up() {
    need_root
    if [ -f "$envfile" ]; then
        lab_down
    fi
    local dir responder noise
    mkdir -p "$(dirname "$envfile")"
    dir=$(cd "$(dirname "$envfile")" && pwd)
    envfile=$dir/$(basename "$envfile")
    responder=$(lab_tool responder) || exit 1
    noise=$(lab_tool noise) || exit 1

    local name=${BRIXLE_LAB_NAME:-brx$$} host
    local scan=${name}scan lab=${name}lab
    if [ "$shape" = lan ]; then
        hosts=("${lan_hosts[@]}")
        scan_addr=$lan_scan_addr router_addr="" unreachable_net="" noroute_net=10.71.60.0/24
    fi
    local pcap=$dir/lab-$$.pcap responder_log=$dir/lab-$$-responder.log
    local tcpdump_log=$dir/lab-$$-tcpdump.log

    # Every name goes into the file before the thing exists, so a failure part way (or a
    # later `down`) finds all of it.
    : >"$envfile"
    record BRIXLE_LAB 1
    record BRIXLE_LAB_SHAPE "$shape"
    record BRIXLE_LAB_SELF "$scan_addr"
    record BRIXLE_LAB_SCAN "$scan"
    record BRIXLE_LAB_NS "$lab"
    record BRIXLE_LAB_HOSTS "${hosts[*]}"
    record BRIXLE_LAB_LATE_HOSTS "${late_hosts[*]}"
    record BRIXLE_LAB_LATE_MS "$late_ms"
    record BRIXLE_LAB_ROUTER "$router_addr"
    record BRIXLE_LAB_UNREACHABLE_NET "$unreachable_net"
    record BRIXLE_LAB_NOROUTE_NET "$noroute_net"
    record BRIXLE_LAB_SCAN_IF "$scan_if"
    record BRIXLE_LAB_PCAP "$pcap"
    record BRIXLE_LAB_NOISE "$noise"
    record BRIXLE_LAB_WINEPREFIX "$dir/wine"
    trap 'trap - ERR; echo "lab: setup failed, tearing down" >&2; lab_down; exit 1' ERR
    set -E

    ip netns add "$scan"
    ip netns add "$lab"
    local ns
    for ns in "$scan" "$lab"; do
        ip -n "$ns" link set lo up
        # No IPv6 chatter between the two; a kernel without IPv6 has none anyway.
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
            net.ipv6.conf.default.disable_ipv6=1 >/dev/null 2>&1 || true
    done
    # Made inside the namespaces, so no interface of the lab ever shows in the host's.
    ip -n "$scan" link add "$scan_if" type veth peer name "$lab_if" netns "$lab"

    if [ "$shape" = lan ]; then
        # No route beyond the link: the next /24 cannot be sent to, as on a LAN without gateway.
        ip -n "$scan" addr add "$lan_scan_addr/24" dev "$scan_if"
        ip -n "$scan" link set "$scan_if" up
        ip -n "$lab" link set "$lab_if" up
        # The kernel answers ARP for every address on the link; the responder answers echo.
        for host in "${hosts[@]}" "${late_hosts[@]}"; do
            ip -n "$lab" addr add "$host/24" dev "$lab_if"
        done
    else
        ip -n "$scan" addr add "$scan_addr/30" dev "$scan_if"
        ip -n "$scan" link set "$scan_if" up
        ip -n "$scan" route add default via "$router_addr" dev "$scan_if"
        ip -n "$scan" route add unreachable "$noroute_net"

        ip -n "$lab" addr add "$router_addr/30" dev "$lab_if"
        ip -n "$lab" link set "$lab_if" up
        ip -n "$lab" route add blackhole default
        ip -n "$lab" route add unreachable "$unreachable_net"
        for host in "${hosts[@]}" "${late_hosts[@]}"; do
            ip -n "$lab" addr add "$host/32" dev lo
        done
    fi
    # The ratemask too: at 0 neither the per-peer nor the global ICMP limit applies, so a
    # sweep through the unreachable range gets an answer for every request.
    ip netns exec "$lab" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.icmp_echo_ignore_all=1 \
        net.ipv4.icmp_ratelimit=0 net.ipv4.icmp_ratemask=0

    local args=()
    for host in "${hosts[@]}"; do
        args+=(--host "$host")
    done
    for host in "${late_hosts[@]}"; do
        args+=(--host "$host:$late_ms")
    done
    # setsid: a Ctrl-C meant for the test runner must not end these behind `down`'s back.
    setsid ip netns exec "$lab" "$responder" "${args[@]}" >"$responder_log" 2>&1 </dev/null &
    record BRIXLE_LAB_RESPONDER_PID $!
    wait_for responder $! "$responder_log" 50 grep -q '^responder: ready' "$responder_log"
    is_ours $! responder

    rm -f "$pcap"
    setsid ip netns exec "$lab" tcpdump -U -n -Z root -i "$lab_if" -w "$pcap" icmp \
        >"$tcpdump_log" 2>&1 </dev/null &
    record BRIXLE_LAB_TCPDUMP_PID $!
    wait_for tcpdump $! "$tcpdump_log" 100 eval "grep -q 'listening on' '$tcpdump_log' && [ -e '$pcap' ]"
    is_ours $! tcpdump

    trap - ERR
    echo "lab: up ($scan, $lab); variables in $envfile"
}

lab_exec() {
    [ -f "$envfile" ] || die "no lab recorded in $envfile"
    set -a
    # shellcheck disable=SC1090
    . "$envfile"
    set +a
    [ -e "/run/netns/$BRIXLE_LAB_SCAN" ] || die "namespace $BRIXLE_LAB_SCAN is gone"
    exec ip netns exec "$BRIXLE_LAB_SCAN" "$@"
}

# Without a lab (not root) the command runs here: what needs the lab then skips by itself.
lab_run() {
    [ -f "$envfile" ] || exec "$@"
    need_root
    lab_exec "$@"
}

# The Wine commands come back here inside the scan namespace (lab_exec), where the session
# library starts, proves and ends the prefix's wineserver.
lab_wine() {
    [ -f "$envfile" ] || {
        echo "skipped: Windows programs run only in the lab (root)"
        exit 77
    }
    need_root
    lab_exec "$repo/scripts/lab.sh" "$1-here" "$envfile" "${@:2}"
}

lab_wine_here() {
    # The library reports its own failures; a command failing inside it is not one.
    set +e
    # shellcheck source=scripts/lib/lab-session.sh
    . "$repo/scripts/lib/lab-session.sh"
    session_wine_env "$BRIXLE_LAB_WINEPREFIX"
    case $1 in
    wine-up) session_start_wineserver "$BRIXLE_LAB_WINEPREFIX.log" ;;
    wine-down) session_stop_wineserver ;;
    wine)
        shift
        if session_is_32bit_program "$1" && ! session_runs_32bit; then
            echo "skipped: this machine runs no 32-bit code (IA-32 emulation off), so no 32-bit Windows program can run under Wine here"
            return 77
        fi
        local out rc
        out=$(mktemp)
        # Through a file: Wine's helper processes keep an inherited pipe open while they live.
        session_wine "$@" >"$out" 2>&1
        rc=$?
        tr -d '\r' <"$out"
        rm -f "$out"
        return $rc
        ;;
    esac
}

# A suite that runs Windows programs itself: the session around it, torn down on every path.
lab_session_here() {
    local display=0 font=0 wrapper=() rc
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        case $1 in
        --display) display=1 ;;
        --designed-font) font=1 ;;
        --no-net-raw) wrapper=(setpriv --bounding-set=-net_raw --inh-caps=-net_raw) ;;
        *) usage ;;
        esac
        shift
    done
    [ $# -ge 2 ] || usage
    shift
    if [ ${#wrapper[@]} -gt 0 ] && ! "${wrapper[@]}" true 2>/dev/null; then
        echo "skipped: setpriv cannot drop CAP_NET_RAW here"
        return 77
    fi
    set +e
    # shellcheck source=scripts/lib/lab-session.sh
    . "$repo/scripts/lib/lab-session.sh"
    session_wine_env "$BRIXLE_LAB_WINEPREFIX"
    trap 'session_stop_wineserver; session_stop_display' EXIT
    unset DISPLAY
    if [ "$display" -eq 1 ]; then
        session_start_display "$BRIXLE_LAB_WINEPREFIX.xvfb.log" || return 1
    fi
    session_start_wineserver "$BRIXLE_LAB_WINEPREFIX.log" "${wrapper[@]}" || return 1
    if [ "$font" -eq 1 ]; then
        session_use_designed_font virtual_desktop || return 1
        export BRIXLE_DESIGNED_FONT=$session_designed_font
    fi
    "${wrapper[@]}" "$@"
    rc=$?
    return $rc
}

# The noise sender runs on the lab's side and sends to the scan host only; it stops by itself.
lab_noise() {
    [ -f "$envfile" ] || die "no lab recorded in $envfile"
    # shellcheck disable=SC1090
    . "$envfile"
    [ -e "/run/netns/$BRIXLE_LAB_NS" ] || die "namespace $BRIXLE_LAB_NS is gone"
    local noise=${BRIXLE_LAB_NOISE:-}
    [ -n "$noise" ] || noise=$(lab_tool noise) || exit 1
    exec ip netns exec "$BRIXLE_LAB_NS" "$noise" --netns "$BRIXLE_LAB_NS" "$@"
}

[ $# -ge 2 ] || usage
command=$1
envfile=$2
shift 2
shape=routed
case $command in
up)
    shape=${1:-routed}
    [ "$shape" = routed ] || [ "$shape" = lan ] || usage
    lab_up
    ;;
down)
    need_root
    lab_down
    ;;
exec)
    [ $# -ge 1 ] || usage
    need_root
    lab_exec "$@"
    ;;
noise)
    need_root
    lab_noise "$@"
    ;;
run)
    [ $# -ge 1 ] || usage
    lab_run "$@"
    ;;
wine)
    [ $# -ge 1 ] || usage
    lab_wine wine "$@"
    ;;
wine-up | wine-down) lab_wine "$command" ;;
session) lab_wine session "$@" ;;
wine-here | wine-up-here | wine-down-here)
    [ -n "${BRIXLE_LAB_SCAN:-}" ] || usage
    lab_wine_here "${command%-here}" "$@"
    ;;
session-here)
    [ -n "${BRIXLE_LAB_SCAN:-}" ] || usage
    lab_session_here "$@"
    ;;
*) usage ;;
esac
