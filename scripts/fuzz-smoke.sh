#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each briefly from its seed corpus.
# FUZZ_SECONDS sets how long each target runs (default 10).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-10}
cmake --preset fuzz >/dev/null
# The targets fuzz/CMakeLists.txt lists in OMBRIX_FUZZ_TARGETS (set or
# list(APPEND), over as many lines as they take, comments left out); the
# release run in fuzz-release.sh reads the same list.
mapfile -t targets < <(sed -e 's/#.*//' fuzz/CMakeLists.txt | tr '\n' ' ' |
    grep -oE '(set|list)[[:space:]]*\([[:space:]]*(APPEND[[:space:]]+)?OMBRIX_FUZZ_TARGETS[[:space:]][^)]*\)' |
    sed -E 's/^[^(]*\([[:space:]]*(APPEND[[:space:]]+)?OMBRIX_FUZZ_TARGETS//; s/\)$//' |
    tr -s ' \t' '\n' | sed '/^$/d')
if ((${#targets[@]} == 0)); then
    echo "fuzz-smoke: no targets found in OMBRIX_FUZZ_TARGETS of fuzz/CMakeLists.txt" >&2
    exit 2
fi
cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
status=0
for target in "${targets[@]}"; do
    new_units=$(mktemp -d)
    log=$(mktemp)
    # New inputs go to a scratch folder: the seed corpus in the repository stays as it is.
    # A target listed before it has seeds starts from nothing.
    seeds=()
    if [[ -d fuzz/corpus/$target ]]; then
        seeds=("fuzz/corpus/$target")
    fi
    if "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="build/fuzz/crash-$target-" "$new_units" "${seeds[@]}" >"$log" 2>&1; then
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
