# shellcheck shell=bash
# Counting checks for the lab's and the release's test scripts: each check prints "ok - ..." or
# "not ok - ..."; finish prints "N passed, M failed" and exits non-zero on any failure.

passed=0 failed=0

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
    echo "$passed passed, $failed failed"
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
