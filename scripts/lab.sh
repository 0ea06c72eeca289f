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
# A net whose every address answers, for sweeps with thousands of hosts: a local route makes the
# lab namespace's kernel take each address for its own, and the responder answers each.
whole_net=10.71.32.0/20
noroute_net=10.71.62.0/24
scan_if=scan0
lab_if=lab0
# The ordinary desktop user of `session --user`: a uid of no account, so nothing of it can be
# anyone's.
lab_user=61871

die() {
    echo "lab: $*" >&2
    exit 1
}

usage() {
    cat >&2 <<'EOF'
usage: lab.sh up ENVFILE [routed|lan]   make the lab, write its variables to ENVFILE
       lab.sh down ENVFILE              tear down what ENVFILE records (idempotent)
       lab.sh exec ENVFILE cmd...       run cmd in the scan namespace, the variables exported
       lab.sh run ENVFILE cmd...        the same when the lab is up; without one, cmd runs here
       lab.sh wine ENVFILE prog args... run a Windows program there under Wine, its prefix's
                                        wineserver proved to be there (exit 77: no lab)
       lab.sh wine-up|wine-down ENVFILE start (and prove) or end the prefix's wineserver there
       lab.sh session ENVFILE [--display] [--designed-font] [--no-net-raw] [--user]
                          [--ping-range "LOW HIGH"] -- cmd...
                                        run cmd there with a wineserver of the prefix's own
                                        (WINEPREFIX and the rest exported), optionally a virtual
                                        display, the dialogs' designed font on a Wine desktop, no
                                        CAP_NET_RAW for server and cmd, or every Wine program as
                                        an ordinary user in a prefix of its own (cmd runs them
                                        under $BRIXLE_SESSION_AS), the groups allowed ICMP ping
                                        sockets there (default: none); ends them after cmd
       lab.sh noise ENVFILE args...     send bounded unwanted ICMP to the scan host from the lab
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
    [ -x "$bin" ] || die "$bin is missing; build it: cmake --build --preset linux --target $1"
    echo "$bin"
}

