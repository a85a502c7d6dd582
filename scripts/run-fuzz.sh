#!/bin/sh
# Builds the libFuzzer targets of fuzz/ with clang in build-fuzz/ and runs
# each for a bounded time (TINDREL_FUZZ_SECONDS, default 30) on a copy of its
# seed corpus, so the repository is not changed. Prints the executions of
# each target; fails when any target finds a crash or breaks an invariant.
# A finding is left in build-fuzz/run/<target>/ with the target's log
# (TINDREL_FUZZ_BUILD names another build directory).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
out=${TINDREL_FUZZ_BUILD:-$root/build-fuzz}
seconds=${TINDREL_FUZZ_SECONDS:-30}
started=$(date +%s)

cmake -S fuzz -B "$out" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$out" -j "$(nproc)"

failed=
for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" _fuzz.cpp)
    work="$out/run/$name"
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/tmp"
    cp fuzz/corpus/"$name"/* "$work/corpus/"
    log="$work/fuzz.log"
    # The outer bound only matters if the fuzzer itself stops keeping time.
    if TMPDIR="$work/tmp" timeout $((seconds + 120)) "$out/fuzz_$name" \
        -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
        -artifact_prefix="$work/" "$work/corpus" >"$log" 2>&1; then
        runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 executions in \2 s/p' "$log")
        echo "fuzz_$name: ${runs:-no run count in $log}"
    else
        echo "fuzz_$name: FAILED (see $log)"
        grep -E 'ERROR|invariant|Assertion|runtime error|SUMMARY|Test unit written' "$log" || tail -n 20 "$log"
        failed="$failed $name"
    fi
done

echo "run-fuzz: $(($(date +%s) - started)) s in all"
if [ -n "$failed" ]; then
    echo "run-fuzz: findings in:$failed"
    exit 1
fi
