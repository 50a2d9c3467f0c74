#!/usr/bin/env bash
# Builds everything and runs every test:
#   setup    scripts/install-deps.sh against a broken package source (tests/setup/install_deps_check.sh)
#   linux    optimised Linux build (asserts on), unit and scenario tests on the simulated machine, and
#            the default quillon-sim session run twice, compared byte for byte
#   asan     the same tests under AddressSanitizer and UndefinedBehaviorSanitizer (-O1), in shards of
#            one process each rather than a process per test
#   tsan     the same tests under ThreadSanitizer (-O1), then the quillon-sim session on the real clock
#            (suppressions: tests/tsan.supp, each with its reason)
#   soak     the soak and fault-injection runs of tests/soak in virtual time (quillon_soak, built in
#            build/linux, plus a sampled fault sweep built in build/asan); one pass or failure per run
#            (QUILLON_SOAK_SCALE scales the cycle counts, default 0.4 of the full counts; 1 runs them all;
#            QUILLON_SOAK_SEED replays a seed, QUILLON_SOAK_ASAN_RUNS sizes the sanitizer sample, default 40)
#   fuzz     the libFuzzer harnesses of tests/fuzz (clang-14, ASan and UBSan), each for a bounded time
#            (QUILLON_FUZZ_SECONDS per harness, default 6); one pass or failure per harness
#   windows  the Windows x64 cross build of both programs (mingw-w64)
#   wine     the checks in tests/wine/*.sh on the cross-built programs (resources, service under Wine)
#
#   bash scripts/test.sh [STAGE...]     (default: all stages, in that order)
#
# Build folders are build/<stage>. Ends with the line "N passed, N failed" (tests and checks of every
# stage; a build that fails counts as one failure) and a non-zero status on any failure.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
repo=$PWD
jobs=${QUILLON_JOBS:-2}

