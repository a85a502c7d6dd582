#!/bin/sh
# Builds tindrel plainly (Debug, in build-valgrind/) and runs the end-to-end
# suites, tests/e2e and tests/faults, with every daemon they start running
# under valgrind's memcheck. The test harness puts the words of
# TINDREL_WRAPPER before the daemon's command line and stretches its
# deadlines by TINDREL_TIME_SCALE; a daemon that valgrind reports on (memory
# error, or definite leak when the test stops it with SIGTERM) fails its test.
set -e
cd "$(dirname "$0")/.."
jobs=$(nproc)

valgrind=$(command -v valgrind) || {
    echo "run-valgrind.sh: valgrind is not installed (see scripts/packages-test.txt)" >&2
    exit 1
}

# Without the harness's support the daemons would run bare and pass unseen.
grep -q TINDREL_WRAPPER tests/support/process.cpp || {
    echo "run-valgrind.sh: the test harness does not honour TINDREL_WRAPPER" >&2
    exit 1
}

cmake -S . -B build-valgrind -DCMAKE_BUILD_TYPE=Debug -DTINDREL_SANITIZE=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build-valgrind -j "$jobs" --target tindrel test_e2e test_faults

# -q keeps valgrind silent unless it has something to report, so that the
# daemon's own standard error stays as the tests expect it; the first error
# ends the daemon at once, which its test notices.
TINDREL_WRAPPER="$valgrind -q --error-exitcode=1 --exit-on-first-error=yes --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite --vgdb=no"
TINDREL_TIME_SCALE=4
export TINDREL_WRAPPER TINDREL_TIME_SCALE

# Left out: the heaviest jobs (20 MB relay, the thousand-job soak) and the
# starts with RLIMIT_NOFILE 4 or 5, below what valgrind itself needs.
e2e_skip='Relay.LargeJobArrivesByteExact'
faults_skip='Soak.*:DescriptorLimit.*'

status=0
build-valgrind/tests/test_e2e --gtest_filter="-$e2e_skip" || status=1
build-valgrind/tests/test_faults --gtest_filter="-$faults_skip" || status=1
exit $status
