#!/bin/sh
# Builds tindrel twice, plainly and with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite on both builds;
# then runs the end-to-end suites with the daemon under valgrind and fuzzes
# the readers and page assembly for a bounded time. Warnings are errors here.
set -e
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTINDREL_SANITIZE=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

sh scripts/run-valgrind.sh
sh scripts/run-fuzz.sh
