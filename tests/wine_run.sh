#!/bin/bash
# CTest's Wine wrapper says how a program ended when it failed (its exit
# code; for a crash before any output, Wine's own last line) and holds a
# fault test to its shorter limit. One row a case: what it shows, the command
# line (run by env), its exit code ("fails": any but 0), and a text the
# output must hold, or with "!" must not.
set -uo pipefail
wrapper=$1 tests=$2
rows=(
    "a passing program, no word of it|$wrapper cmd /c exit 0|0|!exited with code"
    "an exit code passed on and said|$wrapper cmd /c exit 3|3|exited with code 3"
    "a crash before any output|$wrapper $tests --gtest_also_run_disabled_tests --gtest_filter=Arrangement.DISABLED_CrashesBeforePrinting|fails|Unhandled page fault"
    "a fault test without BRISVANE_FAULTS, killed at its shorter limit|-u BRISVANE_FAULTS BRISVANE_LIMITS=3,9000 $wrapper $tests --gtest_also_run_disabled_tests --gtest_filter=Arrangement.DISABLED_OutlivesItsLimit|fails|after its limit of 3 s"
)
ended_as() { [ "$1" = fails ] && [ "$2" != 0 ] || [ "$1" = "$2" ]; }
holds() { if [ "${1:0:1}" = ! ]; then ! grep -qF -- "${1:1}" <<<"$2"; else grep -qF -- "$1" <<<"$2"; fi; }
failed=0
for row in "${rows[@]}"; do
    IFS='|' read -r label command code text <<<"$row"
    # shellcheck disable=SC2086
    output=$(env $command 2>&1 </dev/null)
    status=$?
    [ $status = 77 ] && { echo "$output"; exit 77; }
    if ! ended_as "$code" $status; then
        echo "FAILED $label: exit code $status, not $code; its output:"
    elif ! holds "$text" "$output"; then
        echo "FAILED $label: its output does not match \"$text\":"
    else
        echo "ok $label"
        continue
    fi
    echo "$output"
    failed=1
done
exit $failed
