# shellcheck shell=bash
# A session in the lab: the one owner of entering the scan namespace, of a Wine prefix's
# wineserver inside it, of the virtual display, and of their teardown. Sourced by scripts/lab.sh
# (which the run command, the benchmarks and the test suites go through) and by the run command.
#
# Under Wine a program's sockets belong to its prefix's wineserver, so a Wine program sweeps from
# wherever that server runs. Nothing here lets Wine run until every wineserver of the prefix is
# proved to be inside the lab's scan namespace (ip netns identify).

session_wineserver_pid=""
session_display_pid=""
# The command every Wine process the library starts runs under (setpriv: fewer capabilities, or
# another uid with a prefix of its own); empty: as we are.
session_as=()

# Debian's wine command always starts its 32-bit loader first, even for a 64-bit program. Where
# the kernel runs no 32-bit code at all (IA-32 emulation off, as on some virtual machines),
# 64-bit Windows programs still run through the 64-bit loader, and 32-bit ones cannot run.
session_runs_32bit() {
    /usr/lib/wine/wine --version >/dev/null 2>&1
}

# The Windows build that can run here: the 32-bit one first, as shipped first.
session_windows_build() {
    if session_runs_32bit; then echo "$1/mingw-i686"; else echo "$1/mingw-x86_64"; fi
}

# True for a 32-bit Windows program (PE32, not PE32+).
session_is_32bit_program() {
    file -b "$1" | grep -q '^PE32 '
}

# No Mono or Gecko: nothing of ours needs them, and installing them would ask on a dialog.
session_wine_env() {
    export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    if ! session_runs_32bit; then
        local bin=${WINEPREFIX%/}-bin
        mkdir -p "$bin"
        for name in wine wine-stable; do
            printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$bin/$name"
            chmod +x "$bin/$name"
        done
        export WINELOADER=/usr/lib/wine/wine64 PATH=$bin:$PATH
    fi
}

# Every Wine process from here on as the unprivileged uid UID (no capabilities, no groups but
# its own, no account either), with HOME, made for it, and in the prefix the run command gives
# an ordinary user there: the Wine of a desktop user, who runs the checkout TREE's scripts and
# builds. BRIXLE_SESSION_AS carries the command to the session's own programs.
session_become_user() {
    local uid=$1 home=$2 tree=$3
    session_as=(setpriv --reuid="$uid" --regid="$uid" --clear-groups --inh-caps=-all
        --bounding-set=-all)
    session_open_tree "$tree" || return 1
    install -d -o "$uid" -g "$uid" "$home" || return 1
    export HOME=$home USER=brixle LOGNAME=brixle BRIXLE_SESSION_AS="${session_as[*]}"
    "${session_as[@]}" mkdir -p "$home/.local/share/brixle100/wine" || return 1
    session_wine_env "$home/.local/share/brixle100/wine"
}

# The user reaches TREE by its own paths, so that every path of the tests and of the builds holds
# for them too, even where a folder above it is root's alone (a clone in /root, mode 0700): that
# folder is covered by an empty one that anyone may pass, and TREE is bound back in its place.
# Only in the session's own mount namespace, which ip netns exec made for it (and never in the
# machine's): nothing outside sees it, and it goes with the session's last process.
session_open_tree() {
    local tree=$1 dir="" part parts keep
    "${session_as[@]}" test -x "$tree" && return 0
    if [ "$(readlink /proc/$$/ns/mnt)" = "$(readlink /proc/1/ns/mnt)" ]; then
        echo "session: $tree is closed to the user, and this is the machine's own mount namespace" >&2
        return 1
    fi
    IFS=/ read -ra parts <<<"${tree#/}"
    for part in "${parts[@]}"; do
        dir=$dir/$part
        "${session_as[@]}" test -x "$dir" || break
    done
    [ "$dir" != "$tree" ] || {
        echo "session: the user may not enter $tree itself" >&2
        return 1
    }
    keep=$(mktemp -d) || return 1
    mount --bind "$tree" "$keep" && mount -t tmpfs -o mode=0755 brixle-open "$dir" &&
        (umask 022 && mkdir -p "$tree") && mount --bind "$keep" "$tree"
    local status=$?
    umount "$keep" 2>/dev/null
    rmdir "$keep"
    [ "$status" -eq 0 ] || echo "session: could not open the way to $tree for the user" >&2
    return $status
}