stages=("$@")
((${#stages[@]})) || stages=(setup linux asan tsan soak fuzz windows wine)
for stage in "${stages[@]}"; do
    case "$stage" in
        setup | linux | asan | tsan | soak | fuzz | windows | wine) ;;
        *) echo "unknown stage '$stage' (setup linux asan tsan soak fuzz windows wine)" >&2; exit 2 ;;
    esac
done

passed=0
failed=0
timings=()
windows_built=0

section() { printf '\n======== %s ========\n' "$*"; }

# timed NAME COMMAND...: runs the command and records how long it took.
timed() {
    local name=$1 start=$SECONDS status
    shift
    "$@"
    status=$?
    timings+=("$(printf '%-8s %4ds' "$name" $((SECONDS - start)))")
    return $status
}

# build DIR CMAKE-ARGS...: configure and build with Ninja (the targets in $targets, default all); one
# failure counted if either fails.
targets=()
build() {
    local dir=$1
    shift
    if cmake -S "$repo" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 && ninja -C "$dir" -j "$jobs" "${targets[@]}"; then
        return 0
    fi
    [[ -s "$dir.configure.log" ]] && tail -n 30 "$dir.configure.log"
    echo "BUILD FAILED: $dir"
    failed=$((failed + 1))
    return 1
}

# run_ctest DIR: runs the tests and adds ctest's counts to the totals.
run_ctest() {
    local dir=$1 log=$1.ctest.log total=0 failing=0
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure 2>&1 | tee "$log"
    local summary_line
    summary_line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [[ -n "$summary_line" ]]; then
        failing=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$summary_line")
        total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary_line")
        passed=$((passed + total - failing))
        failed=$((failed + failing))
    elif grep -q 'No tests were found' "$log"; then
        echo "(no tests in $dir)"
    else
        echo "ctest in $dir ended without a summary"
        failed=$((failed + 1))
    fi
}

# add_counts LOG: adds the last "N passed, N failed" line of LOG to the totals (one failure without it).
add_counts() {
    local counts
    counts=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$1" | tail -n 1)
    if [[ -n "$counts" ]]; then
        passed=$((passed + ${counts%% passed*}))
        counts=${counts#*, }
        failed=$((failed + ${counts%% failed}))
    else
        echo "$1 ends without its counts"
        failed=$((failed + 1))
    fi
}

# run_sharded DIR: the sanitizer stages' way of running the suites. Each test of ctest is a process of its
# own, and a sanitizer runtime takes a tenth to a fifth of a second to start: a third of the stage. Here
# quillon_tests runs as $jobs shards side by side (gtest sharding), then quillon_conformance, each in one
# process; a shard that crashes or hangs (a sanitizer report ends the process) counts as one failure.
run_sharded() {
    local dir=$1 shard logs=() pids=() statuses=() log i
    for ((shard = 0; shard < jobs; shard++)); do
        log=$dir.shard$shard.log
        logs+=("$log")
        GTEST_TOTAL_SHARDS=$jobs GTEST_SHARD_INDEX=$shard timeout -k 10 1500 "$dir/quillon_tests" >"$log" 2>&1 &
        pids+=($!)
    done
    for i in "${!pids[@]}"; do
        wait "${pids[$i]}"
        statuses[$i]=$?
    done
    log=$dir.conformance.log
    logs+=("$log")
    timeout -k 10 600 "$dir/quillon_conformance" >"$log" 2>&1
    statuses+=($?)
    for i in "${!logs[@]}"; do
        local ran ok bad
        log=${logs[$i]}
        ran=$(sed -nE 's/^\[==========\] ([0-9]+) tests? from .* ran\..*/\1/p' "$log" | tail -n 1)
        ok=$(sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?\./\1/p' "$log" | tail -n 1)
        bad=$(sed -nE 's/^\[  FAILED  \] ([0-9]+) tests?, listed below:/\1/p' "$log" | tail -n 1)
        if [[ -z $ran ]] || { ((statuses[i] != 0)) && [[ -z $bad ]]; } ||
            grep -qE '^(==[0-9]+==ERROR|WARNING: ThreadSanitizer|SUMMARY: [A-Za-z]+Sanitizer)' "$log"; then
            echo "FAIL  $log (status ${statuses[$i]}): the program ended early or a sanitizer reported"
            grep -E -A 40 '^(==[0-9]+==ERROR|WARNING: ThreadSanitizer)' "$log" | head -n 120
            tail -n 30 "$log"
            passed=$((passed + ${ok:-0}))
            failed=$((failed + 1))
        else
            echo "$log: $ran tests, ${ok:-0} passed, ${bad:-0} failed"
            grep -E '^\[  FAILED  \] [A-Za-z]' "$log" | sort -u
            ((${bad:-0} > 0)) && grep -E -B 5 -A 15 'Failure$' "$log" | head -n 200
            passed=$((passed + ${ok:-0}))
            failed=$((failed + ${bad:-0}))
        fi
    done
}

# same_session_twice DIR: the default quillon-sim session with a recording, run twice on the virtual clock
# in two folders; its output, every WAVE file and session.json must be the same bytes both times.
same_session_twice() {
    local dir=$1 run
    for run in 1 2; do
        rm -rf "$dir/same-$run" && mkdir -p "$dir/same-$run"
        (cd "$dir/same-$run" && "$repo/$dir/quillon-sim" --record rec >stdout.txt 2>&1) || break
    done
    if diff -r "$dir/same-1" "$dir/same-2" >/dev/null 2>&1 && [[ -s $dir/same-1/rec/session.json ]]; then
        echo "PASS  the default session twice: the same bytes ($(ls "$dir/same-1/rec" | wc -l) files and the timeline)"
        passed=$((passed + 1))
    else
        echo "FAIL  the default session twice differs:"
        diff -r "$dir/same-1" "$dir/same-2" 2>&1 | head -n 20
        failed=$((failed + 1))
    fi
}

linux_stage() {  # linux_stage NAME CMAKE-ARGS...
    local name=$1
    shift
    mkdir -p "build"
    if [[ $name == linux ]]; then
        build "build/$name" "$@" && run_ctest "build/$name" && same_session_twice "build/$name"
    else
        build "build/$name" "$@" && run_sharded "build/$name"
    fi
}

section "dependencies"
timed deps bash scripts/install-deps.sh "${stages[@]}" || { echo "installing dependencies failed"; echo "0 passed, 1 failed"; exit 1; }

for stage in "${stages[@]}"; do
    case "$stage" in
        setup)
            section "Set-up script against a broken package source"
            mkdir -p build
            setup_start=$SECONDS
            bash tests/setup/install_deps_check.sh 2>&1 | tee build/setup.log
            add_counts build/setup.log
            timings+=("$(printf '%-8s %4ds' setup $((SECONDS - setup_start)))")
            ;;
        linux)
            section "Linux build and tests (optimised, asserts on)"
            timed linux linux_stage linux -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O2
            ;;
        asan)
            section "AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
            export ASAN_OPTIONS=detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1
            export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
            timed asan linux_stage asan -DQUILLON_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug \
                "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1"
            unset ASAN_OPTIONS UBSAN_OPTIONS
            ;;
        tsan)
            section "ThreadSanitizer build and tests"
            # history_size=7: the earlier access of a race keeps its stack, so that a suppression naming the
            # simulated driver's copy of a half can match it (with the default, a long real-clock session
            # loses it and the race is reported with "failed to restore the stack").
            export TSAN_OPTIONS="second_deadlock_stack=1 history_size=7 suppressions=$repo/tests/tsan.supp"
            tsan_start=$SECONDS
            if linux_stage tsan -DQUILLON_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1"; then
                # The scripted console session on the real clock: the service's threads race the driver's
                # and the console's clocks as they do on a PC, not taking turns as on the virtual clock.
                # Exit code 1 (glitches measured) is no failure here: ThreadSanitizer slows every thread
                # some thirty times, so a real clock drops audio; what counts is a race report or a crash.
                echo "quillon-sim --clock real under ThreadSanitizer"
                build/tsan/quillon-sim --clock real >build/tsan-real-clock.log 2>&1
                real_status=$?
                if ((real_status <= 1)) && ! grep -q 'WARNING: ThreadSanitizer' build/tsan-real-clock.log; then
                    echo "PASS  real-clock session: $(grep -E '^summary:' build/tsan-real-clock.log)"
                    passed=$((passed + 1))
                else
                    echo "FAIL  real-clock session (build/tsan-real-clock.log):"
                    grep -A 30 'WARNING: ThreadSanitizer' build/tsan-real-clock.log | head -n 120
                    tail -n 20 build/tsan-real-clock.log
                    failed=$((failed + 1))
                fi
            fi
            timings+=("$(printf '%-8s %4ds' tsan $((SECONDS - tsan_start)))")
            unset TSAN_OPTIONS
            ;;
        soak)
            section "Soak and fault injection in virtual time"
            mkdir -p build
            soak_start=$SECONDS
            export QUILLON_SOAK_SCALE=${QUILLON_SOAK_SCALE:-0.4}
            targets=(quillon_soak)
            # Release: the soak runs two at a time (each keeps about one core busy), then every call site's
            # fault runs, two children at a time.
            if build build/linux -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O2; then
                build/linux/quillon_soak --gtest_filter='Soak.Unplug*' >build/soak-unplug.log 2>&1 &
                build/linux/quillon_soak --gtest_filter='Soak.*-Soak.Unplug*' >build/soak-others.log 2>&1
                wait
                cat build/soak-unplug.log build/soak-others.log
                build/linux/quillon_soak --gtest_filter='FaultInjection.*' 2>&1 | tee build/soak-faults.log
                for log in build/soak-unplug.log build/soak-others.log build/soak-faults.log; do add_counts "$log"; done
            fi
            # A sample of the fault runs under AddressSanitizer and UndefinedBehaviorSanitizer.
            export ASAN_OPTIONS=detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1
            export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
            if build build/asan -DQUILLON_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug \
                "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1"; then
                build/asan/quillon_soak --gtest_filter='FaultInjection.*' --sweep="${QUILLON_SOAK_ASAN_RUNS:-40}" 2>&1 |
                    tee build/soak-asan.log
                add_counts build/soak-asan.log
            fi
            unset ASAN_OPTIONS UBSAN_OPTIONS
            targets=()
            timings+=("$(printf '%-8s %4ds' soak $((SECONDS - soak_start)))")
            ;;
        fuzz)
            section "Fuzzing (libFuzzer, clang-14, AddressSanitizer + UndefinedBehaviorSanitizer)"
            mkdir -p build
            fuzz_start=$SECONDS
            if build build/fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DQUILLON_FUZZ=ON \
                -DQUILLON_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1"; then
                bash tests/fuzz/run.sh build/fuzz "${QUILLON_FUZZ_SECONDS:-6}" 2>&1 | tee build/fuzz.log
                add_counts build/fuzz.log
            fi
            timings+=("$(printf '%-8s %4ds' fuzz $((SECONDS - fuzz_start)))")
            ;;
        windows)
            section "Windows x64 cross build (mingw-w64)"
            mkdir -p build
            timed windows build build/win -DCMAKE_BUILD_TYPE=Release \
                -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mingw-w64-x86_64.cmake" && windows_built=1
            ls -l build/win/*.exe 2>/dev/null
            ;;
        wine)
            if [[ " ${stages[*]} " == *" windows "* && $windows_built == 0 ]]; then
                section "Wine checks: skipped, the Windows build failed"
                continue
            fi
            wine_start=$SECONDS
            for script in tests/wine/*.sh; do
                section "Wine checks: $script"
                log=build/$(basename "$script" .sh).log
                timeout -k 10 900 bash "$script" "$repo/build/win" 2>&1 | tee "$log"
                add_counts "$log"
            done
            timings+=("$(printf '%-8s %4ds' wine $((SECONDS - wine_start)))")
            ;;
    esac
done

section "summary"
printf '  %s\n' "${timings[@]}"
echo "$passed passed, $failed failed"
((failed == 0))
