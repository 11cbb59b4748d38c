#!/bin/sh
# run.sh - runs each libFuzzer target of a fuzz build for a while, growing its corpus in
# BUILD/corpus/NAME from the checked-in seeds.   tests/fuzz/run.sh BUILD SECONDS NAME...
# A crash input lands in BUILD/artifacts/ and belongs in tests/fuzz/corpus/NAME/.
set -eu
build=$1
seconds=$2
shift 2
here=$(dirname "$0")
mkdir -p "$build/artifacts"
for target in "$@"; do
    mkdir -p "$build/corpus/$target"
    log=$build/fuzz-$target.log
    echo "fuzzing $target for $seconds s (log: $log)"
    if "$build/tests/fuzz/qel_fuzz_$target" -max_total_time="$seconds" -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$build/corpus/$target" "$here/corpus/$target" >"$log" 2>&1; then
        grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' "$log"
    else
        tail -n 60 "$log"
        echo "fuzzer $target failed; input saved in $build/artifacts/"
        exit 1
    fi
done
