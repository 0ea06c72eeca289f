#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a bounded time from its
# committed seed corpus. A crash, leak or hang fails the run; its input is kept in build/fuzz.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${BRIXLE_FUZZ_SECONDS:-60}
work=$repo/build/fuzz

cmake --preset linux-fuzz -S "$repo" >/dev/null || exit 1
cmake --build --preset linux-fuzz >/dev/null || { echo "fuzz: build failed" >&2; exit 1; }

passed=0
failed=0
run() {
    local target=$1 seeds=$2 max_len=$3
    local corpus=$work/$target/corpus
    mkdir -p "$corpus" "$work/$target/artifacts"
    cp -n "$repo/tests/fuzz/corpus/$seeds/"* "$corpus/" 2>/dev/null
    if (cd "$work/$target" && "$repo/build/linux-fuzz/tests/fuzz/$target" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
        -artifact_prefix="$work/$target/artifacts/" -print_final_stats=1 "$corpus" \
        >"$work/$target/log.txt" 2>&1); then
        echo "fuzz: $target ran ${seconds}s: $(grep -o 'Done [0-9]* runs' "$work/$target/log.txt")"
        passed=$((passed + 1))
    else
        echo "fuzz: $target FAILED; see $work/$target/log.txt and artifacts/"
        grep -E 'ERROR|SUMMARY' "$work/$target/log.txt" | head -5
        failed=$((failed + 1))
    fi
}

run FuzzAddressParser address 40
run FuzzWaveReader wave 4096

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
