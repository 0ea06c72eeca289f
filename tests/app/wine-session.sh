# Running brixle100.exe under Wine on a virtual display inside the lab's scan namespace.
# Sourced by tests/app/run-app-tests.sh and scripts/run.sh; every function expects to run in the
# scan namespace with the lab's variables exported (scripts/lab.sh exec).

xvfb_pid=""
wineserver_pid=""
program_pid=""

in_scan_namespace() {
    [ -n "${BRIXLE_LAB_SCAN:-}" ] && [ "$(ip netns identify $$ 2>/dev/null)" = "$BRIXLE_LAB_SCAN" ]
}

# A display of our own: the first free number from 90 on. Sets DISPLAY.
start_xvfb() {
    local log=$1 n i
    for n in $(seq 90 150); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$log" 2>&1 &
        xvfb_pid=$!
        for i in $(seq 50); do
            if [ -S "/tmp/.X11-unix/X$n" ]; then
                export DISPLAY=":$n"
                return 0
            fi
            [ -d "/proc/$xvfb_pid" ] || break
            sleep 0.1
        done
        stop_xvfb
    done
    echo "session: no virtual display could be started" >&2
    return 1
}

stop_xvfb() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    xvfb_pid=""
}

# The wineservers of $WINEPREFIX, found by the server directory they work in. Its parent is
# /tmp/.wine-UID upstream but a directory of its own on Debian, so only its name is compared.
prefix_wineservers() {
    local dir pid
    [ -d "$WINEPREFIX" ] || return 0
    dir=server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        [[ $(cat "/proc/$pid/comm" 2>/dev/null) == wineserver* ]] || continue
        [ "$(basename "$(readlink "/proc/$pid/cwd" 2>/dev/null)")" = "$dir" ] && echo "$pid"
    done
    return 0
}

# Starts the prefix's wineserver here, optionally under a wrapper command (setpriv ...), and
# refuses to go on unless it really is in the scan namespace: it is what opens the sockets.
start_wineserver() {
    local log=$1 i pid servers
    shift
    in_scan_namespace || {
        echo "session: not inside the lab's scan namespace; refusing to start Wine" >&2
        return 1
    }
    mkdir -p "$WINEPREFIX"
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    "$@" wineserver -f -p >"$log" 2>&1 &
    wineserver_pid=$!
    for i in $(seq 100); do
        [ -n "$(prefix_wineservers)" ] && break
        [ -d "/proc/$wineserver_pid" ] || break
        sleep 0.1
    done
    servers=$(prefix_wineservers)
    if [ -z "$servers" ]; then
        echo "session: the wineserver did not start" >&2
        cat "$log" >&2
        return 1
    fi
    for pid in $servers; do
        if [ "$(ip netns identify "$pid")" != "$BRIXLE_LAB_SCAN" ]; then
            echo "session: wineserver $pid is outside $BRIXLE_LAB_SCAN; refusing to go on" >&2
            stop_wineserver
            return 1
        fi
    done
    # A prefix is made once and then reused: making one takes a quarter of a minute.
    if [ ! -e "$WINEPREFIX/system.reg" ]; then
        echo "session: creating the Wine prefix $WINEPREFIX (once)"
        timeout 300 wineboot -i >"$log.wineboot" 2>&1 || {
            echo "session: wineboot failed" >&2
            return 1
        }
    fi
}

# Registry settings of $WINEPREFIX, imported in one go (regedit wants UTF-16 for the face name):
# the dialogs' font "ＭＳ Ｐゴシック" drawn in IPAPGothic (fonts-ipafont-gothic), which has its
# widths, instead of a wider fallback that cuts the labels; with "virtual_desktop", the program
# and our driver on a Wine desktop of their own, which draws window frames and captions where no
# window manager runs (Xvfb), in screenshots too. Only these two programs: the rest keep theirs.
# Wine does not pick up its own fonts folder here, so Marlett, which draws the caption buttons,
# is named with its path (fonts-wine).
designed_font_face=IPAPGothic
use_designed_font() {
    local reg program status=0
    reg=$(mktemp --suffix=.reg /tmp/brixle-settings.XXXXXX) || return 1
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
        printf '"ＭＳ Ｐゴシック"="%s"\r\n\r\n' "$designed_font_face"
        printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts]\r\n'
        printf '"Marlett (TrueType)"="Z:\\\\usr\\\\share\\\\wine\\\\fonts\\\\marlett.ttf"\r\n\r\n'
        if [ "${1:-}" = virtual_desktop ]; then
            printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n'
            printf '"Brixle100"="1024x768"\r\n\r\n'
            for program in brixle100.exe brixle_app_driver.exe; do
                printf '[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s\\Explorer]\r\n' "$program"
                printf '"Desktop"="Brixle100"\r\n\r\n'
            done
        fi
    } | { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE; } >"$reg"
    timeout 120 wine regedit /S "$(windows_path "$reg")" >/dev/null 2>&1 || {
        echo "session: the prefix's font and desktop settings were not imported" >&2
        status=1
    }
    rm -f "$reg"
    return $status
}

stop_wineserver() {
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    if [ -n "$wineserver_pid" ]; then
        wait "$wineserver_pid" 2>/dev/null
    fi
    wineserver_pid=""
}

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
    local i
    program_rc=timeout
    for i in $(seq 300); do
        if [ -s "$program_rc_file" ]; then
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

# Started on their own, the program's test scripts build what they need into $build, bring up
# a lab of their own and run again inside its scan namespace; this never returns. Arguments:
# what the tests are called (for the skip message) and the build targets they need.
rerun_inside_lab() {
    local what=$1 script=$2
    shift 2
    if [ "$(id -u)" -ne 0 ]; then
        echo "skipped: $what need root for the lab (ip netns)"
        echo "0 passed, 0 failed, 1 skipped"
        exit 0
    fi
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake --preset mingw-i686 -B "$build" >/dev/null || exit 1
    fi
    cmake --build "$build" --target "$@" >/dev/null || {
        echo "build failed"
        echo "0 passed, 1 failed"
        exit 1
    }
    # Outside $work, which the run inside empties: the teardown must still find the lab.
    labdir=$(mktemp -d /tmp/brixle-lab.XXXXXX)
    envfile=$labdir/lab.env
    trap '"$repo/scripts/lab.sh" down "$envfile"; rm -rf "$labdir"' EXIT
    "$repo/scripts/lab.sh" up "$envfile" >/dev/null || exit 1
    "$repo/scripts/lab.sh" exec "$envfile" env WINEPREFIX="${WINEPREFIX:-$build/app-wine}" \
        BRIXLE_APP_BUILD_DIR="$build" bash "$script"
    exit
}
