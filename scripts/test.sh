#!/usr/bin/env bash
# The project's test command: builds every preset, brings up the lab, runs every suite in it.
set -uo pipefail

# Further test scripts, run in the scan namespace after the GoogleTest suites (full runs only).
# Each ends with the line "N passed, M failed" and exits non-zero on failure.
extra_tests=(
    tests/app/run-app-tests.sh
    tests/package/run-package-test.sh
    scripts/fuzz.sh
    tests/sound/run-sound-tests.sh
    tests/faults/run-fault-tests.sh
)

usage() {
    cat <<'EOF'
usage: scripts/test.sh [--quick] [--preset P]...
  --quick      build and run only the linux preset (natively), for a fast check
  --preset P   only preset P (repeatable): linux linux-asan linux-tsan mingw-i686 mingw-x86_64
Builds into build/<preset>; results in build/test-results (BRIXLE_RESULTS_DIR overrides).
The lab needs root; without it the lab tests skip and the Windows suites do not run.
EOF
}

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
all_presets=(linux linux-asan linux-tsan mingw-i686 mingw-x86_64)
results=${BRIXLE_RESULTS_DIR:-$repo/build/test-results}
wine_root=$repo/build/wine
prefix=$wine_root/prefix
# A suite takes well under a minute; a hung one must not eat CI's whole time.
suite_timeout=${BRIXLE_SUITE_TIMEOUT:-600}

is_wine_preset() { [[ $1 == mingw-* ]]; }

