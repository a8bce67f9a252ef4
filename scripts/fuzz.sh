#!/usr/bin/env bash
# Runs every libFuzzer target of a TARLIM_FUZZ build for a bounded time, one after the
# other, and prints executions, coverage and findings per target.
#   scripts/fuzz.sh BUILD_DIR            (make fuzz calls it)
# FUZZ_SECONDS (default 60) bounds each run; FUZZ_TARGETS (default: all six) picks
# targets by input name, e.g. FUZZ_TARGETS="model texture".
# New inputs go to BUILD_DIR/fuzz-corpus/<input> (the committed seeds in fuzz/corpus stay
# as they are); crashing, leaking or hanging inputs to BUILD_DIR/fuzz-findings/<input>/,
# the full log to BUILD_DIR/fuzz-logs/<input>.log. Exit status 1 when anything was found.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: scripts/fuzz.sh BUILD_DIR}
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-config camera pattern model texture frame}

found=0
summary=()
for input in $targets; do
    binary=$build/fuzz/fuzz_$input
    if [[ ! -x $binary ]]; then
        echo "fuzz: $binary is missing (build the 'fuzzers' target with TARLIM_FUZZ=ON)" >&2
        exit 1
    fi
    corpus=$build/fuzz-corpus/$input
    findings=$build/fuzz-findings/$input
    log=$build/fuzz-logs/$input.log
    mkdir -p "$corpus" "$findings" "$(dirname "$log")"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
             -artifact_prefix="$findings/")
    [[ -f fuzz/dict/$input.dict ]] && options+=(-dict="fuzz/dict/$input.dict")
    # Models and frames need room for several chunks or a whole small frame.
    [[ $input == model || $input == frame ]] && options+=(-max_len=16384)
    echo "fuzz: $input for $seconds s"
    status=0
    "$binary" "${options[@]}" "$corpus" "fuzz/corpus/$input" >"$log" 2>&1 || status=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    # Edges instrumented in the target and the libraries it reaches.
    edges=$(sed -n 's/^INFO: Loaded 1 modules *(\([0-9]*\) inline.*/\1/p' "$log" | head -1)
    features=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    artifacts=$(find "$findings" -type f | wc -l)
    if [[ $status -ne 0 || $artifacts -ne 0 ]]; then found=1; fi
    summary+=("$(printf '%-8s %12s executions  %6s of %6s edges  %7s features  %5s corpus  %s findings (status %s)' \
        "$input" "${executions:-?}" "${coverage:-?}" "${edges:-?}" "${features:-?}" \
        "$(find "$corpus" -type f | wc -l)" "$artifacts" "$status")")
done

echo
printf '%s\n' "${summary[@]}"
if [[ $found -ne 0 ]]; then
    echo "fuzz: findings in $build/fuzz-findings/ (logs in $build/fuzz-logs/)" >&2
    exit 1
fi
