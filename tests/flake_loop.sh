#!/bin/sh
# tests/flake_loop.sh - runs the whole ctest suite of a build tree several times in a row,
# two tests at a time, beside a CPU hog of one busy loop per core, and prints how many
# runs failed and which tests failed in each: the check that no test depends on timing.
#
# Usage: tests/flake_loop.sh [BUILD_DIR [RUNS]]        (defaults: build 20)
# FLAKE_CTEST_ARGS adds ctest arguments, e.g. `-L service` for the service's tests only.
# FLAKE_RUN_TIMEOUT bounds each run in seconds (default 1800); the logs of the runs are
# kept in BUILD_DIR/flake/. Exits 0 only when every run passed. Each run is what
# `make test` runs: every test but the valgrind ones (label memcheck, `make memcheck`).
# ctest runs here without a preset, so for a sanitizer tree export the *SAN_OPTIONS of
# its test preset first.
set -u

build=${1:-build}
runs=${2:-20}
run_timeout=${FLAKE_RUN_TIMEOUT:-1800}

case $runs in '' | *[!0-9]*) echo "flake_loop: RUNS must be a number: $runs" >&2; exit 2 ;; esac
if [ ! -f "$build/CTestTestfile.cmake" ]; then
    echo "flake_loop: $build is not a configured build tree with tests" >&2
    exit 2
fi
logs=$build/flake
mkdir -p "$logs"
: >"$logs/failed.txt"

# The hog: one busy loop per core, each ending by itself once every run could have had its
# full time, and stopped by its PID as soon as the runs are over.
hogs=""
stop_hogs() {
    for pid in $hogs; do kill "$pid" 2>/dev/null; done
    for pid in $hogs; do wait "$pid" 2>/dev/null; done
    hogs=""
}
trap 'stop_hogs' EXIT
trap 'exit 130' INT TERM
lifetime=$((runs * (run_timeout + 60) + 60))
cores=$(nproc)
i=0
while [ "$i" -lt "$cores" ]; do
    timeout "$lifetime" sh -c 'while :; do :; done' &
    hogs="$hogs $!"
    i=$((i + 1))
done
echo "flake_loop: $runs runs of the suite in $build, -j 2, beside $cores busy loops"

failed_runs=0
run=1
while [ "$run" -le "$runs" ]; do
    start=$(date +%s)
    # timeout runs ctest in a process group of its own and, past the limit, ends the
    # whole group: the tests and the services they started.
    timeout --kill-after=30 "$run_timeout" \
        ctest --test-dir "$build" -j 2 -LE memcheck ${FLAKE_CTEST_ARGS:-} --output-on-failure \
        >"$logs/run-$run.log" 2>&1
    status=$?
    seconds=$(($(date +%s) - start))
    if [ "$status" -eq 0 ]; then
        echo "run $run/$runs: passed ($seconds s)"
    else
        failed_runs=$((failed_runs + 1))
        if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
            echo "run $run/$runs: TIMED OUT after $seconds s (limit $run_timeout s)"
        else
            echo "run $run/$runs: FAILED ($seconds s, ctest status $status)"
        fi
        # From ctest's own lines: each test that ended without passing or being skipped,
        # and each that had started when a run was cut short.
        awk '$1 == "Start" { n = $2; sub(":", "", n); running[n] = $3; next }
            {
                for (i = 1; i < NF; i++) {
                    if ($i != "Test" || $(i + 1) !~ /^#[0-9]+:$/) continue
                    n = substr($(i + 1), 2); sub(":", "", n); delete running[n]
                    if ($0 !~ /[ *](Passed|Skipped) +[0-9.]+ sec/) print "    failed: " $(i + 2)
                    break
                }
            }
            END { for (n in running) print "    cut short: " running[n] }' "$logs/run-$run.log" |
            tee -a "$logs/failed.txt"
        echo "    log: $logs/run-$run.log"
    fi
    run=$((run + 1))
done

stop_hogs
echo "flake_loop: $failed_runs of $runs runs failed"
if [ -s "$logs/failed.txt" ]; then
    echo "flake_loop: runs each test failed in:"
    sed 's/^ *//' "$logs/failed.txt" | sort | uniq -c | sort -rn
fi
[ "$failed_runs" -eq 0 ]
