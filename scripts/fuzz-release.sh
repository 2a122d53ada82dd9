#!/usr/bin/env bash
# The fuzzing run before a release: builds the fuzz preset (clang, libFuzzer,
# ASan, UBSan) and runs every target that fuzz/CMakeLists.txt lists in
# OMBRIX_FUZZ_TARGETS, one after the other.
#
# Each target runs FUZZ_RUNS inputs (default 10,000,000). The whole-worker
# target, worker, runs until FUZZ_WORKER_SECONDS have passed (default 3600)
# or it has run FUZZ_RUNS inputs, whichever comes first. FUZZ_ONLY, a
# space-separated list of listed targets, runs just those.
#
# New inputs that add coverage are merged into fuzz/corpus/<target>/;
# FUZZ_CORPUS_ROOT names another folder instead of fuzz/corpus, for a trial
# run that leaves the repository's corpora as they are. Crash, leak, timeout
# and out-of-memory inputs go to build/fuzz/findings/<target>/, each target's
# full libFuzzer output to build/fuzz/logs/<target>.log.
# The exit status is non-zero when any target found anything, or when a run
# or a merge did not complete.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${FUZZ_RUNS:-10000000}
worker_seconds=${FUZZ_WORKER_SECONDS:-3600}
corpus_root=${FUZZ_CORPUS_ROOT:-fuzz/corpus}
for value in "$runs" "$worker_seconds"; do
    if [[ ! $value =~ ^[1-9][0-9]*$ ]]; then
        echo "fuzz-release: FUZZ_RUNS and FUZZ_WORKER_SECONDS must be positive whole numbers" >&2
        exit 2
    fi
done

# The names in set(OMBRIX_FUZZ_TARGETS ...) and list(APPEND OMBRIX_FUZZ_TARGETS
# ...), over as many lines as they take, comments left out.
listed_fuzz_targets() {
    sed -e 's/#.*//' fuzz/CMakeLists.txt | tr '\n' ' ' |
        grep -oE '(set|list)[[:space:]]*\([[:space:]]*(APPEND[[:space:]]+)?OMBRIX_FUZZ_TARGETS[[:space:]][^)]*\)' |
        sed -E 's/^[^(]*\([[:space:]]*(APPEND[[:space:]]+)?OMBRIX_FUZZ_TARGETS//; s/\)$//' |
        tr -s ' \t' '\n' | sed '/^$/d'
}

mapfile -t targets < <(listed_fuzz_targets)
if ((${#targets[@]} == 0)); then
    echo "fuzz-release: no targets found in OMBRIX_FUZZ_TARGETS of fuzz/CMakeLists.txt" >&2
    exit 2
fi
if [[ -n ${FUZZ_ONLY:-} ]]; then
    for wanted in $FUZZ_ONLY; do
        if [[ " ${targets[*]} " != *" $wanted "* ]]; then
            echo "fuzz-release: FUZZ_ONLY names $wanted, which OMBRIX_FUZZ_TARGETS does not list" >&2
            exit 2
        fi
    done
    read -r -a targets <<<"$FUZZ_ONLY"
fi

echo "== build (fuzz preset)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j1

mkdir -p build/fuzz/logs build/fuzz/findings
status=0
summary=()

for target in "${targets[@]}"; do
    binary=build/fuzz/fuzz/fuzz_$target
    corpus=$corpus_root/$target
    findings=build/fuzz/findings/$target
    log=build/fuzz/logs/$target.log
    merge_log=build/fuzz/logs/$target.merge.log
    new_units=build/fuzz/new-units/$target
    if [[ ! -x $binary ]]; then
        echo "fuzz-release: $binary was not built" >&2
        summary+=("$target: NOT BUILT")
        status=1
        continue
    fi
    mkdir -p "$corpus" "$findings"
    rm -rf "$new_units"
    mkdir -p "$new_units"

    limits=(-runs="$runs")
    if [[ $target == worker ]]; then
        # At a few inputs a second libFuzzer would take hours to let inputs
        # grow past their seeds' 15 bytes: inputs of up to 128 bytes from the
        # start, so that a run changes dozens of transfers.
        limits+=(-max_total_time="$worker_seconds" -max_len=128 -len_control=0)
    fi

    echo "== $target: ${limits[*]}"
    marker=$(mktemp)
    started=$EPOCHREALTIME
    # New inputs go to a scratch folder first; the corpus folder is read as
    # seeds and only receives what the merge below finds worth keeping.
    fuzz_status=0
    "$binary" "${limits[@]}" -print_final_stats=1 -artifact_prefix="$findings/" \
        "$new_units" "$corpus" >"$log" 2>&1 || fuzz_status=$?
    ended=$EPOCHREALTIME
    wall=$(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.1f", b - a }')

    executed=$(grep -oE '^stat::number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+$' |
        tail -n 1 || true)
    if [[ -z $executed ]]; then
        # No final stats (the process died hard): the last status line's count.
        executed=$(grep -oE '^#[0-9]+' "$log" | tail -n 1 | tr -d '#' || true)
    fi
    status_line=$(grep -E '^#[0-9]+[[:space:]].*cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)
    cov=$(grep -oE 'cov: [0-9]+' <<<"$status_line" | grep -oE '[0-9]+' || true)
    ft=$(grep -oE 'ft: [0-9]+' <<<"$status_line" | grep -oE '[0-9]+' || true)

    merged=yes
    if ! "$binary" -merge=1 -artifact_prefix="$findings/" "$corpus" "$new_units" \
        >"$merge_log" 2>&1; then
        merged="FAILED (see $merge_log)"
        status=1
    fi
    rm -rf "$new_units"

    new_findings=$(find "$findings" -type f -newer "$marker" \
        \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | sort)
    rm -f "$marker"
    corpus_files=$(find "$corpus" -type f | wc -l)
    corpus_bytes=$(find "$corpus" -type f -printf '%s\n' | awk '{ total += $1 } END { print total + 0 }')

    if ((fuzz_status != 0)) || [[ -n $new_findings ]]; then
        finding="YES (libFuzzer exit $fuzz_status)"
        status=1
    else
        finding=no
    fi

    echo "   inputs executed: ${executed:-unknown}"
    echo "   wall time:       ${wall} s"
    echo "   coverage:        cov ${cov:-?} ft ${ft:-?}"
    echo "   corpus:          $corpus_files files, $corpus_bytes bytes in $corpus (merge: $merged)"
    echo "   finding:         $finding"
    if [[ $finding != no ]]; then
        while IFS= read -r file; do
            [[ -n $file ]] && echo "     $file"
        done <<<"$new_findings"
        grep -m 3 -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$log" | sed 's/^/     /' || true
        echo "     full output: $log"
    fi
    summary+=("$target: ${executed:-?} inputs, ${wall} s, cov ${cov:-?} ft ${ft:-?}, corpus $corpus_files, finding $finding")
done

echo "== summary"
printf '%s\n' "${summary[@]}"
if ((status != 0)); then
    echo "fuzz-release: FAILED" >&2
fi
exit $status