session_in_lab() {
    [ -n "${BRIXLE_LAB_SCAN:-}" ] && [ "$(ip netns identify $$ 2>/dev/null)" = "$BRIXLE_LAB_SCAN" ]
}

# The wineservers of $WINEPREFIX, known by the server folder they work in (server-DEV-INODE of
# the prefix; its parent is /tmp/.wine-UID upstream, a folder of its own on Debian).
session_wineservers() {
    local dir pid comm cwd
    [ -d "$WINEPREFIX" ] || return 0
    dir=server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")
    # Builtins only for every process: this runs before each Windows test.
    for pid in /proc/[0-9]*; do
        read -r comm 2>/dev/null <"$pid/comm" || continue
        [[ $comm == wineserver* ]] || continue
        cwd=$(readlink "$pid/cwd" 2>/dev/null)
        [ "${cwd##*/}" = "$dir" ] && echo "${pid#/proc/}"
    done
    return 0
}

# True when the prefix has a wineserver and every one of them is in the scan namespace.
session_wineserver_in_lab() {
    local servers pid
    servers=$(session_wineservers)
    [ -n "$servers" ] || return 1
    for pid in $servers; do
        [ "$(ip netns identify "$pid" 2>/dev/null)" = "${BRIXLE_LAB_SCAN:-}" ] || return 1
    done
}

# Starts the prefix's wineserver here, proves that it is in the scan namespace, and makes the
# prefix on first use. Its output goes to LOG, in a session of its own: it outlives the caller (a
# test fixture), and a pipe it held would keep the caller's reader waiting for ever.
session_start_wineserver() {
    local log=$1
    session_in_lab || {
        echo "session: not inside the lab's scan namespace; refusing to start Wine" >&2
        return 1
    }
    # Made by whoever runs Wine in it: Wine refuses a prefix that is not the user's own.
    "${session_as[@]}" mkdir -p "$WINEPREFIX" || return 1
    # A server that was ending by itself as ours started (its last program just gone) still
    # held the prefix's lock, and ours gave up: then once more.
    local attempt
    for attempt in 1 2 3; do
        session_stop_wineserver
        setsid "${session_as[@]}" wineserver -f -p >"$log" 2>&1 </dev/null &
        session_wineserver_pid=$!
        for _ in $(seq 100); do
            [ -n "$(session_wineservers)" ] && break
            [ -d "/proc/$session_wineserver_pid" ] || break
            sleep 0.1
        done
        [ -d "/proc/$session_wineserver_pid" ] && break
        sleep "0.$attempt"
    done
    if ! session_wineserver_in_lab; then
        echo "session: no wineserver of $WINEPREFIX proved inside $BRIXLE_LAB_SCAN; refusing" >&2
        cat "$log" >&2
        session_stop_wineserver
        return 1
    fi
    # Making a prefix takes a quarter of a minute: once, then it is reused.
    if [ ! -e "$WINEPREFIX/.made" ]; then
        echo "session: creating the Wine prefix $WINEPREFIX (once)"
        timeout 300 "${session_as[@]}" wineboot -i >"$log.wineboot" 2>&1 </dev/null || {
            echo "session: wineboot failed; see $log.wineboot" >&2
            return 1
        }
        # A crash in a test is reported in its log and ends the program: no dialog waits for
        # a click that never comes.
        timeout 120 "${session_as[@]}" wine reg add 'HKCU\Software\Wine\WineDbg' \
            /v ShowCrashDialog /t REG_DWORD /d 0 /f >>"$log.wineboot" 2>&1 </dev/null || {
            echo "session: the prefix's crash setting was not made; see $log.wineboot" >&2
            return 1
        }
        "${session_as[@]}" touch "$WINEPREFIX/.made"
    fi
}