# record NAME VALUE...: into ENVFILE, exported.
record() {
    while [ $# -ge 2 ]; do
        printf "export %s='%s'\n" "$1" "$2" >>"$envfile"
        shift 2
    done
}

load() {
    # shellcheck disable=SC1090
    . "$envfile"
}

# A process of ours is ended only if the recorded PID still is the program we started and
# still lives in our lab namespace: a PID reused since then is left alone.
stop_recorded() {
    local pid=$1 name=$2 ns=$3
    [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ] || return 0
    [ "$(ip netns identify "$pid" 2>/dev/null)" = "$ns" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 50); do
        [ -d "/proc/$pid" ] || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}

lab_down() {
    [ -f "$envfile" ] || return 0
    local BRIXLE_LAB_SCAN="" BRIXLE_LAB_NS="" BRIXLE_LAB_RESPONDER_PID="" BRIXLE_LAB_TCPDUMP_PID=""
    load
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

# start NAME LOG READY...: starts the lab namespace's program NAME (the rest of the line after
# READY's words, which end at --) in a session of its own, so that a Ctrl-C meant for the test
# runner cannot end it behind `down`'s back; records its PID, waits until READY holds and makes
# sure the PID is still the program.
start() {
    local name=$1 log=$2 ready=()
    shift 2
    while [ "$1" != -- ]; do ready+=("$1"); shift; done
    shift
    setsid ip netns exec "$lab" "$@" >"$log" 2>&1 </dev/null &
    local pid=$!
    record "BRIXLE_LAB_${name^^}_PID" "$pid"
    for _ in $(seq 100); do
        "${ready[@]}" && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ] && return 0
        [ -d "/proc/$pid" ] || break
        sleep 0.1
    done
    echo "lab: $name did not come up:" >&2
    sed 's/^/  /' "$log" >&2
    return 1
}

lab_up() {
    need_root
    lab_down
    local dir responder noise
    mkdir -p "$(dirname "$envfile")"
    dir=$(cd "$(dirname "$envfile")" && pwd)
    envfile=$dir/$(basename "$envfile")
    responder=$(lab_tool responder)
    noise=$(lab_tool noise)

    local name=${BRIXLE_LAB_NAME:-brx$$} host
    local scan=${name}scan lab=${name}lab
    if [ "$shape" = lan ]; then
        # The scanner on the /24 it sweeps, the hosts on the same link.
        hosts=(10.71.59.2 10.71.59.3 10.71.59.20 10.71.59.100 10.71.59.254)
        scan_addr=10.71.59.1 router_addr="" unreachable_net="" noroute_net=10.71.60.0/24 whole_net=""
    fi
    local pcap=$dir/lab-$$.pcap

    # Every name goes into the file before the thing exists, so a failure part way (or a
    # later `down`) finds all of it.
    : >"$envfile"
    record BRIXLE_LAB 1 BRIXLE_LAB_SHAPE "$shape" BRIXLE_LAB_SELF "$scan_addr" \
        BRIXLE_LAB_SCAN "$scan" BRIXLE_LAB_NS "$lab" BRIXLE_LAB_HOSTS "${hosts[*]}" \
        BRIXLE_LAB_LATE_HOSTS "${late_hosts[*]}" BRIXLE_LAB_LATE_MS "$late_ms" \
        BRIXLE_LAB_ROUTER "$router_addr" BRIXLE_LAB_UNREACHABLE_NET "$unreachable_net" \
        BRIXLE_LAB_NOROUTE_NET "$noroute_net" BRIXLE_LAB_WHOLE_NET "$whole_net" \
        BRIXLE_LAB_SCAN_IF "$scan_if" \
        BRIXLE_LAB_PCAP "$pcap" BRIXLE_LAB_NOISE "$noise" BRIXLE_LAB_WINEPREFIX "$dir/wine"
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
        ip -n "$scan" addr add "$scan_addr/24" dev "$scan_if"
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
        ip -n "$lab" route add local "$whole_net" dev lo
    fi
    # The ratemask too: at 0 neither the per-peer nor the global ICMP limit applies, so a
    # sweep through the unreachable range gets an answer for every request.
    ip netns exec "$lab" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.icmp_echo_ignore_all=1 \
        net.ipv4.icmp_ratelimit=0 net.ipv4.icmp_ratemask=0

    local args=() log=$dir/lab-$$
    for host in "${hosts[@]}"; do args+=(--host "$host"); done
    for host in "${late_hosts[@]}"; do args+=(--host "$host:$late_ms"); done
    if [ -n "$whole_net" ]; then # 10.71.32.0/20
        for third in $(seq 32 47); do
            for fourth in $(seq 0 255); do args+=(--host "10.71.$third.$fourth"); done
        done
    fi
    start responder "$log-responder.log" grep -q '^responder: ready' "$log-responder.log" -- \
        "$responder" "${args[@]}"
    rm -f "$pcap"
    start tcpdump "$log-tcpdump.log" eval "grep -q 'listening on' '$log-tcpdump.log' && [ -e '$pcap' ]" -- \
        tcpdump -U -n -Z root -i "$lab_if" -w "$pcap" icmp

    trap - ERR
    echo "lab: up ($scan, $lab); variables in $envfile"
}

lab_exec() {
    [ -f "$envfile" ] || die "no lab recorded in $envfile"
    set -a
    load
    set +a
    [ -e "/run/netns/$BRIXLE_LAB_SCAN" ] || die "namespace $BRIXLE_LAB_SCAN is gone"
    exec ip netns exec "$BRIXLE_LAB_SCAN" "$@"
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
    wine-down)
        session_stop_wineserver
        # A session that a time-out ended skipped its own teardown: its user's prefix as well.
        local user_prefix=$BRIXLE_LAB_WINEPREFIX-user/.local/share/brixle100/wine
        if [ -d "$user_prefix" ]; then
            session_as=(setpriv --reuid="$lab_user" --regid="$lab_user" --clear-groups)
            session_wine_env "$user_prefix"
            session_stop_wineserver
        fi
        ;;
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
    session)
        shift
        local display=0 font=0 user=0 range="1 0" wrapper=() base=$BRIXLE_LAB_WINEPREFIX
        while [ $# -gt 0 ] && [ "$1" != -- ]; do
            case $1 in
            --display) display=1 ;;
            --designed-font) font=1 ;;
            --no-net-raw) wrapper=(setpriv --bounding-set=-net_raw --inh-caps=-net_raw) ;;
            --user) user=1 ;;
            --ping-range)
                [ $# -ge 2 ] || usage
                range=$2
                shift
                ;;
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
        session_as=("${wrapper[@]}")
        if [ "$user" -eq 1 ]; then
            base=$BRIXLE_LAB_WINEPREFIX-user
            session_become_user "$lab_user" "$base" "$repo" || return 1
        fi
        # Who may open the kernel's ICMP ping sockets (a Wine without CAP_NET_RAW sweeps through
        # them): the session's range, the kernel's default (nobody) after it and unless asked.
        sysctl -qw net.ipv4.ping_group_range="$range" || return 1
        trap 'sysctl -qw net.ipv4.ping_group_range="1 0"; session_stop_wineserver; session_stop_display' EXIT
        unset DISPLAY
        if [ "$display" -eq 1 ]; then
            session_start_display "$base.xvfb.log" || return 1
        fi
        session_start_wineserver "$base.log" || return 1
        if [ "$font" -eq 1 ]; then
            session_use_designed_font virtual_desktop || return 1
            export BRIXLE_DESIGNED_FONT=$session_designed_font
        fi
        "${wrapper[@]}" "$@"
        ;;
    esac
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
run)
    # Without a lab (not root) the command runs here: what needs the lab then skips by itself.
    [ $# -ge 1 ] || usage
    [ -f "$envfile" ] || exec "$@"
    need_root
    lab_exec "$@"
    ;;
noise)
    # The noise sender runs on the lab's side and sends to the scan host only; it stops by itself.
    need_root
    [ -f "$envfile" ] || die "no lab recorded in $envfile"
    load
    [ -e "/run/netns/$BRIXLE_LAB_NS" ] || die "namespace $BRIXLE_LAB_NS is gone"
    exec ip netns exec "$BRIXLE_LAB_NS" "$BRIXLE_LAB_NOISE" --netns "$BRIXLE_LAB_NS" "$@"
    ;;
wine | session)
    [ $# -ge 1 ] || usage
    lab_wine "$command" "$@"
    ;;
wine-up | wine-down) lab_wine "$command" ;;
*-here)
    [ -n "${BRIXLE_LAB_SCAN:-}" ] || usage
    lab_wine_here "${command%-here}" "$@"
    ;;
*) usage ;;
esac
