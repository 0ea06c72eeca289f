# shellcheck shell=bash
# Counting checks for the test scripts: each check prints "ok - ..." or "not ok - ...";
# finish prints "N passed, M failed" and exits non-zero on any failure. Expects $work (a
# scratch folder) and, for drive, $driver to be set by the sourcing script.

passed=0 failed=0 skipped=0

# Counts the "ok" and "not ok" lines of what it runs, and shows them. Through a file: the
# wineserver keeps the standard handles of every Wine program, so a pipe would never end.
# A step that fails without a "not ok" of its own (it crashed, say) counts as one failure.
# shellcheck disable=SC2154 # work and driver come from the sourcing script
counted() {
    local line out=$work/step.out rc own=0
    "$@" >"$out" 2>&1
    rc=$?
    while IFS= read -r line; do
        line=${line%$'\r'}
        echo "$line"
        case $line in
        "ok - "*) passed=$((passed + 1)) ;;
        "not ok - "*) failed=$((failed + 1)) own=$((own + 1)) ;;
        esac
    done <"$out"
    if [ "$rc" -ne 0 ] && [ "$own" -eq 0 ]; then
        local word step=""
        for word in "${@:1:3}"; do step+="${word##*/} "; done
        echo "not ok - ${step}ended with status $rc and reported no failure"
        failed=$((failed + 1))
    fi
}
# shellcheck disable=SC2154
drive() { counted wine "$driver" "$@"; }
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok - $what"
        passed=$((passed + 1))
    else
        echo "not ok - $what"
        failed=$((failed + 1))
    fi
}
finish() {
    if [ "$skipped" -gt 0 ]; then
        echo "$passed passed, $failed failed, $skipped skipped"
    else
        echo "$passed passed, $failed failed"
    fi
    [ "$failed" -eq 0 ]
    exit
}
# Nothing to run here: ctest counts exit code 77 as a skip.
skip() {
    echo "skipped: needs $*"
    exit 77
}
abort() {
    echo "not ok - $*"
    failed=$((failed + 1))
    finish
}

# The file a save must have written: the hosts in address order, each line ended by CR LF.
expect_file() {
    local file=$1
    shift
    if [ $# -gt 0 ]; then
        printf '%s\r\n' "$@" >"$work/expected"
    else
        : >"$work/expected"
    fi
    cmp -s "$file" "$work/expected"
}

