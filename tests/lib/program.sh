# shellcheck shell=bash
# Running brixle100.exe under Wine in the lab: the session library (display, wineserver) and
# what the program's tests and the run command do with the program itself. Every function
# expects to run in the scan namespace with the lab's variables exported (scripts/lab.sh exec).

# shellcheck source=scripts/lib/lab-session.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/lab-session.sh"

program_pid=""

# Starts the program from its own folder (its sound files lie beside it); optional wrapper.
# Its exit code lands in a file, since a child that has ended still shows in /proc.
start_program() {
    local exe=$1 log=$2
    shift 2
    program_rc_file=$log.rc
    rm -f "$program_rc_file"
    (
        cd "$(dirname "$exe")" && "$@" wine "$(basename "$exe")" >"$log" 2>&1
        echo $? >"$program_rc_file"
    ) &
    program_pid=$!
}

# Waits up to 30 s for the program to end; its exit code goes to program_rc.
wait_program() {
    # shellcheck disable=SC2034 # read by the caller
    program_rc=timeout
    for _ in $(seq 300); do
        if [ -s "$program_rc_file" ]; then
            # shellcheck disable=SC2034
            program_rc=$(cat "$program_rc_file")
            wait "$program_pid" 2>/dev/null
            program_pid=""
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# Ends a program left running by a failed run: ours, by its PID.
stop_program() {
    if [ -n "$program_pid" ] && [ -d "/proc/$program_pid" ]; then
        kill "$program_pid" 2>/dev/null
        wait "$program_pid" 2>/dev/null
    fi
    program_pid=""
}

# A Linux path as the program sees it, through Wine's Z: drive.
windows_path() {
    local path=$1
    echo "Z:${path//\//\\}"
}

# The lab's answering hosts between two addresses, in address order.
lab_hosts_between() {
    local first=$1 last=$2 host
    to_number() {
        local IFS=.
        # shellcheck disable=SC2086 # split at the dots
        set -- $1
        echo $((($1 << 24) + ($2 << 16) + ($3 << 8) + $4))
    }
    for host in $BRIXLE_LAB_HOSTS ${BRIXLE_LAB_LATE_HOSTS:-}; do
        local n
        n=$(to_number "$host")
        if [ "$n" -ge "$(to_number "$first")" ] && [ "$n" -le "$(to_number "$last")" ]; then
            echo "$n $host"
        fi
    done | sort -n | cut -d' ' -f2
}
