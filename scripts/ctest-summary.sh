#!/bin/sh
# Sums up one ctest run for scripts/run-tests.sh:
#
#   ctest-summary.sh OUTPUT DIR
#
# OUTPUT is what ctest printed, DIR the build directory it ran in. Prints
# one line per skipped test with the reason the test gave, which ctest
# itself does not show (GoogleTest writes it into the test's output, kept in
# DIR/Testing/Temporary/LastTest.log):
#
#   skipped in DIR: Suite.Name: reason
#
# and then a last line of three numbers: passed, failed, skipped (ctest
# counts a skipped test as passed).
# Status 1, and nothing printed, when OUTPUT holds no ctest summary.
set -u
output=$1
dir=$2
counts=$(sed -n 's/.* tests passed, \([0-9][0-9]*\) tests* failed out of \([0-9][0-9]*\).*/\1 \2/p' "$output")
[ -n "$counts" ] || exit 1
reasons=$dir/Testing/Temporary/LastTest.log
[ -f "$reasons" ] || reasons=/dev/null

# The first file gives each test's reason: the lines between GoogleTest's
# "FILE:LINE: Skipped" and "[  SKIPPED ]", joined. The second, ctest's
# output, lists the skipped tests after "The following tests did not run:".
lines=$(awk -v dir="$dir" -v first="$reasons" '
FILENAME == first {
    if (sub(/^[0-9]+\/[0-9]+ Test: /, "")) {
        name = $0
        taking = 0
    } else if (/: Skipped$/) {
        taking = 1
        reason[name] = ""
    } else if (/^\[  SKIPPED \] /) {
        taking = 0
    } else if (taking && NF) {
        reason[name] = reason[name] (reason[name] == "" ? "" : " ") $0
    }
    next
}
sub(/^[ \t]*[0-9]+ - /, "") && sub(/ \(Skipped\)$/, "") {
    why = reason[$0] == "" ? "(the test gave no reason)" : reason[$0]
    print "skipped in " dir ": " $0 ": " why
    skipped++
}
END { print skipped + 0 }
' "$reasons" "$output")
printf '%s\n' "$lines" | sed '$d'
skipped=$(printf '%s\n' "$lines" | tail -n 1)
# shellcheck disable=SC2086 # two numbers: failed, run in all
set -- $counts
echo "$(($2 - $1 - skipped)) $1 $skipped"