# No Mono or Gecko: the suites need neither, and installing them would ask on a dialog.
wine_env=(WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=")

# The prefix's wineservers, known by the directory they work in: server-DEV-INODE of the
# prefix (under /tmp/.wine-UID upstream, under a /tmp/wine-XXXXXX of its own on Debian).
prefix_wineservers() {
    local dir pid
    dir=server-$(stat -c %D "$prefix")-$(printf %x "$(stat -c %i "$prefix")")
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        [[ $(cat "/proc/$pid/comm" 2>/dev/null) == wineserver* ]] || continue
        [[ $(readlink "/proc/$pid/cwd" 2>/dev/null) == /tmp/*/"$dir" ]] && echo "$pid"
    done
    return 0
}

stop_prefix_wineserver() {
    [ -d "$prefix" ] || return 0
    env "${wine_env[@]}" wineserver -k >/dev/null 2>&1
    env "${wine_env[@]}" wineserver -w >/dev/null 2>&1
    return 0
}

# Runs inside the scan namespace (test.sh calls itself here): starts the prefix's wineserver,
# makes sure it is in this namespace, then runs each Windows suite under Wine.
in_lab_wine() {
    mkdir -p "$prefix"
    export "${wine_env[@]}"
    unset DISPLAY
    local here server
    here=$(ip netns identify $$)
    if [ -z "$here" ] || [ "$here" != "${BRIXLE_LAB_SCAN:-}" ]; then
        echo "wine: not inside the lab's scan namespace; refusing to run Wine" >&2
        return 3
    fi
    if [ -n "$(prefix_wineservers)" ]; then
        echo "wine: a wineserver of $prefix is still running; refusing" >&2
        return 3
    fi
    wineserver -f -p >"$results/wineserver.log" 2>&1 &
    server=$!
    local i
    for i in $(seq 100); do
        [ -S "$(readlink "/proc/$server/cwd" 2>/dev/null)/socket" ] && break
        [ -d "/proc/$server" ] || break
        sleep 0.1
    done
    local servers pid
    servers=$(prefix_wineservers)
    if [ -z "$servers" ]; then
        echo "wine: the wineserver did not start" >&2
        cat "$results/wineserver.log" >&2
        return 3
    fi
    for pid in $servers; do
        if [ "$(ip netns identify "$pid")" != "$BRIXLE_LAB_SCAN" ]; then
            echo "wine: wineserver $pid is outside $BRIXLE_LAB_SCAN; refusing to run Wine" >&2
            wineserver -k
            return 3
        fi
    done
    echo "wine: wineserver $servers in $BRIXLE_LAB_SCAN"

    local status=0
    if [ ! -e "$wine_root/prefix-ready" ]; then
        echo "wine: creating the prefix (once)"
        if timeout --foreground 300 wineboot -u >"$results/wineboot.log" 2>&1; then
            touch "$wine_root/prefix-ready"
        else
            echo "wine: wineboot failed" >&2
            status=3
        fi
    fi
    local preset run
    if [ "$status" -eq 0 ]; then
        for preset in "$@"; do
            run=$preset${BRIXLE_RUN_SUFFIX:-}
            (
                cd "$repo/build/$preset/tests" &&
                    GTEST_OUTPUT="xml:Z:$results/$run.xml" \
                        timeout --foreground -k 10 "$suite_timeout" wine brixle_tests.exe
            ) >"$results/$run.log" 2>&1
            rc=$?
            echo $rc >"$results/$run.rc"
            [ $rc -ne 130 ] || { status=$rc; break; }
        done
    fi
    wineserver -k
    wineserver -w
    wait "$server" 2>/dev/null
    return "$status"
}

if [ "${1:-}" = --in-lab-wine ]; then
    shift
    in_lab_wine "$@"
    exit
fi

presets=()
quick=0
while [ $# -gt 0 ]; do
    case $1 in
    --quick) quick=1 ;;
    --preset)
        [ $# -ge 2 ] || { usage >&2; exit 2; }
        [[ " ${all_presets[*]} " == *" $2 "* ]] || { echo "unknown preset: $2" >&2; exit 2; }
        presets+=("$2")
        shift
        ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
    shift
done
full=0
if [ $quick -eq 1 ]; then
    presets=(linux)
elif [ ${#presets[@]} -eq 0 ]; then
    presets=("${all_presets[@]}")
    full=1
fi

cd "$repo" || exit 1
mkdir -p "$wine_root"
# One run at a time in a checkout: runs share build/<preset>, the results and the prefix, and a
# second run's `wineserver -k` would end the first's. Children get the lock closed (9>&-).
exec 9>"$repo/build/.test-run.lock"
if ! flock -n 9; then
    echo "waiting for another scripts/test.sh run in this checkout to finish"
    flock -w 7200 9 || { echo "gave up waiting" >&2; exit 1; }
fi
rm -rf "$results"
mkdir -p "$results"

names=() passes=() fails=() skips=() notes=()
add_result() {
    names+=("$1") passes+=("$2") fails+=("$3") skips+=("$4") notes+=("${5:-}")
}

step() { echo "== $*"; }

lab=0
envfile=$results/lab.env
lan_envfile=$results/lan.env
wine_used=0
cleanup() {
    trap - EXIT INT TERM
    if [ $wine_used -eq 1 ]; then
        stop_prefix_wineserver
    fi
    if [ $lab -eq 1 ]; then
        "$repo/scripts/lab.sh" down "$envfile" || echo "warning: lab teardown failed" >&2
    fi
    [ ! -f "$lan_envfile" ] || "$repo/scripts/lab.sh" down "$lan_envfile" ||
        echo "warning: LAN lab teardown failed" >&2
}
trap cleanup EXIT
trap 'echo "interrupted" >&2; exit 130' INT
trap 'echo "terminated" >&2; exit 143' TERM
# A Ctrl-C reaches the running suite too; when the suite ends on it, bash may not run the INT
# trap itself. (A suite ended by SIGTERM from elsewhere is only that suite's failure.)
stop_if_interrupted() {
    [ "$1" -ne 130 ] || { echo "interrupted" >&2; exit 130; }
}

root=0
[ "$(id -u)" -eq 0 ] && root=1

if [ $root -eq 1 ]; then
    step "dependencies"
    bash "$repo/scripts/install-deps.sh" || { echo "install-deps failed" >&2; exit 1; }
fi

declare -A built=()
build_preset() {
    local preset=$1 log=$results/build-$preset.log try
    for try in 1 2; do
        # A second try: the lead may be building in the same directory (ninja's lock).
        if cmake --preset "$preset" >"$log" 2>&1 && cmake --build --preset "$preset" >>"$log" 2>&1
        then
            return 0
        fi
        sleep 2
    done
    return 1
}
for preset in "${presets[@]}"; do
    step "build $preset"
    start=$SECONDS
    if build_preset "$preset"; then
        built[$preset]=1
        echo "built in $((SECONDS - start)) s"
    else
        echo "build of $preset failed:"
        grep -E 'error|Error|FAILED' "$results/build-$preset.log" | head -30
        add_result "$preset" 0 1 0 "build failed, see $results/build-$preset.log"
    fi
done

if [ $root -eq 1 ]; then
    step "lab"
    if "$repo/scripts/lab.sh" up "$envfile" 9>&-; then
        lab=1
    else
        add_result lab 0 1 0 "the lab did not come up"
    fi
else
    echo "not root: no lab; lab tests skip and the Windows suites do not run"
fi

# Runs a command in the lab when there is one, else here with no lab variables at all.
in_lab() {
    if [ $lab -eq 1 ]; then
        "$repo/scripts/lab.sh" exec "${lab_env:-$envfile}" "$@"
    else
        env $(env | sed -n 's/^\(BRIXLE_LAB[A-Z_]*\)=.*/-u \1/p') "$@"
    fi
}

# Reads "N passed, M failed[, K skipped]" from a script's last line.
add_script_result() {
    local name=$1 rc=$2 log=$3 last p f s
    last=$(tail -n 1 "$log")
    if [[ $last =~ ([0-9]+)\ passed,\ ([0-9]+)\ failed(,\ ([0-9]+)\ skipped)?$ ]]; then
        p=${BASH_REMATCH[1]} f=${BASH_REMATCH[2]} s=${BASH_REMATCH[4]:-0}
        if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then
            add_result "$name" "$p" 1 "$s" "exited $rc"
        else
            add_result "$name" "$p" "$f" "$s"
        fi
    else
        add_result "$name" 0 1 0 "exited $rc without a count, see $log"
    fi
    [ "$rc" -eq 0 ] || tail -n 30 "$log"
}

if [ $lab -eq 1 ]; then
    step "lab network"
    in_lab bash "$repo/tests/lab/lab-network-test.sh" 2>&1 | tee "$results/lab-network.log"
    rc=${PIPESTATUS[0]}
    stop_if_interrupted "$rc"
    add_script_result lab-network "$rc" "$results/lab-network.log"
elif [ $root -eq 0 ]; then
    add_result lab-network 0 0 1 "no lab without root"
fi

# The runner's own parts: the report counting behind the summary, and the lab's setup and
# teardown (a lab of its own; needs root, skips itself otherwise).
for script in tests/runner/gtest-counts-test.sh tests/lab/lab-lifecycle-test.sh; do
    name=$(basename "$script" .sh)
    step "$name"
    bash "$repo/$script" >"$results/$name.log" 2>&1 9>&-
    rc=$?
    stop_if_interrupted "$rc"
    tail -n 1 "$results/$name.log"
    add_script_result "$name" "$rc" "$results/$name.log"
done

add_gtest_result() {
    local preset=$1 rc=$2 xml=$results/$1.xml log=$results/$1.log
    if [ ! -s "$xml" ] || ! grep -q '</testsuites>' "$xml"; then
        local why="crashed (exit $rc), no XML"
        [ "$rc" -eq 124 ] && why="timed out after $suite_timeout s, no XML"
        add_result "$preset" 0 1 0 "$why; see $log"
        tail -n 40 "$log"
        return
    fi
    local p f s
    read -r p f s < <(awk -f "$repo/scripts/gtest-counts.awk" "$xml")
    if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then
        # All tests passed but the process did not: a sanitizer report at exit, say.
        add_result "$preset" "$p" 1 "$s" "exited $rc after its tests; see $log"
        tail -n 40 "$log"
    else
        add_result "$preset" "$p" "$f" "$s"
        [ "$f" -eq 0 ] || grep -E '^\[  FAILED  \] [A-Za-z_0-9/.]+( \(|$)|Failure$' "$log" | sort -u | head -30
    fi
}

native_env() {
    case $1 in
    linux-asan)
        echo ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1 \
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
        ;;
    linux-tsan) echo TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ;;
    esac
}

# run_native PRESET RUN: the preset's suite natively in the current lab, results named RUN.
run_native() {
    local preset=$1 run=$2
    step "tests $run"
    # shellcheck disable=SC2046
    (cd "$repo/build/$preset/tests" &&
        in_lab env GTEST_OUTPUT="xml:$results/$run.xml" ${GTEST_FILTER:+GTEST_FILTER=$GTEST_FILTER} \
            $(native_env "$preset") \
            timeout --foreground -k 10 "$suite_timeout" ./brixle_tests) >"$results/$run.log" 2>&1
    rc=$?
    stop_if_interrupted "$rc"
    tail -n 3 "$results/$run.log"
    add_gtest_result "$run" "$rc"
}

for preset in "${presets[@]}"; do
    is_wine_preset "$preset" && continue
    [ -n "${built[$preset]:-}" ] || continue
    run_native "$preset" "$preset"
done

wine_presets=()
for preset in "${presets[@]}"; do
    is_wine_preset "$preset" && [ -n "${built[$preset]:-}" ] && wine_presets+=("$preset")
done
# run_wine SUFFIX: the Windows suites under Wine in the current lab, results named PRESET+SUFFIX.
run_wine() {
    local suffix=$1 preset
    step "tests ${wine_presets[*]} under Wine, in the lab${suffix:+ ($suffix)}"
    # No wineserver of this prefix may be left from a run outside the namespace.
    stop_prefix_wineserver
    wine_used=1
    in_lab env BRIXLE_RUN_SUFFIX="$suffix" ${GTEST_FILTER:+GTEST_FILTER=$GTEST_FILTER} \
        bash "$repo/scripts/test.sh" --in-lab-wine "${wine_presets[@]}" 9>&-
    wine_status=$?
    stop_if_interrupted "$wine_status"
    for preset in "${wine_presets[@]}"; do
        if [ $wine_status -ne 0 ] && [ ! -e "$results/$preset$suffix.rc" ]; then
            add_result "$preset$suffix" 0 1 0 "Wine was not started in the lab"
            continue
        fi
        tail -n 3 "$results/$preset$suffix.log"
        add_gtest_result "$preset$suffix" "$(cat "$results/$preset$suffix.rc")"
    done
}

if [ ${#wine_presets[@]} -gt 0 ]; then
    if [ $lab -eq 1 ]; then
        run_wine ""
    else
        for preset in "${wine_presets[@]}"; do
            add_result "$preset" 0 0 1 "Windows suites run only in the lab (root)"
        done
    fi
fi

# The scanner on its own LAN: the sweep tests again (the others do not depend on the shape),
# and in a full run the program's preset sweep.
if [ $lab -eq 1 ]; then
    step "LAN lab"
    if "$repo/scripts/lab.sh" up "$lan_envfile" lan 9>&-; then
        lab_env=$lan_envfile
        export GTEST_FILTER='LabSweep.*'
        for preset in "${presets[@]}"; do
            is_wine_preset "$preset" || [ -z "${built[$preset]:-}" ] || run_native "$preset" "$preset-lan"
        done
        [ ${#wine_presets[@]} -eq 0 ] || run_wine -lan
        unset GTEST_FILTER
        if [ $full -eq 1 ]; then
            step "tests/app/run-app-tests.sh (LAN)"
            log=$results/run-app-tests-lan.log
            in_lab env "${wine_env[@]}" BRIXLE_BUILD_ROOT="$repo/build" \
                BRIXLE_RESULTS_DIR="$results/lan" \
                timeout --foreground -k 10 "$suite_timeout" bash "$repo/tests/app/run-app-tests.sh" \
                >"$log" 2>&1 9>&-
            rc=$?
            stop_if_interrupted "$rc"
            tail -n 1 "$log"
            add_script_result app-lan "$rc" "$log"
            stop_prefix_wineserver
        fi
        lab_env=""
        "$repo/scripts/lab.sh" down "$lan_envfile" || echo "warning: LAN lab teardown failed" >&2
    else
        add_result lan-lab 0 1 0 "the LAN lab did not come up"
    fi
fi

if [ $full -eq 1 ]; then
    [ ${#extra_tests[@]} -eq 0 ] || wine_used=1
    for script in "${extra_tests[@]}"; do
        name=${script%.sh}
        step "$name"
        log=$results/$(basename "$name").log
        in_lab env "${wine_env[@]}" BRIXLE_BUILD_ROOT="$repo/build" BRIXLE_RESULTS_DIR="$results" \
            timeout --foreground -k 10 "$suite_timeout" bash "$repo/$script" >"$log" 2>&1 9>&-
        rc=$?
        stop_if_interrupted "$rc"
        tail -n 1 "$log"
        add_script_result "$name" "$rc" "$log"
    done
    stop_prefix_wineserver
fi

total_p=0 total_f=0 total_s=0
echo
echo "== summary"
for i in "${!names[@]}"; do
    printf '%-28s %4d passed, %d failed, %d skipped%s\n' "${names[$i]}" "${passes[$i]}" \
        "${fails[$i]}" "${skips[$i]}" "${notes[$i]:+  (${notes[$i]})}"
    total_p=$((total_p + passes[i])) total_f=$((total_f + fails[i]))
    total_s=$((total_s + skips[i]))
done
echo "$total_p passed, $total_f failed, $total_s skipped"
[ $total_f -eq 0 ] && [ ${#names[@]} -gt 0 ]
