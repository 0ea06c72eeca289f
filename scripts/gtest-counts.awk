# Prints "passed failed skipped" for a GoogleTest XML report. A test with several failures counts
# once; a failure outside any test (a suite's setup, say) counts as one failed test of its own.
function close_case() {
    if (open && failing)
        f++
    open = 0
    failing = 0
}
/<testcase / {
    close_case()
    n++
    open = 1
    if ($0 ~ /result="skipped"/) {
        s++
        open = 0
    }
}
/<failure / {
    if (open)
        failing = 1
    else if (!outside++) {
        n++
        f++
    }
}
/<\/testsuite>/ { close_case() }
END {
    close_case()
    print n - f - s, f + 0, s + 0
}
