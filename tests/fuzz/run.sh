#!/usr/bin/env bash
# Runs every fuzz harness of a QUILLON_FUZZ build for a bounded time, from the seeds make_seeds.py
# writes plus the corpus earlier runs kept.
#
#   tests/fuzz/run.sh BUILD-DIR [SECONDS-PER-HARNESS]     (default 12)
#
# Prints, per harness, its last libFuzzer status line (executions, coverage) and PASS or FAIL (a crash,
# leak, sanitizer report or time-out); ends with "N passed, N failed", one count per harness.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:?usage: run.sh BUILD-DIR [SECONDS]}
seconds=${2:-12}
seeds=$build/fuzz-seeds
python3 "$here/make_seeds.py" "$seeds" || { echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
for harness in "$build"/fuzz_*; do
    [[ -x $harness && -f $harness ]] || continue
    name=$(basename "$harness")
    corpus=$build/fuzz-corpus/$name
    artifacts=$build/fuzz-artifacts/$name
    rm -rf "$artifacts"  # only this run's failing inputs are shown below
    mkdir -p "$corpus" "$artifacts" "$seeds/$name"
    log=$build/$name.log
    # The seeds in two processes, each seed twice in a row in each (tests/fuzz/FuzzRepeat.h): what one
    # input leaves behind must not change the next, and a new process must run an input as the last one
    # did, or what the fuzzer finds would not replay from its file.
    repeated=1
    for run in 1 2; do
        rm -f "$log.trace$run"
        QUILLON_FUZZ_REPEAT=1 QUILLON_FUZZ_TRACE=$log.trace$run ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64} \
            timeout -k 5 120 "$harness" -seed=1 -runs=0 -artifact_prefix="$artifacts/" "$seeds/$name" \
            >"$log.repeat" 2>&1 || { repeated=0; break; }
    done
    if ((repeated == 0)) || ! cmp -s "$log.trace1" "$log.trace2"; then
        failed=$((failed + 1))
        printf 'FAIL %-26s a seed ran differently the second time, or in a second process (or failed):\n' "$name"
        grep -E -A2 '^fuzz:|ERROR:|SUMMARY' "$log.repeat" | head -n 8
        ((repeated == 0)) || diff "$log.trace1" "$log.trace2" | head -n 8
        continue
    fi
    # -timeout: one input taking longer is a hang (inputs take milliseconds; the margin is for a
    # starved machine); the outer timeout guards the whole run.
    # A smaller quarantine keeps the KS harness's many WaveRT buffers from filling memory; use-after-free
    # is still caught for recent frees.
    ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64} \
        timeout -k 5 $((seconds + 60)) "$harness" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=8192 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$seeds/$name" >"$log" 2>&1
    status=$?
    summary=$(grep -E '^#[0-9]+\s+(DONE|pulse|INITED)' "$log" | tail -n 1)
    rate=$(grep -E '^stat::average_exec_per_sec' "$log" | awk '{print $2}')
    if ((status == 0)); then
        passed=$((passed + 1))
        printf 'PASS %-26s %s  exec/s %s\n' "$name" "$summary" "${rate:-?}"
    else
        failed=$((failed + 1))
        printf 'FAIL %-26s status %d; report in %s, input in %s\n' "$name" "$status" "$log" "$artifacts"
        grep -E 'ERROR:|runtime error|SUMMARY' "$log" | head -n 5
        # What CI keeps is this output: the report's stack and the input itself, so the failure can be
        # replayed from the log, and whether the input fails again when run alone.
        echo "---- end of $log"
        tail -n 40 "$log"
        for input in "$artifacts"/*; do
            [[ -f $input ]] || continue
            echo "---- $input ($(stat -c %s "$input") bytes, hex):"
            head -c 4096 "$input" | od -An -tx1 -v
            # Alone, with allocation and free stacks as deep as AddressSanitizer keeps them by default
            # (the harnesses keep fewer frames while they fuzz).
            if ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64}:malloc_context_size=30 \
                timeout -k 5 120 "$harness" -timeout=60 \
                "$input" >"$log.replay" 2>&1; then
                echo "---- run alone it passes (so it depends on timing or on what ran before it)"
            else
                echo "---- run alone it fails again:"
                grep -E 'ERROR:|runtime error|SUMMARY' "$log.replay" | head -n 5
            fi
        done
    fi
done
echo "$passed passed, $failed failed"
((failed == 0))
