#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for the given number of seconds,
# starting from the seed corpus in fuzz/corpus/TARGET (kept as it is; what
# the fuzzer finds goes to BUILD/corpus/TARGET), and prints a table of
# inputs and inputs per second. A crash or a broken property stops with
# status 1 and leaves the input in BUILD/artifacts/.
#   scripts/run-fuzz.sh BUILD SECONDS [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?fuzz build directory}
seconds=${2:?seconds per target}
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(session_events relay_requests key_test_commands settings text_helpers dtmf ua_events)
fi

mkdir -p "$build/artifacts"
rows=()
failed=0
for t in "${targets[@]}"; do
    mkdir -p "$build/corpus/$t"
    log="$build/artifacts/$t.log"
    echo "fuzzing $t for ${seconds} s"
    status=0
    "$build/bin/${t}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    corpus=$(find "$build/corpus/$t" "fuzz/corpus/$t" -type f | wc -l)
    result=ok
    if [ "$status" -ne 0 ]; then
        result="FAILED (see $log)"
        failed=1
        grep -E 'ERROR|property broken|SUMMARY' "$log" | head -5 || true
    fi
    rows+=("$(printf '%-20s %10s %12s %8s  %s' "$t" "${runs:-?}" "${rate:-?}" "$corpus" "$result")")
done

printf '\n%-20s %10s %12s %8s  %s\n' target inputs "inputs/s" corpus result
printf '%s\n' "${rows[@]}"
echo "reproduce: make fuzz FUZZ_SECONDS=$seconds"
exit $failed