session_stop_wineserver() {
    # Only the prefix's owner reaches its server.
    "${session_as[@]}" wineserver -k >/dev/null 2>&1
    "${session_as[@]}" wineserver -w >/dev/null 2>&1
    [ -z "$session_wineserver_pid" ] || wait "$session_wineserver_pid" 2>/dev/null
    session_wineserver_pid=""
}

# Runs a Windows program under Wine, here in the scan namespace, once the prefix's wineserver is
# proved to be here too (started first when none runs).
session_wine() {
    if [ -z "$(session_wineservers)" ]; then
        session_start_wineserver "$WINEPREFIX/wineserver.log" >&2 || return 1
        session_wineserver_pid=""
    fi
    session_wineserver_in_lab || {
        echo "session: a wineserver of $WINEPREFIX runs outside $BRIXLE_LAB_SCAN; refusing" >&2
        return 1
    }
    "${session_as[@]}" wine "$@"
}

# Registry settings of $WINEPREFIX, imported in one go (regedit wants UTF-16 for the face name):
# the dialogs' font "ＭＳ Ｐゴシック" drawn in IPAPGothic (fonts-ipafont-gothic), which has its
# widths, instead of a wider fallback that cuts the labels; with "virtual_desktop", the program
# and our driver on a Wine desktop of their own, which draws window frames and captions where no
# window manager runs (Xvfb), in screenshots too. Only these programs (the program, our driver and
# the benchmark's probe): the rest keep theirs.
# Wine does not pick up its own fonts folder here, so Marlett, which draws the caption buttons,
# is named with its path (fonts-wine).
session_designed_font=IPAPGothic
session_use_designed_font() {
    local reg program status=0
    reg=$(mktemp --suffix=.reg /tmp/brixle-settings.XXXXXX) || return 1
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
        printf '"ＭＳ Ｐゴシック"="%s"\r\n\r\n' "$session_designed_font"
        printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts]\r\n'
        printf '"Marlett (TrueType)"="Z:\\\\usr\\\\share\\\\wine\\\\fonts\\\\marlett.ttf"\r\n\r\n'
        if [ "${1:-}" = virtual_desktop ]; then
            printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n'
            printf '"Brixle100"="1024x768"\r\n\r\n'
            for program in brixle100.exe brixle_app_driver.exe brixle_window_probe.exe; do
                printf '[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s\\Explorer]\r\n' "$program"
                printf '"Desktop"="Brixle100"\r\n\r\n'
            done
        fi
    } | { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE; } >"$reg"
    chmod 644 "$reg" # for a Wine of another uid
    timeout 120 "${session_as[@]}" wine regedit /S "Z:${reg//\//\\}" >/dev/null 2>&1 || {
        echo "session: the prefix's font and desktop settings were not imported" >&2
        status=1
    }
    rm -f "$reg"
    return $status
}

# A virtual display of our own: the first free number from 90 on. Sets DISPLAY. Ours only once
# its lock names our Xvfb: two sessions starting at once may both find a number free, and the
# one whose Xvfb lost would otherwise take the other's socket for its own, and lose it with it.
session_start_display() {
    local log=$1 n holder
    for n in $(seq 90 150); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$log" 2>&1 </dev/null &
        session_display_pid=$!
        for _ in $(seq 50); do
            holder=$(tr -d ' \n' 2>/dev/null <"/tmp/.X$n-lock")
            if [ -S "/tmp/.X11-unix/X$n" ] && [ "$holder" = "$session_display_pid" ]; then
                export DISPLAY=":$n"
                return 0
            fi
            [ -d "/proc/$session_display_pid" ] || break
            sleep 0.1
        done
        session_stop_display
    done
    echo "session: no virtual display could be started" >&2
    return 1
}

session_stop_display() {
    [ -z "$session_display_pid" ] || { kill "$session_display_pid" 2>/dev/null; wait "$session_display_pid" 2>/dev/null; }
    session_display_pid=""
}
