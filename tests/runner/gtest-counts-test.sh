#!/usr/bin/env bash
# The runner's totals come from scripts/gtest-counts.awk; these reports are shaped like
# GoogleTest's own (self-closing passes, failures with CDATA bodies, skips with a message).
set -uo pipefail

counts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/gtest-counts.awk
passed=0
failed=0

expect() {
    local what=$1 want=$2 got
    got=$(awk -f "$counts")
    if [ "$got" = "$want" ]; then
        echo "ok   $what"
        passed=$((passed + 1))
    else
        echo "FAIL $what: got '$got', want '$want'"
        failed=$((failed + 1))
    fi
}

expect "all passing" "3 0 0" <<'EOF_XML'
<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="3" failures="0" disabled="0" errors="0" time="0.1" name="AllTests">
  <testsuite name="A" tests="2" failures="0" disabled="0" skipped="0" errors="0" time="0">
    <testcase name="One" file="a.cpp" line="1" status="run" result="completed" time="0" classname="A" />
    <testcase name="Two" file="a.cpp" line="9" status="run" result="completed" time="0" classname="A" />
  </testsuite>
  <testsuite name="B" tests="1" failures="0" disabled="0" skipped="0" errors="0" time="0">
    <testcase name="Three" file="b.cpp" line="1" status="run" result="completed" time="0" classname="B" />
  </testsuite>
</testsuites>
EOF_XML

expect "a test with two failures counts once; the next one still passes" "2 1 0" <<'EOF_XML'
<testsuites tests="3" failures="1" disabled="0" errors="0" time="0.1" name="AllTests">
  <testsuite name="A" tests="3" failures="1" disabled="0" skipped="0" errors="0" time="0">
    <testcase name="Before" status="run" result="completed" time="0" classname="A" />
    <testcase name="Broken" status="run" result="completed" time="0" classname="A">
      <failure message="a.cpp:5&#x0A;Expected equality" type=""><![CDATA[a.cpp:5
Expected equality of these values:
  1
  2]]></failure>
      <failure message="a.cpp:6&#x0A;Value of: x" type=""><![CDATA[a.cpp:6
Value of: x]]></failure>
    </testcase>
    <testcase name="After" status="run" result="completed" time="0" classname="A" />
  </testsuite>
</testsuites>
EOF_XML

expect "skipped tests are neither passed nor failed" "1 0 2" <<'EOF_XML'
<testsuites tests="3" failures="0" disabled="0" errors="0" time="0.1" name="AllTests">
  <testsuite name="Lab" tests="3" failures="0" disabled="0" skipped="2" errors="0" time="0">
    <testcase name="Sweep" status="run" result="skipped" time="0" classname="Lab">
      <skipped message="a.cpp:3&#x0A;no lab (BRIXLE_LAB unset)"><![CDATA[a.cpp:3
no lab (BRIXLE_LAB unset)]]></skipped>
    </testcase>
    <testcase name="Late" status="run" result="skipped" time="0" classname="Lab">
      <skipped message="no lab"><![CDATA[no lab]]></skipped>
    </testcase>
    <testcase name="Parse" status="run" result="completed" time="0" classname="Lab" />
  </testsuite>
</testsuites>
EOF_XML

expect "a failure in a suite's setup, outside any test, is a failure" "1 1 0" <<'EOF_XML'
<testsuites tests="1" failures="1" disabled="0" errors="0" time="0.1" name="AllTests">
  <testsuite name="A" tests="1" failures="0" disabled="0" skipped="0" errors="0" time="0">
    <testcase name="One" status="run" result="completed" time="0" classname="A" />
  </testsuite>
  <testsuite name="B" tests="0" failures="1" disabled="0" skipped="0" errors="0" time="0">
    <failure message="b.cpp:2&#x0A;SetUpTestSuite failed" type=""><![CDATA[b.cpp:2]]></failure>
  </testsuite>
</testsuites>
EOF_XML

expect "an empty report counts nothing" "0 0 0" </dev/null

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
