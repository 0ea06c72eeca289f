#!/usr/bin/env bash
# The benchmark report (bench/LabReport.cpp): builds the benches natively and for Windows, makes a
# lab of its own and runs the report there in a lab session, which proves the Wine prefix's
# server to be in the lab before anything sweeps. Root only: lab namespaces, raw sockets.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "bench-report: needs root (lab namespaces, raw sockets)" >&2; exit 1; }
"$repo/scripts/install-deps.sh"
cd "$repo"

build() {
    local preset=$1
    shift
    echo "building $* ($preset)"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target "$@" >/dev/null
}
build linux brixle_lab_report brixle_sweep_bench brixle_hitlist_bench brixle_lab_responder \
    brixle_lab_noise
build mingw-i686 brixle_sweep_bench brixle_hitlist_bench brixle100 brixle100_prepared \
    brixle_window_probe brixle_app_driver
build mingw-x86_64 brixle_sweep_bench brixle_hitlist_bench brixle100 brixle100_prepared \
    brixle_window_probe brixle_app_driver

# A lab of the report's own beside any test run's; its Wine prefix stays for the next report.
env=build/bench-lab/lab.env
trap 'scripts/lab.sh down "$env" >/dev/null; rm -f build/bench-lab/lab-*' EXIT
scripts/lab.sh up "$env" >/dev/null
scripts/lab.sh session "$env" -- build/linux/bench/brixle_lab_report
scripts/lab.sh session "$env" --display --designed-font -- bench/close-to-exit.sh
scripts/lab.sh session "$env" --display --designed-font -- bench/list-fill.sh
