#!/usr/bin/env bash
# Runs every fuzz target of a build for a bounded time on its seed corpus and reports executions.
#   fuzz/run.sh <build dir> [seconds per target] [targets at a time]
# New inputs go to <build dir>/corpus/<target>/, crashes to <build dir>/artifacts/; the seeds in
# fuzz/corpus/ are only read. Ends non-zero when any target found a crash, leak, hang or report.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: fuzz/run.sh <build dir> [seconds] [targets at a time]}
seconds=${2:-20}
jobs=${3:-2}
# Absolute paths: some targets work inside a private folder of their own.
build=$(cd "$build" && pwd)
seeds=$(pwd)/fuzz/corpus

passed=0
failed=0
shopt -s nullglob
targets=("$build"/bin/*_fuzz)
if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz targets in $build/bin" >&2
    exit 1
fi
mkdir -p "$build/artifacts"
rm -f "$build"/fuzz-*.status

# One target's run; its exit status is kept next to its log.
fuzz_one() {
    local target=$1 name
    name=$(basename "$target" _fuzz)
    mkdir -p "$build/corpus/$name"
    # -handle_usr2=0: the session's dispatcher is woken with SIGUSR2.
    "$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=8192 \
        -print_final_stats=1 -handle_usr2=0 -artifact_prefix="$build/artifacts/$name-" \
        "$build/corpus/$name" "$seeds/$name" >"$build/fuzz-$name.log" 2>&1
    echo $? >"$build/fuzz-$name.status"
}

# Up to $jobs targets run side by side (one per core), each still for the full time.
running=0
for target in "${targets[@]}"; do
    if [ $running -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
    fuzz_one "$target" &
    running=$((running + 1))
done
wait

for target in "${targets[@]}"; do
    name=$(basename "$target" _fuzz)
    log="$build/fuzz-$name.log"
    status=$(cat "$build/fuzz-$name.status" 2>/dev/null || echo 1)
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    if [ "$status" -eq 0 ]; then
        passed=$((passed + 1))
        printf '%-12s ok      %10s executions  %8s exec/s\n' "$name" "${runs:-?}" "${rate:-?}"
    else
        failed=$((failed + 1))
        printf '%-12s FAILED  (status %d, log %s)\n' "$name" "$status" "$log"
        grep -E -A40 'ERROR|runtime error|WARNING|deadly signal|timeout' "$log" | head -80
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
