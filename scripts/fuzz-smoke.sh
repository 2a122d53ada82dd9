#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each briefly from its seed corpus.
# FUZZ_SECONDS sets how long each target runs (default 10).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-10}
cmake --preset fuzz >/dev/null
targets=(reply_parser guid image_set descriptors power_script)
cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
status=0
for target in "${targets[@]}"; do
    new_units=$(mktemp -d)
    log=$(mktemp)
    # New inputs go to a scratch folder: the seed corpus in the repository stays as it is.
    if build/fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="build/fuzz/crash-$target-" "$new_units" "fuzz/corpus/$target" >"$log" 2>&1; then
        runs=$(grep -o 'number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$')
        echo "fuzz $target: $runs executions, no crash"
    else
        echo "fuzz $target: FAILED" >&2
        tail -n 30 "$log" >&2
        status=1
    fi
    rm -rf "$new_units" "$log"
done
exit $status
