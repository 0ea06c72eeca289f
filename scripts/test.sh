#!/usr/bin/env bash
# The project's test command: installs what is missing (as root), configures and builds every
# preset, and runs every test with ctest. The plain native build hosts the run: the lab and the
# Wine server are its fixtures, and it takes in the tests of every other preset built.
set -uo pipefail

usage() {
    cat <<'EOF'
usage: scripts/test.sh [--quick] [--preset P]... [-- CTEST_ARGS...]
  --quick      only the native build and its tests
  --preset P   build P (and the native build that hosts the run) and run only P's tests;
               repeatable: linux linux-asan linux-tsan mingw-i686 mingw-x86_64 linux-fuzz
  CTEST_ARGS   passed to ctest, e.g. -L faults, -R Sweep, --repeat until-fail:3
Runs as root: it installs what is missing and runs the tests in network namespaces.
EOF
}

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
all_presets=(linux linux-asan linux-tsan mingw-i686 mingw-x86_64 linux-fuzz)
presets=() labels=() ctest_args=()
given=("$@")
while [ $# -gt 0 ]; do
    case $1 in
    --quick) presets=(linux) labels=(linux) ;;
    --preset)
        [[ " ${all_presets[*]} " == *" ${2:-none} "* ]] || { usage >&2; exit 2; }
        presets+=("$2") labels+=("$2")
        shift
        ;;
    --) shift; ctest_args=("$@"); break ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
    shift
done
[ ${#presets[@]} -gt 0 ] || presets=("${all_presets[@]}")
[[ " ${presets[*]} " == *" linux "* ]] || presets=(linux "${presets[@]}")

# As anyone else nearly every test would skip, and the run would read as passed.
if [ "$(id -u)" -ne 0 ]; then
    echo "test: runs as root: it installs what is missing (apt-get) and runs the tests in network namespaces of its own (ip netns). As root:
    sudo $repo/scripts/test.sh${given[*]:+ ${given[*]}}" >&2
    exit 1
fi
cd "$repo" || exit 1
bash scripts/install-deps.sh || { echo "test: installing the dependencies failed" >&2; exit 1; }

mkdir -p build
for preset in "${presets[@]}"; do
    echo "== build $preset"
    log=build/build-$preset.log
    start=$SECONDS
    if cmake --preset "$preset" >"$log" 2>&1 && cmake --build --preset "$preset" >>"$log" 2>&1; then
        echo "built in $((SECONDS - start)) s"
    else
        grep -E 'error|Error|FAILED' "$log" | head -30
        echo "test: the build of $preset failed; see $log" >&2
        exit 1
    fi
done

# One run at a time in a checkout: runs share the builds, the lab record and the Wine prefix.
exec 9>build/.test-run.lock
flock -w 7200 9 || { echo "test: another run holds build/.test-run.lock" >&2; exit 1; }
echo "== tests"
filter=()
[ ${#labels[@]} -eq 0 ] || filter=(-L "^($(IFS='|'; echo "${labels[*]}"))$")
log=build/ctest.log
ctest --preset all "${filter[@]}" "${ctest_args[@]}" 9>&- | tee "$log"
status=${PIPESTATUS[0]}
# A skipped case is a program nobody ran: where the 32-bit one cannot run, say how much of it.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    unrun=$(grep -cE ' - (mingw-i686/[^ ]*|all/[^ ]*/(i686|x86)) \(Skipped\)' "$log")
    echo "test: $unrun cases of the 32-bit program did not run: this machine runs no 32-bit code" \
        "(its kernel has IA-32 emulation off), so Wine cannot start a 32-bit program here;" \
        "only the checks of the built 32-bit files ran"
fi
exit "$status"
