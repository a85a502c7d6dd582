#!/bin/sh
# Builds tindrel twice, plainly and with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite on both builds;
# then runs the end-to-end suites with the daemon under valgrind and fuzzes
# the readers and page assembly for a bounded time. Warnings are errors here.
# Every stage runs even when an earlier one failed; the last line counts
# ctest's tests, each fuzz target, and the valgrind run as one check:
# "N passed, M failed, K skipped", after one line per skipped test with its
# reason. The status is 1 when anything failed.
set -u
cd "$(dirname "$0")/.." || exit 1
jobs=$(nproc)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
passed=0
failed=0
skipped=0

# Builds in $1 with the cmake options that follow and runs ctest there, with
# the environment words of $ctest_env. Adds ctest's own counts, skipped
# tests apart, and keeps their reasons for the end; a failed build, or a run
# without ctest's summary, counts as one failure.
ctest_stage() {
    dir=$1
    shift
    if ! cmake -S . -B "$dir" -DTINDREL_TESTS=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" ||
        ! cmake --build "$dir" -j "$jobs"; then
        echo "run-tests: building $dir failed"
        failed=$((failed + 1))
        return
    fi
    log="$logs/$dir.log"
    {
        # shellcheck disable=SC2086 # one word per variable
        env $ctest_env ctest --test-dir "$dir" --output-on-failure -j "$jobs" 2>&1
        echo $? >"$log.status"
    } | tee "$log"
    if ! summary=$(sh scripts/ctest-summary.sh "$log" "$dir"); then
        echo "run-tests: no test summary from ctest in $dir"
        failed=$((failed + 1))
        return
    fi
    printf '%s\n' "$summary" | sed '$d' >>"$logs/skipped"
    # shellcheck disable=SC2046 # three numbers: passed, failed, skipped
    set -- $(printf '%s\n' "$summary" | tail -n 1)
    passed=$((passed + $1))
    failed=$((failed + $2))
    skipped=$((skipped + $3))
    # A failing ctest that counted no failed test still fails.
    if [ "$(cat "$log.status")" -ne 0 ] && [ "$2" -eq 0 ]; then
        failed=$((failed + 1))
    fi
}

ctest_env=
ctest_stage build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest_env="ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
ctest_stage build-asan -DCMAKE_BUILD_TYPE=Debug -DTINDREL_SANITIZE=ON

if sh scripts/run-valgrind.sh; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
fi

# One check per fuzz target, from the line run-fuzz.sh prints for each.
fuzz_log="$logs/fuzz.log"
{
    sh scripts/run-fuzz.sh 2>&1
    echo $? >"$fuzz_log.status"
} | tee "$fuzz_log"
fuzz_failed=$(grep -c '^fuzz_[a-z0-9_]*: FAILED' "$fuzz_log")
fuzz_passed=$(grep '^fuzz_[a-z0-9_]*: ' "$fuzz_log" | grep -vc ': FAILED')
passed=$((passed + fuzz_passed))
failed=$((failed + fuzz_failed))
# A build that failed, or a finding outside the targets' lines.
if [ "$(cat "$fuzz_log.status")" -ne 0 ] && [ "$fuzz_failed" -eq 0 ]; then
    failed=$((failed + 1))
fi

# The reasons stand where a reader sees them, just above the count.
[ ! -s "$logs/skipped" ] || cat "$logs/skipped"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
