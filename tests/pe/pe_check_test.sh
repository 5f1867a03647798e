#!/usr/bin/env bash
# The PE check against builds that must fail it: it passes the tiny program built as the
# released code is, and fails, each for its one reason and no other, the same program built
# without stack protection, with a writable and executable section, and the unsigned program
# when a signature is required.
#
# Usage: tests/pe/pe_check_test.sh PE_CHECK PROBE UNPROTECTED_PROBE WRITABLE_CODE_PROBE
set -uo pipefail

check=$1
failures=0

# expect NAME STATUS FAILURE ARG...: runs the check on ARG...; it must end with STATUS and, when
# FAILURE is not empty, report exactly one failure, which contains FAILURE.
expect() {
    local name=$1 expected_status=$2 expected_failure=$3
    shift 3
    local output status
    output=$(/usr/bin/python3 "$check" "$@")
    status=$?
    local failed
    failed=$(grep '^FAIL:' <<<"$output")
    if ((status != expected_status)); then
        echo "FAILED: $name: the check ended with $status, not $expected_status"
    elif [[ -z $expected_failure && -n $failed ]] ||
        [[ -n $expected_failure && ($(wc -l <<<"$failed") -ne 1 || $failed != *"$expected_failure"*) ]]; then
        echo "FAILED: $name: expected the one failure \"$expected_failure\""
    else
        echo "passed: $name"
        return
    fi
    echo "$output" | sed 's/^/  /'
    failures=$((failures + 1))
}

expect "hardened build passes" 0 "" "$2"
expect "build without stack protection fails" 1 "stack protection: no function reads the guard" "$3"
expect "writable and executable section fails" 1 "section .wxcode is writable and executable" "$4"
expect "unsigned build fails when a signature is required" 1 "not signed" --signed "$2"

echo "pe check test: $failures failed"
((failures == 0))
